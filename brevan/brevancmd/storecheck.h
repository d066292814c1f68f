#pragma once

#include <QString>

class QWidget;

namespace Pallix::Bake {

class SettingsStore;

// Why the settings file at fileName cannot be written, as far as the file system tells.
QString StoreWriteProblem(const QString& fileName);

// Call after writing to the store. When its last sync failed, the first call of the run shows a
// box that names the file and the reason and says that changes will not be kept; later calls
// stay silent. False when the store has failed to write.
bool CheckStoreWritten(SettingsStore& store, QWidget* parent);

}  // namespace Pallix::Bake
