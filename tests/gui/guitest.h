#pragma once

#include <gtest/gtest.h>

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "bakemodel.h"

namespace KelvorTest {

// Each test gets a settings folder of its own, records Qt's debug lines and reads the INI file
// the store writes.
class GuiStoreTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    QString SettingsFile() const;
    // The raw text after "=" of key in [section] of the settings file; null when absent.
    QString Ini(const QString& section, const QString& key) const;
    // The settings file's text as it is now, to show that something wrote nothing.
    QByteArray FileBytes() const;
    // Debug lines since the last call.
    QStringList TakeDebugLines();

    QTemporaryDir folder;
};

// The window's start-up: open the preset named by "preset", adding it when it is not listed.
void OpenCurrentPreset(Pallix::Bake::BakeModel::Preset& model);

}  // namespace KelvorTest
