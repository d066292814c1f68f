#include "gui/baketest.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QStackedWidget>
#include <QTest>

#include <unistd.h>

#include <chrono>
#include <thread>

namespace KelvorTest {

QString SamplePath(const char* name) {
    static const fs::path folder = [] {
        const fs::path shared = fs::path(KELVOR_BINARY_DIR) / "tests" / "gui_samples";
        // Test processes run side by side: each writes a folder of its own and the first rename wins.
        if (!fs::exists(shared / "crate_envelope.obj")) {
            const fs::path mine = shared.string() + std::to_string(::getpid());
            const ProgramResult run = RunProgram(SamplesProgramPath(), {mine.string()});
            if (run.status != 0) throw std::runtime_error("kelvor_samples failed: " + run.err);
            std::error_code ignored;
            fs::rename(mine, shared, ignored);
            fs::remove_all(mine, ignored);
        }
        return shared;
    }();
    return QString::fromStdString((folder / name).string());
}

bool WaitForBake(const std::function<bool()>& done, int milliseconds) { return WaitFor(done, milliseconds); }

MessageBoxes::MessageBoxes()
    : DialogResponder([this](QWidget* dialog) {
          if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
              shown << box->windowTitle() + ": " + box->text();
              critical << (box->icon() == QMessageBox::Critical);
          }
          dialog->close();
      }) {}

void Gate::Wait() {
    reached = true;
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(60), [this] { return open; });
}

void Gate::Open() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        open = true;
    }
    changed.notify_all();
}

std::unique_ptr<HookedWindow> GuiBakeTest::MakeBakeWindow() {
    return std::make_unique<HookedWindow>(&events.reporter, store.get());
}

void GuiBakeTest::SetText(QWidget& window, const QString& lineEdit, const QString& text) {
    Find<QLineEdit>(window, lineEdit).setText(text);
}

void GuiBakeTest::SetItem(QWidget& window, const QString& comboBox, const QString& item) {
    auto& box = Find<QComboBox>(window, comboBox);
    ASSERT_GE(box.findText(item), 0) << item.toStdString();
    box.setCurrentIndex(box.findText(item));
}

void GuiBakeTest::Tick(QWidget& window, const QString& checkBox, bool on) { Find<QCheckBox>(window, checkBox).setChecked(on); }

void GuiBakeTest::FillCrate(QWidget& window, bool highPoly, int size) {
    SetText(window, "target_path", SamplePath("crate_low.obj"));
    SetText(window, "trace0_path", SamplePath("crate_high.obj"));
    Tick(window, "trace0_enabled", highPoly);
    SetText(window, "output_path", OutputBase());
    SetItem(window, "output_width", QString::number(size));
    SetItem(window, "output_height", QString::number(size));
    SetItem(window, "output_format", "png 8-bit");
}

int GuiBakeTest::Page(QWidget& window) { return Find<QStackedWidget>(window, "centralWidget").currentIndex(); }

bool GuiBakeTest::WaitUntilIdle(Pallix::Bake::MainWindow& window) {
    return WaitForBake([&] { return !window.Baking() && Page(window) == 0; });
}

bool GuiBakeTest::WaitForFailureWithoutTicks(Pallix::Bake::MainWindow& window) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!window.Manager().HasFailed()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace KelvorTest
