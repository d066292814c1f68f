#include "settingsstore.h"

#include <chrono>
#include <cstdint>
#include <random>

namespace Pallix::Bake {

namespace {

// The settings library reads a hand-written value holding "," without quotes as a list; joined
// again it is the text that was written.
QString TextOf(const QVariant& value) {
    if (value.type() == QVariant::StringList) return value.toStringList().join(',');
    return value.toString();
}

}  // namespace

SettingsStore::SettingsStore() : settings("Tamsel", "Kelvor") { settings.sync(); }

SettingsStore::~SettingsStore() = default;

QString SettingsStore::GetString(const QString& key) const { return TextOf(settings.value(key, QVariant())); }

QString SettingsStore::GetStringOrCreate(const QString& key, const QString& defaultValue, bool create) {
    if (settings.contains(key)) return TextOf(settings.value(key, QVariant()));
    if (create) {
        settings.setValue(key, defaultValue);
        settings.sync();
    }
    return defaultValue;
}

QString SettingsStore::PresetKey(const QString& key) const {
    if (currentPreset.isEmpty()) return key;
    return "preset_" + currentPreset + "/" + key;
}

void SettingsStore::SetString(const QString& key, const QString& text) {
    settings.setValue(PresetKey(key), text);
    settings.sync();
}

void SettingsStore::SetInt(const QString& key, int value) {
    settings.setValue(PresetKey(key), value);
    settings.sync();
}

int SettingsStore::GetInt(const QString& key, int defaultValue) const {
    return settings.value(PresetKey(key), defaultValue).toInt();
}

QString SettingsStore::GetStringOr(const QString& key, const QString& defaultValue) const {
    const QString scoped = PresetKey(key);
    if (settings.contains(scoped)) return TextOf(settings.value(scoped));
    return defaultValue;
}

void SettingsStore::RemovePresetGroup() {
    settings.beginGroup("preset_" + currentPreset);
    for (const QString& key : settings.childKeys()) settings.remove(key);
    settings.endGroup();
    settings.sync();
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
