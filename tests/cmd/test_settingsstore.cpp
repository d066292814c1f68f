#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdlib>
#include <memory>

#include "settingsstore.h"

using namespace Pallix::Bake;

namespace {

// Qt reads the configuration folder once per process: point it at a private folder before any
// store exists, so no test touches the user's real settings.
class PrivateConfigFolder : public testing::Environment {
public:
    void SetUp() override {
        folder = std::make_unique<QTemporaryDir>();
        setenv("XDG_CONFIG_HOME", folder->path().toUtf8().constData(), 1);
    }
    void TearDown() override { folder.reset(); }
    static std::unique_ptr<QTemporaryDir> folder;
};
std::unique_ptr<QTemporaryDir> PrivateConfigFolder::folder;
[[maybe_unused]] testing::Environment* const privateConfig =
    testing::AddGlobalTestEnvironment(new PrivateConfigFolder);

// Each test uses keys of its own and removes them, since a whole run shares one store.
void Remove(const char* key) {
    SettingsStore store;
    store.settings.remove(key);
    store.settings.sync();
}

}  // namespace

TEST(SettingsStore, StoresUnderTamselKelvor) {
    SettingsStore store;
    EXPECT_EQ(store.settings.organizationName(), "Tamsel");
    EXPECT_EQ(store.settings.applicationName(), "Kelvor");
    EXPECT_TRUE(store.currentPreset.isEmpty());
    EXPECT_EQ(QFileInfo(store.settings.fileName()).absoluteFilePath(),
              QDir(PrivateConfigFolder::folder->path()).absoluteFilePath("Tamsel/Kelvor.conf"));
}

TEST(SettingsStore, GetStringOrCreateStoresTheDefaultOnce) {
    Remove("firstRun");
    {
        SettingsStore store;
        EXPECT_EQ(store.GetString("firstRun"), "");
        EXPECT_EQ(store.GetStringOrCreate("firstRun", "123", true), "123");
    }
    {
        // A second program start reads the stored text, whatever default it offers.
        SettingsStore store;
        EXPECT_EQ(store.GetStringOrCreate("firstRun", "999", true), "123");
        EXPECT_EQ(store.GetString("firstRun"), "123");
    }
    Remove("firstRun");
}

TEST(SettingsStore, WithoutCreateNothingIsWritten) {
    Remove("notCreated");
    SettingsStore store;
    EXPECT_EQ(store.GetStringOrCreate("notCreated", "5", false), "5");
    EXPECT_FALSE(store.settings.contains("notCreated"));
}

TEST(SettingsStore, AStoredEmptyTextCountsAsPresent) {
    SettingsStore store;
    store.settings.setValue("emptyId", "");
    EXPECT_EQ(store.GetStringOrCreate("emptyId", "77", true), "");
    EXPECT_EQ(store.GetString("emptyId"), "");
    store.settings.remove("emptyId");
}

TEST(SettingsStore, PresetHelpersScopeKeysToTheCurrentPreset) {
    SettingsStore store;
    EXPECT_EQ(store.PresetKey("numbakes"), "numbakes");
    store.currentPreset = "hero";
    EXPECT_EQ(store.PresetKey("numbakes"), "preset_hero/numbakes");

    store.SetInt("scopedCount", 3);
    store.SetString("scopedText", "AO Map");
    store.SetString("scopedNumber", "abc");
    EXPECT_EQ(store.settings.value("preset_hero/scopedCount").toInt(), 3);
    EXPECT_FALSE(store.settings.contains("scopedCount"));
    EXPECT_EQ(store.GetInt("scopedCount", 7), 3);
    EXPECT_EQ(store.GetInt("scopedMissing", 7), 7);
    EXPECT_EQ(store.GetInt("scopedNumber", 7), 0);
    EXPECT_EQ(store.GetStringOr("scopedText", "x"), "AO Map");
    EXPECT_EQ(store.GetStringOr("scopedMissing", "x"), "x");
    EXPECT_FALSE(store.settings.contains("preset_hero/scopedMissing"));

    // Only the keys directly inside the current preset's group go.
    store.settings.setValue("preset_hero/sub/deeper", 1);
    store.settings.setValue("preset_heroine/scopedCount", 1);
    store.settings.setValue("preset_hero_batch_on", 1);
    store.RemovePresetGroup();
    EXPECT_FALSE(store.settings.contains("preset_hero/scopedCount"));
    EXPECT_FALSE(store.settings.contains("preset_hero/scopedText"));
    EXPECT_TRUE(store.settings.contains("preset_hero/sub/deeper"));
    EXPECT_TRUE(store.settings.contains("preset_heroine/scopedCount"));
    EXPECT_TRUE(store.settings.contains("preset_hero_batch_on"));
    for (const char* key : {"preset_hero/sub/deeper", "preset_heroine/scopedCount", "preset_hero_batch_on"})
        store.settings.remove(key);
}
