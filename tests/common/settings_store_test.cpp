#include "settings_store.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "temp_dir.h"

TEST(SettingsStore, ReadsKeysAfterTheSecondUnderscoreInLowerCase) {
    TempDir dir;
    const std::string path = dir.write("settings", "MOD_KIVCLIENT_SLEEP=30\nMOD_KIVCLIENT_SU_DIR=/x\n");
    SettingsStore store(path, "kivclient");
    EXPECT_EQ(store.get("sleep"), "30");
    EXPECT_EQ(store.get("su_dir"), "/x");
}
