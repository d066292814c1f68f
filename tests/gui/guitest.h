#pragma once

#include <gtest/gtest.h>

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QSize>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "MainWindow.h"
#include "bakemodel.h"

class QTimer;

// Readable failures for the Qt values the window tests compare.
void PrintTo(const QString& text, std::ostream* out);
void PrintTo(const QStringList& list, std::ostream* out);
void PrintTo(const QSize& size, std::ostream* out);

namespace KelvorTest {

// Each test gets a settings folder of its own, records Qt's debug lines and reads the INI file
// the store writes.
class GuiStoreTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    QString SettingsFile() const;
    // The raw text after "=" of key in [section] of the settings file; null when absent.
    QString Ini(const QString& section, const QString& key) const;
    // The settings file's text as it is now, to show that something wrote nothing.
    QByteArray FileBytes() const;
    // Debug lines since the last call.
    QStringList TakeDebugLines();

    QTemporaryDir folder;
};

// The window's start-up: open the preset named by "preset", adding it when it is not listed.
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

// Window tests: an offscreen application, a store in the test's own settings folder, and
// windows that record the folders and pages they would open.
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

// Handles every modal dialog that opens while it lives, from inside the dialog's own loop.
class DialogResponder {
public:
    explicit DialogResponder(std::function<void(QWidget* dialog)> handle);
    ~DialogResponder();
    DialogResponder(const DialogResponder&) = delete;
    DialogResponder& operator=(const DialogResponder&) = delete;
    int Handled() const { return handled; }

private:
    std::function<void(QWidget*)> handle;
    QTimer* timer;
    int handled = 0;
};

// Answers an input dialog with text, and records and closes message boxes.
class InputAnswer : public DialogResponder {
public:
    explicit InputAnswer(const QString& text);
    QStringList messages;
};

}  // namespace KelvorTest
