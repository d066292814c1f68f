#include "gui/guitest.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QInputDialog>
#include <QMessageBox>
#include <QTextStream>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstdlib>

#include "startup.h"
#include "stylesheet.h"

void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

void PrintTo(const QStringList& list, std::ostream* out) {
    *out << '{';
    for (int i = 0; i < list.size(); ++i) {
        if (i > 0) *out << ", ";
        PrintTo(list[i], out);
    }
    *out << '}';
}

void PrintTo(const QSize& size, std::ostream* out) { *out << size.width() << 'x' << size.height(); }

namespace KelvorTest {

namespace {

QStringList debugLines;

void RecordMessage(QtMsgType, const QMessageLogContext&, const QString& message) { debugLines.append(message); }

}  // namespace

void DeleteTopLevelWidgets() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QList<QPointer<QWidget>> windows;
    for (QWidget* widget : QApplication::topLevelWidgets()) windows << widget;
    for (const QPointer<QWidget>& window : windows) delete window.data();
}

ScopedEnvironment::ScopedEnvironment(const char* variable, const std::optional<QString>& value) : name(variable) {
    if (qEnvironmentVariableIsSet(name)) previous = qEnvironmentVariable(name);
    if (value)
        qputenv(name, value->toUtf8());
    else
        qunsetenv(name);
}

ScopedEnvironment::~ScopedEnvironment() {
    if (previous)
        qputenv(name, previous->toUtf8());
    else
        qunsetenv(name);
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList AgreedFirstStartKeys() {
    QStringList keys = {"licenseAgreed", "logid", "numbakes", "preset", "trace0_enabled", "trace0_path", "traceMeshes"};
    for (const char* key : {"axis", "blur", "distance", "enabled", "layers", "maptype", "normalized", "normals", "path",
                            "quality", "radius", "spread", "supersampling", "tangents", "yup"})
        keys << QString("map0_") + key;
    keys.sort();
    return keys;
}

QString ProgramFolder() { return QStringLiteral(KELVOR_PROGRAM_DIR); }

bool WaitFor(const std::function<bool()>& done, int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > milliseconds) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

QWidgetList VisibleWindows() {
    QWidgetList visible;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible()) visible << widget;
    return visible;
}

void GuiStoreTest::SetUp() {
    ASSERT_TRUE(folder.isValid());
    setenv("XDG_CONFIG_HOME", folder.path().toUtf8().constData(), 1);
    // Qt reads the folder once per process; when several tests share one, point it anew.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder.path());
    debugLines.clear();
    qInstallMessageHandler(RecordMessage);
}

void GuiStoreTest::TearDown() {
    DeleteTopLevelWidgets();
    qInstallMessageHandler(nullptr);
}

QString GuiStoreTest::SettingsFile() const { return folder.path() + "/Tamsel/Kelvor.conf"; }

QByteArray GuiStoreTest::FileBytes() const { return ReadFile(SettingsFile()); }

void GuiStoreTest::WriteSettingsFile(const QByteArray& text) const {
    ASSERT_TRUE(QDir().mkpath(folder.path() + "/Tamsel"));
    QFile file(SettingsFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(text), text.size());
}

QString GuiStoreTest::Ini(const QString& section, const QString& key) const {
    QString text = QString::fromUtf8(FileBytes());
    QTextStream lines(&text);
    QString current;
    while (!lines.atEnd()) {
        const QString line = lines.readLine();
        if (line.startsWith('[') && line.endsWith(']')) {
            current = line.mid(1, line.size() - 2);
        } else if (current == section && line.startsWith(key + "=")) {
            return line.mid(key.size() + 1);
        }
    }
    return QString();
}

QStringList GuiStoreTest::StoredKeys() const {
    // Read from the file itself: QSettings would cache it per process, so a test polling a file
    // that another process writes could keep seeing it empty.
    QString text = QString::fromUtf8(FileBytes());
    QTextStream lines(&text);
    QString section;
    QStringList keys;
    while (!lines.atEnd()) {
        const QString line = lines.readLine();
        if (line.startsWith('[') && line.endsWith(']')) {
            section = line.mid(1, line.size() - 2);
        } else if (const int equals = line.indexOf('='); equals > 0) {
            const QString key = line.left(equals);
            keys << (section == "General" ? key : section + "/" + key);
        }
    }
    keys.sort();
    return keys;
}

QStringList GuiStoreTest::TakeDebugLines() {
    QStringList taken = debugLines;
    debugLines.clear();
    return taken;
}

RecordingReporter::RecordingReporter() : reporter("7") {
    reporter.SetEnabled(true);
    reporter.SetSender([this](const std::string& text) {
        const std::lock_guard<std::mutex> lock(mutex);
        events.push_back(text);
    });
}

std::vector<std::string> RecordingReporter::Events() {
    const std::lock_guard<std::mutex> lock(mutex);
    return events;
}

int RecordingReporter::Count(const std::string& eventType) {
    const std::string member = "\"eventtype\":\"" + eventType + "\"";
    int count = 0;
    for (const std::string& event : Events()) count += event.find(member) != std::string::npos ? 1 : 0;
    return count;
}

void GuiWindowTest::SetUp() {
    GuiStoreTest::SetUp();
    store = std::make_unique<Pallix::Bake::SettingsStore>();
}

void GuiWindowTest::TearDown() {
    store.reset();
    GuiStoreTest::TearDown();
}

void GuiWindowTest::ReopenStore() {
    store.reset();
    store = std::make_unique<Pallix::Bake::SettingsStore>();
}

std::unique_ptr<Pallix::Bake::MainWindow> GuiWindowTest::MakeWindow() {
    auto window = std::make_unique<Pallix::Bake::MainWindow>(&events.reporter, store.get());
    window->SetOpener([this](const QUrl& url) { opened << url.toString(); });
    return window;
}

DialogResponder::DialogResponder(std::function<void(QWidget*)> handler)
    : DialogResponder([](QWidget* widget) { return widget == QApplication::activeModalWidget(); },
                      std::move(handler)) {}

DialogResponder::DialogResponder(Match matcher, std::function<void(QWidget*)> handler)
    : match(std::move(matcher)), handle(std::move(handler)), timer(new QTimer) {
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [this] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (!widget->isVisible() || !match(widget)) continue;
            if (std::find(handled.begin(), handled.end(), widget) != handled.end()) continue;
            handled << widget;
            handle(widget);
            return;
        }
    });
    timer->start();
}

DialogResponder::~DialogResponder() { delete timer; }

InputAnswer::InputAnswer(const QString& text)
    : DialogResponder([this, text](QWidget* dialog) {
          if (auto* input = qobject_cast<QInputDialog*>(dialog)) {
              input->setTextValue(text);
              input->accept();
          } else if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
              messages << box->text();
              box->accept();
          } else {
              dialog->close();
          }
      }) {}

void OpenCurrentPreset(Pallix::Bake::BakeModel::Preset& model) {
    const QString name = model.CurrentPresetName();
    QStringList names;
    model.PresetNames(names);
    if (names.contains(name)) {
        model.LoadPreset(name);
    } else if (!model.ListPreset(name)) {
        model.LoadPreset(names.value(0));
    }
}

}  // namespace KelvorTest

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Nothing a test does may reach the user's own settings, whatever folder a test forgets.
    QTemporaryDir config;
    setenv("XDG_CONFIG_HOME", config.path().toUtf8().constData(), 1);

    Pallix::Bake::SetProgramStyle();
    QApplication application(argc, argv);
    Pallix::Bake::ResetNumericLocale();
    // A test closing its last window must not end a later test's event loop.
    application.setQuitOnLastWindowClosed(false);
    QDir::setCurrent(KelvorTest::ProgramFolder());
    application.setStyleSheet(Pallix::Bake::ApplicationStyleSheet());
    return RUN_ALL_TESTS();
}
