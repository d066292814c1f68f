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

}  // namespace Pallix::Bake
