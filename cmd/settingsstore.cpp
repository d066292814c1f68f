#include "settingsstore.h"

#include <chrono>
#include <cstdint>
#include <random>

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

QString NewInstallationId() {
    std::random_device entropy;
    const auto now = uint64_t(std::chrono::system_clock::now().time_since_epoch().count());
    std::seed_seq seed{entropy(), entropy(), uint32_t(now), uint32_t(now >> 32)};
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int32_t> draw(0, INT32_MAX);
    return QString::number(draw(generator));
}

QString GetInstallationId(SettingsStore& store) {
    return store.GetStringOrCreate("logid", NewInstallationId(), true);
}

}  // namespace Pallix::Bake
