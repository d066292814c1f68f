#pragma once

#include <QString>

#include <functional>
#include <memory>

class QPixmap;
class QSettings;
class QWidget;

namespace Pallix::Bake {

class EventReporter;
class SettingsStore;

// Builds the main window with the reporter and store that start-up owns. Start-up keeps the
// window and deletes it after the event loop, while both still exist.
using MainWindowFactory = std::function<std::unique_ptr<QWidget>(EventReporter& reporter, SettingsStore& store)>;

// The Fusion style; call before the application object exists.
void SetProgramStyle();

// QApplication takes the numeric locale from the environment; the engine's printf output and
// the event records need a decimal point.
void ResetNumericLocale();

// Shows the splash image at path with "Loading..." for one round of events and closes it again;
// prints "Image not found " and the path when it does not load.
void ShowSplash(const QString& path, QPixmap& pixmap);

// The global "licenseAgreed" key, read without preset scoping; missing counts as not agreed.
bool LicenseAgreed(const QSettings& settings);

// Everything after the application object: locale, working folder, style sheet, store,
// network, installation id, "boot" event, splash, then the agreement gate or the main window
// and the event loop. Returns the event loop's result.
int RunProgram(const QString& programFolder, const MainWindowFactory& makeMainWindow);

}  // namespace Pallix::Bake
