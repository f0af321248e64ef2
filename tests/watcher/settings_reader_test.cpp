#include "settings_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <ostream>
#include <string>

#include "temp_dir.h"

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// An open, anonymous file holding `content`.
File fileWith(const std::string& content) {
    File f(std::tmpfile());
    if (f) {
        std::fwrite(content.data(), 1, content.size(), f.get());
        std::fflush(f.get());
    }
    return f;
}

std::string lookup(const std::string& content, const char* name) {
    File f = fileWith(content);
    const char* v = settings_lookup(f.get(), name);
    return v != nullptr ? std::string(v) : std::string("<none>");
}

struct SleepCase {
    const char* what;
    const char* content;
    unsigned int expected;
};

// Test names show the case, not the bytes of the record.
void PrintTo(const SleepCase& c, std::ostream* os) { *os << c.what; }

const SleepCase kSleepCases[] = {
    {"plain", "MOD_KIVCLIENT_SLEEP=30\n", 30},
    {"lower case name", "mod_kivclient_sleep=30\n", 30},
    {"mixed case, no final newline", "Mod_KivClient_Sleep=30", 30},
    {"quoted", "MOD_KIVCLIENT_SLEEP=\"30\"\n", 30},
    {"unpaired quote ends the value", "MOD_KIVCLIENT_SLEEP=\"30\n", 0},
    {"blank before =", "MOD_KIVCLIENT_SLEEP =30\n", 0},
    {"blank before the name", " MOD_KIVCLIENT_SLEEP=30\n", 0},
    {"first line wins", "MOD_KIVCLIENT_SLEEP=30\nMOD_KIVCLIENT_SLEEP=60\n", 30},
    {"longer name is another name", "MOD_KIVCLIENT_SLEEPER=30\nMOD_KIVCLIENT_SLEEP=5\n", 5},
    {"other module", "MOD_OTHER_SLEEP=30\n", 0},
    {"commented line", "#MOD_KIVCLIENT_SLEEP=30\nMOD_KIVCLIENT_SLEEP=5\n", 5},
    {"trailing letters", "MOD_KIVCLIENT_SLEEP=30s\n", 30},
    {"leading letter", "MOD_KIVCLIENT_SLEEP=s30\n", 0},
    {"leading blanks", "MOD_KIVCLIENT_SLEEP=  45\n", 45},
    {"empty value", "MOD_KIVCLIENT_SLEEP=\n", 0},
    {"missing line", "MOD_KIVCLIENT_PORT=8080\n", 0},
    {"empty file", "", 0},
    {"CR line ends", "MOD_KIVCLIENT_PORT=8080\r\nMOD_KIVCLIENT_SLEEP=30\r\nMOD_KIVCLIENT_TIMEOUT=10\r\n", 30},
    {"CR line end after quotes", "MOD_KIVCLIENT_SLEEP=\"30\"\r\n", 30},
    {"minus sign", "MOD_KIVCLIENT_SLEEP=-5\n", 0},
    {"minus sign after blanks", "MOD_KIVCLIENT_SLEEP= -1\n", 0},
    {"quoted minus sign", "MOD_KIVCLIENT_SLEEP=\"-30\"\n", 0},
    {"plus sign", "MOD_KIVCLIENT_SLEEP=+30\n", 30},
    {"largest value", "MOD_KIVCLIENT_SLEEP=4294967295\n", 4294967295U},
    {"too large for the counter", "MOD_KIVCLIENT_SLEEP=4294967296\n", 0},
    {"far too large", "MOD_KIVCLIENT_SLEEP=99999999999999999999999\n", 0},
};

class WatcherSleepSetting : public ::testing::TestWithParam<SleepCase> {};

TEST_P(WatcherSleepSetting, ReadsTheExtraSleep) {
    const SleepCase& c = GetParam();
    File f = fileWith(c.content);
    ASSERT_TRUE(f);
    EXPECT_EQ(settings_get_uint(f.get(), "MOD_KIVCLIENT_SLEEP"), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Cases, WatcherSleepSetting, ::testing::ValuesIn(kSleepCases));

TEST(WatcherSettingsLookup, ValueEndsAtTheLastQuoteAndKeepsEqualsSigns) {
    EXPECT_EQ(lookup("A=\"x \"y\" z\"\n", "a"), "x \"y\" z");
    EXPECT_EQ(lookup("A=abc\"def\n", "A"), "abc");
    EXPECT_EQ(lookup("A=k=v\n", "A"), "k=v");
    EXPECT_EQ(lookup("A=\n", "A"), "");
    EXPECT_EQ(lookup("B=1\n", "A"), "<none>");
    EXPECT_EQ(lookup("A\n", "A"), "<none>");
}

TEST(WatcherSettingsLookup, WithoutAFileFindsNothing) {
    EXPECT_EQ(settings_lookup(nullptr, "MOD_KIVCLIENT_SLEEP"), nullptr);
    EXPECT_EQ(settings_get_uint(nullptr, "MOD_KIVCLIENT_SLEEP"), 0U);
}

TEST(WatcherSettingsLookup, EveryLookupStartsAtTheTopOfTheFile) {
    File f = fileWith("MOD_KIVCLIENT_PORT=8080\nMOD_KIVCLIENT_SLEEP=30\n");
    EXPECT_EQ(settings_get_uint(f.get(), "MOD_KIVCLIENT_SLEEP"), 30U);
    EXPECT_EQ(settings_get_uint(f.get(), "MOD_KIVCLIENT_PORT"), 8080U);
    EXPECT_EQ(settings_get_uint(f.get(), "MOD_KIVCLIENT_SLEEP"), 30U);
}

// A line longer than the buffer is read in pieces; the lines after it are
// still found.
TEST(WatcherSettingsLookup, LinesLongerThanTheBufferDoNotHideLaterLines) {
    const std::string longComment = "#" + std::string(3 * SETTINGS_LINE_MAX, 'x') + "\n";
    EXPECT_EQ(lookup(longComment + "MOD_KIVCLIENT_SLEEP=9\n", "MOD_KIVCLIENT_SLEEP"), "9");
    const std::string longValue = "MOD_KIVCLIENT_PORT=" + std::string(2 * SETTINGS_LINE_MAX, '1') + "\n";
    EXPECT_EQ(lookup(longValue + "MOD_KIVCLIENT_SLEEP=9\n", "MOD_KIVCLIENT_SLEEP"), "9");
}

TEST(WatcherReadSettings, ReadsTheFileAndGivesZeroWithoutIt) {
    TempDir dir;
    EXPECT_EQ(watcher_read_settings(dir.write("settings", "MOD_KIVCLIENT_HOSTEDPLATFORM=h\nMOD_KIVCLIENT_SLEEP=120\n").c_str()),
              120U);
    EXPECT_EQ(watcher_read_settings(dir.file("missing").c_str()), 0U);
    EXPECT_EQ(watcher_read_settings(dir.write("nosleep", "MOD_KIVCLIENT_PORT=1\n").c_str()), 0U);
}

}  // namespace
