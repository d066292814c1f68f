#pragma once

// The gui tests share one offscreen QApplication for the whole run, set up as start-up leaves
// it: Fusion style, the program's style sheet, the working folder at the built program folder.

#include <gtest/gtest.h>

#include <QApplication>
#include <QList>
#include <QPointer>
#include <QSettings>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QWidget>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "MainWindow.h"
#include "bakemodel.h"

class QTimer;

// Readable failures for the Qt values the tests compare.
void PrintTo(const QString& text, std::ostream* out);
void PrintTo(const QStringList& list, std::ostream* out);
void PrintTo(const QSize& size, std::ostream* out);

namespace KelvorTest {

// The built program folder: Kelvor, KelvorCmd and Resources/.
QString ProgramFolder();

// Runs the event loop until done() returns true or the time runs out; false on time-out.
bool WaitFor(const std::function<bool()>& done, int milliseconds = 5000);

// The visible top-level widgets.
QWidgetList VisibleWindows();

// Deletes every top-level widget, as those a test leaves behind.
void DeleteTopLevelWidgets();

// Sets an environment variable (or unsets it, given no value) for the life of the object.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::optional<QString>& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name;
    std::optional<QString> previous;
};

// The file's bytes; empty when it cannot be read.
QByteArray ReadFile(const QString& path);

// What a fresh store holds, sorted, once the agreement is given and the main window is up.
QStringList AgreedFirstStartKeys();

// Each test gets a settings folder of its own, records Qt's debug lines, reads the INI file the
// store writes, and has whatever top-level widgets it leaves behind deleted.
class GuiStoreTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    QString SettingsFile() const;
    // Replaces the settings file with text, as a user editing it by hand; a store opened before
    // must be opened again to see it.
    void WriteSettingsFile(const QByteArray& text) const;
    // The raw text after "=" of key in [section] of the settings file; null when absent.
    QString Ini(const QString& section, const QString& key) const;
    // The settings file's text as it is now, to show that something wrote nothing.
    QByteArray FileBytes() const;
    // Every key of the store, sorted.
    QStringList StoredKeys() const;
    // Debug lines since the last call.
    QStringList TakeDebugLines();

    QTemporaryDir folder;
};

// The window's start-up: open the preset named by "preset", listing it when the list lacks it.
void OpenCurrentPreset(Pallix::Bake::BakeModel::Preset& model);

// An event reporter that records what it would post; it may be called from any thread.
class RecordingReporter {
public:
    RecordingReporter();
    Pallix::Bake::EventReporter reporter;
    std::vector<std::string> Events();
    int Count(const std::string& eventType);

private:
    std::mutex mutex;
    std::vector<std::string> events;
};

// The descendant of that type and name; a missing one fails the test.
template <class T>
T& Find(QObject& root, const QString& name) {
    T* found = root.findChild<T*>(name);
    if (!found) throw std::runtime_error("no widget " + name.toStdString());
    return *found;
}

// Window tests: a store in the test's own settings folder, and windows that record the folders
// and pages they would open.
class GuiWindowTest : public GuiStoreTest {
protected:
    void SetUp() override;
    void TearDown() override;

    std::unique_ptr<Pallix::Bake::MainWindow> MakeWindow();
    // A store as a new start opens it: no preset current yet. Needed after a model or window
    // has made one current in the old store.
    void ReopenStore();

    std::unique_ptr<Pallix::Bake::SettingsStore> store;
    RecordingReporter events;
    QStringList opened;
};

// While it lives, hands each top-level widget that match picks to handle once it is visible,
// once per widget, from inside whatever event loop runs (a modal dialog's own included).
class DialogResponder {
public:
    using Match = std::function<bool(QWidget* widget)>;
    // Every modal dialog.
    explicit DialogResponder(std::function<void(QWidget* dialog)> handle);
    DialogResponder(Match match, std::function<void(QWidget* widget)> handle);
    ~DialogResponder();
    DialogResponder(const DialogResponder&) = delete;
    DialogResponder& operator=(const DialogResponder&) = delete;
    int Handled() const { return int(handled.size()); }

private:
    Match match;
    std::function<void(QWidget*)> handle;
    QTimer* timer;
    QList<QPointer<QWidget>> handled;
};

// The responder for top-level windows of type T, modal or not.
template <class T>
class WindowResponder : public DialogResponder {
public:
    explicit WindowResponder(std::function<void(T* window)> handle)
        : DialogResponder([](QWidget* widget) { return qobject_cast<T*>(widget) != nullptr; },
                          [handle](QWidget* widget) { handle(qobject_cast<T*>(widget)); }) {}
};

// Answers an input dialog with text, and records and closes message boxes.
class InputAnswer : public DialogResponder {
public:
    explicit InputAnswer(const QString& text);
    QStringList messages;
};

}  // namespace KelvorTest
