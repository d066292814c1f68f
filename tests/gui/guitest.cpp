#include "gui/guitest.h"

#include <QApplication>
#include <QFile>
#include <QInputDialog>
#include <QMessageBox>
#include <QTextStream>
#include <QTimer>
#include <QUrl>

#include <clocale>
#include <cstdlib>

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

void GuiStoreTest::SetUp() {
    ASSERT_TRUE(folder.isValid());
    setenv("XDG_CONFIG_HOME", folder.path().toUtf8().constData(), 1);
    // Qt reads the folder once per process; when several tests share one, point it anew.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder.path());
    debugLines.clear();
    qInstallMessageHandler(RecordMessage);
}

void GuiStoreTest::TearDown() { qInstallMessageHandler(nullptr); }

QString GuiStoreTest::SettingsFile() const { return folder.path() + "/Tamsel/Kelvor.conf"; }

QByteArray GuiStoreTest::FileBytes() const {
    QFile file(SettingsFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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
    if (!QApplication::instance()) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "test_gui";
        static char* argv[] = {name, nullptr};
        // Lives as long as the process: Qt allows one application object, made once.
        new QApplication(argc, argv);
        std::setlocale(LC_NUMERIC, "C");
    }
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
    : handle(std::move(handler)), timer(new QTimer) {
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [this] {
        if (QWidget* dialog = QApplication::activeModalWidget(); dialog && dialog->isVisible()) {
            ++handled;
            handle(dialog);
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
    } else {
        model.AddPreset(name);
    }
}

}  // namespace KelvorTest
