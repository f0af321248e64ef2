#include "core/shell.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/debug_log.h"
#include "core/paths.h"

namespace {

struct Logged {
    int status;
    std::string out;
};

Logged runLogged(const std::string& command) {
    debug_on = true;
    ::testing::internal::CaptureStdout();
    const int status = runShellCommand(command);
    Logged r{status, ::testing::internal::GetCapturedStdout()};
    debug_on = false;
    return r;
}

}  // namespace

TEST(RunShellCommand, ReturnsTheRawStatusAndLogsOneLineWithItsText) {
    if (fileExists(DEBUG_SWITCH_FILE)) GTEST_SKIP() << DEBUG_SWITCH_FILE << " exists on this machine";
    const struct {
        std::string command;
        int status;
        std::string text;
    } cases[] = {
        {"true", 0, "Success"},
        {"exit 1", 256, "Unknown error 256"},
        {"exit 2", 512, std::strerror(512)},
        // The command's own output goes to /dev/null, not into the trace.
        {"echo $((6*7)); echo $((7*8)) >&2", 0, "Success"},
    };
    for (const auto& c : cases) {
        const Logged r = runLogged(c.command);
        EXPECT_EQ(r.status, c.status) << c.command;
        // One line: the 24-character time, then the fixed text.
        ASSERT_EQ(r.out.size() > 24 ? r.out.substr(24) : r.out,
                  " : SYS command is : " + c.command + " Return code is : " + c.text + "\n");
    }
}

TEST(ShellQuote, MakesOneShellWordThatComesBackUnchanged) {
    const std::string words[] = {
        "plain", "a b", "it's", "'", "''", "$(touch /nonexistent/x)", "`id`", "a\\b", "*", "a\nb", "", "-n", "\"q\"", "; rm -rf /",
    };
    for (const auto& w : words) {
        const ProcessResult r = runProcess("/bin/sh", {"-c", "printf '%s|' " + shellQuote(w)});
        EXPECT_EQ(r.output, w + "|") << w;
    }
    EXPECT_EQ(shellQuote("it's"), "'it'\\''s'");
}
