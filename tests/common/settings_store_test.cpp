#include "settings_store.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "temp_dir.h"

namespace {

// serialize() shows the whole map in key order, under the store's own prefix:
// the most direct view of what the reader made of a file.
std::string parsed(const std::string& content) {
    TempDir dir;
    return SettingsStore(dir.write("settings", content), "kivclient").serialize();
}

std::string valueOf(const std::string& content, const std::string& key) {
    TempDir dir;
    return SettingsStore(dir.write("settings", content), "kivclient").get(key);
}

}  // namespace

TEST(SettingsStore, ReadsKeysAfterTheSecondUnderscoreInLowerCase) {
    TempDir dir;
    const std::string path = dir.write("settings", "MOD_KIVCLIENT_SLEEP=30\nMOD_KIVCLIENT_SU_DIR=/x\n");
    SettingsStore store(path, "kivclient");
    EXPECT_EQ(store.get("sleep"), "30");
    EXPECT_EQ(store.get("su_dir"), "/x");
    EXPECT_TRUE(store.has("sleep"));
    EXPECT_FALSE(store.has("SLEEP"));
}

TEST(SettingsStore, ReadsLinesByTheRulesOfTheFormat) {
    const struct {
        const char* what;
        std::string file;
        std::string map;
    } cases[] = {
        {"comment only at the first character", "#MOD_A_B=1\n #MOD_A_C=2\n", "MOD_KIVCLIENT_C=2\n"},
        {"fewer than two underscores: the whole name", "MOD_X=1\nFOO=a_b\n", "MOD_KIVCLIENT_FOO=a_b\nMOD_KIVCLIENT_MOD_X=1\n"},
        {"no underscore anywhere: ignored", "FOO=1\n", ""},
        {"no equals sign: ignored", "MOD_A_K\n\n", ""},
        {"underscores in the value never move the key", "MOD_X=a_b_c\n", "MOD_KIVCLIENT_MOD_X=a_b_c\n"},
        {"other module's prefix read just the same", "MOD_OTHER_K=1\n", "MOD_KIVCLIENT_K=1\n"},
        {"second underscore last: the empty key", "MOD_KIVCLIENT_=v\n", "MOD_KIVCLIENT_=v\n"},
        {"value keeps later equals signs", "MOD_A_B=x=y=\n", "MOD_KIVCLIENT_B=x=y=\n"},
        {"empty value", "MOD_A_B=\n", "MOD_KIVCLIENT_B=\n"},
        {"last line of a key wins", "MOD_A_K=1\nMOD_A_K=2\n", "MOD_KIVCLIENT_K=2\n"},
        {"blanks stay part of name and value", "MOD_A_ K = v \n", "MOD_KIVCLIENT_ K = v \n"},
        {"last line without a line feed", "MOD_A_K=v", "MOD_KIVCLIENT_K=v\n"},
        {"carriage returns stay in the value", "MOD_A_K=v\r\nMOD_A_J=\r\n", "MOD_KIVCLIENT_J=\r\nMOD_KIVCLIENT_K=v\r\n"},
        {"only ASCII letters change case", "mod_x_SlE\xc3\x89p=1\n", "MOD_KIVCLIENT_SLE\xc3\x89P=1\n"},
        {"binary bytes kept", std::string("MOD_A_K=\x01\0\xff\n", 12), std::string("MOD_KIVCLIENT_K=\x01\0\xff\n", 20)},
        {"byte order: shorter prefix first, high bytes last",
         "MOD_A_\xc3=1\nMOD_A_abc=3\nMOD_A_ab=2\nMOD_A_1=4\nMOD_A__x=5\n",
         "MOD_KIVCLIENT_1=4\nMOD_KIVCLIENT__X=5\nMOD_KIVCLIENT_AB=2\nMOD_KIVCLIENT_ABC=3\nMOD_KIVCLIENT_\xc3=1\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(parsed(c.file), c.map) << c.what;
}

TEST(SettingsStore, GetRemovesOneEnclosingPairOfQuotes) {
    const struct {
        std::string stored;
        std::string got;
    } cases[] = {
        {"\"a b\"", "a b"}, {"\"\"", ""},        {"\"", "\""},          {"\"abc", "\"abc"},
        {"abc\"", "abc\""}, {"\"a\"b\"", "a\"b"}, {"\"\"x\"\"", "\"x\""}, {" \"a\"", " \"a\""},
    };
    for (const auto& c : cases) EXPECT_EQ(valueOf("MOD_A_K=" + c.stored + "\n", "k"), c.got) << c.stored;
}

TEST(SettingsStore, MissingKeyThrowsWithItsName) {
    TempDir dir;
    SettingsStore store(dir.write("settings", "MOD_A_K=1\n"), "kivclient");
    try {
        store.get("countrycode");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Map key 'countrycode' not found");
    }
}

TEST(SettingsStore, MissingOrUnreadableFileIsAnEmptyStore) {
    TempDir dir;
    EXPECT_EQ(SettingsStore(dir.file("absent"), "kivclient").serialize(), "");
    EXPECT_EQ(SettingsStore(dir.path(), "kivclient").serialize(), "");  // a directory
    EXPECT_EQ(SettingsStore("", "kivclient").serialize(), "");
}

TEST(SettingsStore, VeryLongLinesAreReadWhole) {
    const std::string value(1 << 20, 'v');
    const std::string name = "MOD_A_" + std::string(100000, 'K');
    TempDir dir;
    SettingsStore store(dir.write("settings", name + "=" + value + "\nMOD_A_NEXT=1\n"), "kivclient");
    EXPECT_EQ(store.get(std::string(100000, 'k')), value);
    EXPECT_EQ(store.get("next"), "1");
}

TEST(SettingsStore, SetQuotesValuesWithABlankOnly) {
    TempDir dir;
    SettingsStore store(dir.file("settings"), "kivclient");
    store.set("blank", "a b");
    store.set("tab", "a\tb");
    store.set("empty", "");
    store.set("quoted", "\"q\"");
    store.set("Upper", "v");
    EXPECT_EQ(store.serialize(),
              "MOD_KIVCLIENT_UPPER=v\n"
              "MOD_KIVCLIENT_BLANK=\"a b\"\n"
              "MOD_KIVCLIENT_EMPTY=\n"
              "MOD_KIVCLIENT_QUOTED=\"q\"\n"
              "MOD_KIVCLIENT_TAB=a\tb\n");
    // Keys given to set are kept as given; the file makes them lower case.
    EXPECT_THROW(store.get("upper"), std::runtime_error);
    EXPECT_EQ(store.get("Upper"), "v");
    store.save();
    SettingsStore reread(dir.file("settings"), "kivclient");
    EXPECT_EQ(reread.get("upper"), "v");
    EXPECT_EQ(reread.get("blank"), "a b");
    EXPECT_EQ(reread.get("quoted"), "q");
}

TEST(SettingsStore, SaveAndReloadGiveTheSameMap) {
    TempDir dir;
    const std::string original =
        "# written by hand\n"
        "MOD_KIVCLIENT_PASSWORD=Ab3dE6gH9jK2mN5\n"
        "MOD_KIVCLIENT_UUID=\n"
        "MOD_OTHER_NAME=\"two words\"\n"
        "MOD_KIVCLIENT_CR=x\r\n"
        "MOD_KIVCLIENT_BIN=\x01\xfe\n";
    SettingsStore first(dir.write("settings", original), "kivclient");
    first.save();
    const std::string written = dir.read("settings");
    EXPECT_EQ(written,
              "MOD_KIVCLIENT_BIN=\x01\xfe\n"
              "MOD_KIVCLIENT_CR=x\r\n"
              "MOD_KIVCLIENT_NAME=\"two words\"\n"
              "MOD_KIVCLIENT_PASSWORD=Ab3dE6gH9jK2mN5\n"
              "MOD_KIVCLIENT_UUID=\n");
    SettingsStore second(dir.file("settings"), "kivclient");
    EXPECT_EQ(second.serialize(), written);
    EXPECT_EQ(second.get("name"), "two words");
}

TEST(SettingsStore, SaveOfAnEmptyStoreLeavesAnEmptyFile) {
    TempDir dir;
    dir.write("settings", "MOD_A_K=1\n");
    SettingsStore(dir.file("absent"), "kivclient").save();
    EXPECT_TRUE(std::filesystem::exists(dir.file("absent")));
    EXPECT_EQ(dir.read("absent"), "");
}

TEST(SettingsStore, SaveKeepsThePermissionsOfTheFile) {
    TempDir dir;
    const std::string path = dir.write("settings", "MOD_A_K=1\n");
    ::chmod(path.c_str(), 0600);
    SettingsStore store(path, "kivclient");
    store.set("k", "2");
    store.save();
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    const mode_t mask = ::umask(022);
    SettingsStore(dir.file("new"), "kivclient").save();
    ::umask(mask);
    ASSERT_EQ(::stat(dir.file("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(SettingsStore, SaveThatCannotBeDoneChangesNothingAndReportsNothing) {
    TempDir dir;
    SettingsStore intoMissingDir(dir.file("missing/settings"), "kivclient");
    intoMissingDir.set("k", "v");
    EXPECT_NO_THROW(intoMissingDir.save());
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));

    // A directory in the way: the rename fails, the directory stays, and no
    // temporary file is left behind.
    std::filesystem::create_directory(dir.file("busy"));
    SettingsStore ontoDirectory(dir.file("busy"), "kivclient");
    ontoDirectory.set("k", "v");
    EXPECT_NO_THROW(ontoDirectory.save());
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("busy")));
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

// A writer killed at any moment of a save, as a power cut would stop it, must
// leave the old file or the new one, never an empty or half-written file.
TEST(SettingsStore, SaveInterruptedAtAnyMomentLeavesTheOldOrTheNewFile) {
    TempDir dir;
    const std::string path = dir.file("settings.kivcGen");
    // Large values make each save take long enough for kills to land inside it.
    const std::string a(256 * 1024, 'a');
    const std::string b(256 * 1024, 'b');
    {
        SettingsStore s(path, "kivclient");
        s.set("password", "A");
        s.set("uuid", a);
        s.save();
    }
    const std::string withA = "MOD_KIVCLIENT_PASSWORD=A\nMOD_KIVCLIENT_UUID=" + a + "\n";
    const std::string withB = "MOD_KIVCLIENT_PASSWORD=B\nMOD_KIVCLIENT_UUID=" + b + "\n";
    ASSERT_EQ(dir.read("settings.kivcGen"), withA);

    // Kill after a random part of about three saves, measured here, so that
    // kills land before, inside and after the writer's saves on any disk.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) {
        SettingsStore s(path, "kivclient");
        s.save();
    }
    const auto oneSave =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count() / 3;
    std::mt19937 rng(12345);
    std::uniform_int_distribution<long> delayUs(0, 500 + 3 * oneSave);
    int sawA = 0;
    int sawB = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int round = 0; round < 150 && std::chrono::steady_clock::now() < deadline; ++round) {
        const pid_t writer = ::fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            for (int i = 0;; ++i) {
                SettingsStore s(path, "kivclient");
                s.set("password", i % 2 ? "A" : "B");
                s.set("uuid", i % 2 ? a : b);
                s.save();
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(rng)));
        ::kill(writer, SIGKILL);
        ::waitpid(writer, nullptr, 0);
        const std::string now = dir.read("settings.kivcGen");
        ASSERT_TRUE(now == withA || now == withB) << "round " << round << ": broken file of " << now.size() << " bytes";
        (now == withA ? sawA : sawB)++;
    }
    // Both contents were seen, so the kills did land while saves were going on.
    EXPECT_GT(sawA + sawB, 0);
    EXPECT_GT(sawB, 0);
}
