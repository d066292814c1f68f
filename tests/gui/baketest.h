#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "gui/guitest.h"
#include "support/testsupport.h"

namespace KelvorTest {

// A mesh of tools/kelvor_samples, generated once for all test processes of the build.
QString SamplePath(const char* name);

// WaitFor with room for a whole bake on a loaded machine.
bool WaitForBake(const std::function<bool()>& done, int milliseconds = 60000);

// Closes every message box, noting "title: text" and whether it was a critical one.
struct MessageBoxes : DialogResponder {
    MessageBoxes();
    QStringList shown;
    QList<bool> critical;
};

// Holds the bake thread in a listener call until opened; opens when destroyed.
class Gate {
public:
    ~Gate() { Open(); }
    void Wait();
    void Open();
    std::atomic<bool> reached{false};

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
};

// The window with hooks that run on the bake thread around three of its overrides.
struct HookedWindow : Pallix::Bake::MainWindow {
    using MainWindow::MainWindow;
    void OnJobStart(Pallix::Bake::BakeJob* job) override {
        if (beforeJobStart) beforeJobStart();
        MainWindow::OnJobStart(job);
    }
    void OnLog(const std::string& line) override {
        if (beforeLog) beforeLog(line);
        MainWindow::OnLog(line);
    }
    void OnBakeEnd(int jobCount) override {
        if (beforeBakeEnd) beforeBakeEnd();
        MainWindow::OnBakeEnd(jobCount);
        if (afterBakeEnd) afterBakeEnd();
    }
    std::function<void()> beforeJobStart, beforeBakeEnd, afterBakeEnd;
    std::function<void(const std::string& line)> beforeLog;
};

// Window tests that bake, filling the fields as a user does.
class GuiBakeTest : public GuiWindowTest {
protected:
    std::unique_ptr<HookedWindow> MakeBakeWindow();
    void SetText(QWidget& window, const QString& lineEdit, const QString& text);
    void SetItem(QWidget& window, const QString& comboBox, const QString& item);
    void Tick(QWidget& window, const QString& checkBox, bool on);
    // The low-poly crate against the high-poly one (or itself), png 8-bit, size x size, into OutputBase().
    void FillCrate(QWidget& window, bool highPoly, int size);
    QString OutputBase() const { return folder.path() + "/crate"; }
    static int Page(QWidget& window);
    // The bake has ended and the settings page is back.
    static bool WaitUntilIdle(Pallix::Bake::MainWindow& window);
    // Waits for the engine to fail without running the event loop, so that no progress tick
    // comes in between; false on time-out.
    static bool WaitForFailureWithoutTicks(Pallix::Bake::MainWindow& window);
};

}  // namespace KelvorTest
