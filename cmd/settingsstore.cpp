#include "settingsstore.h"

namespace Pallix::Bake {

SettingsStore::SettingsStore() : settings("Tamsel", "Kelvor") { settings.sync(); }

SettingsStore::~SettingsStore() = default;

QString SettingsStore::GetString(const QString& key) const { return settings.value(key, QVariant()).toString(); }

QString SettingsStore::GetStringOrCreate(const QString& key, const QString& defaultValue, bool create) {
    if (settings.contains(key)) return settings.value(key, QVariant()).toString();
    if (create) {
        settings.setValue(key, defaultValue);
        settings.sync();
    }
    return defaultValue;
}

}  // namespace Pallix::Bake
