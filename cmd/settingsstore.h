#pragma once

#include <QSettings>
#include <QString>

namespace Pallix::Bake {

// The programs' persistent store: Qt settings under organisation "Tamsel", application "Kelvor".
class SettingsStore {
public:
    SettingsStore();
    ~SettingsStore();

    // The text getters read a value written by hand as a,b,c (which the settings library takes
    // for a list) as the text "a,b,c".
    QString GetString(const QString& key) const;
    // The stored text when the key is present; otherwise the default, stored first when create is set.
    QString GetStringOrCreate(const QString& key, const QString& defaultValue, bool create);

    // Keys of the interactive program's presets: while a preset is current, key k lives in the
    // group "preset_" + name; with none current it stays unscoped.
    QString PresetKey(const QString& key) const;
    // Each write is synced at once, so a crash or a second program never sees a stale store.
    void SetString(const QString& key, const QString& text);
    void SetInt(const QString& key, int value);
    int GetInt(const QString& key, int defaultValue) const;
    // The stored text, or the default when the key is absent; nothing is written.
    QString GetStringOr(const QString& key, const QString& defaultValue) const;
    // Removes the keys directly inside the current preset's group.
    void RemovePresetGroup();

    QSettings settings;
    QString currentPreset;
};

// A new installation id: the decimal text of a number in [0, 2^31 - 1] drawn from a generator
// seeded from the system's entropy source and the clock, so installations differ.
QString NewInstallationId();

// The installation id under "logid"; a new one is stored on first use.
QString GetInstallationId(SettingsStore& store);

}  // namespace Pallix::Bake
