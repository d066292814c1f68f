#pragma once

#include <QSettings>
#include <QString>

namespace Pallix::Bake {

// The programs' persistent store: Qt settings under organisation "Tamsel", application "Kelvor".
class SettingsStore {
public:
    SettingsStore();
    ~SettingsStore();

    QString GetString(const QString& key) const;
    // The stored text when the key is present; otherwise the default, stored first when create is set.
    QString GetStringOrCreate(const QString& key, const QString& defaultValue, bool create);

    QSettings settings;
    QString currentPreset;
};

// A new installation id: the decimal text of a number in [0, 2^31 - 1] drawn from a generator
// seeded from the system's entropy source and the clock, so installations differ.
QString NewInstallationId();

// The installation id under "logid"; a new one is stored on first use.
QString GetInstallationId(SettingsStore& store);

}  // namespace Pallix::Bake
