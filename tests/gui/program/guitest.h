#pragma once

// Shared by the interactive program's tests: one offscreen QApplication for the whole run, with
// the style sheet applied and the working folder at the built program's folder, as start-up
// leaves them, and the settings store in a private folder.

#include <QApplication>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace GuiTest {

// The built program folder (KelvorCmd and Resources/).
QString ProgramFolder();

// The settings file's bytes as text; empty when it does not exist.
QString SettingsFileText();

// Removes every key of the store, as on a fresh installation.
void ClearSettings();

// Runs the event loop until done() returns true or the time runs out; false on time-out.
bool WaitFor(const std::function<bool()>& done, int milliseconds = 5000);

// The visible top-level widgets.
QWidgetList VisibleWindows();

// Deletes whatever top-level widgets a test left behind.
void DeleteTopLevelWidgets();

// Calls action, from inside a running event loop, once a visible top-level widget of type T
// exists (a modal dialog's own loop included).
template <typename T>
void WhenShown(std::function<void(T*)> action) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [poll, action] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* found = qobject_cast<T*>(widget);
            if (found && found->isVisible()) {
                poll->stop();
                poll->deleteLater();
                action(found);
                return;
            }
        }
    });
    poll->start(5);
}

}  // namespace GuiTest
