#include <gtest/gtest.h>

#include "commands/add_module.h"

TEST(ModuleNameRule, LettersDigitsUnderscoreUpTo24) {
    const struct {
        std::string name;
        bool module;
    } cases[] = {
        {"App_2", true},
        {"a", true},
        {std::string(24, 'x'), true},
        {std::string(25, 'x'), false},
        {"my-app", false},
        {"app.1", false},
        {"a b", false},
        {".", false},
        {"..", false},
        {"", false},
        {"caf\xc3\xa9", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isModuleName(c.name), c.module) << c.name;
}

TEST(ShellWord, LeavesPlainPathsAloneAndQuotesTheRest) {
    EXPECT_EQ(shellWord("/opt/App_2/etc/init"), "/opt/App_2/etc/init");
    EXPECT_EQ(shellWord("/tmp//settings.a-b"), "/tmp//settings.a-b");
    EXPECT_EQ(shellWord("/opt/a;reboot"), "'/opt/a;reboot'");
    EXPECT_EQ(shellWord("/opt/it's"), "'/opt/it'\\''s'");
    EXPECT_EQ(shellWord("$(x)"), "'$(x)'");
    EXPECT_EQ(shellWord(""), "''");
}
