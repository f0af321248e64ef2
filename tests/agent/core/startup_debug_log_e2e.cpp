// The debug log's file switch works on fixed router paths under /tmp/kivc,
// so it is exercised in the router sandbox, in this process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/debug_log.h"
#include "core/paths.h"
#include "sandbox/sandbox.h"

namespace {

class DebugLogSwitchFile : public ::testing::Test {
protected:
    void SetUp() override {
        KIV_REQUIRE_SANDBOX();
        sandbox::resetRouter();
    }
    void TearDown() override { debug_on = false; }

    static std::vector<std::string> fileTrace() {
        const std::string text = sandbox::readFile(DEBUG_OUTPUT_FILE);
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = text.find('\n', start);
            const std::string line = text.substr(start, end - start);
            EXPECT_TRUE(sandbox::hasDebugHead(line)) << line;
            lines.push_back(line.substr(27));
            start = end == std::string::npos ? text.size() : end + 1;
        }
        return lines;
    }
};

TEST_F(DebugLogSwitchFile, IsTestedAfreshForEveryLine) {
    // No switch at all: nothing is written and nothing is created.
    debugLog("unseen");
    EXPECT_FALSE(sandbox::exists("/tmp/kivc"));
    sandbox::makeDirs("/tmp/kivc");
    debugLog("unseen");
    EXPECT_FALSE(sandbox::exists(DEBUG_OUTPUT_FILE));

    sandbox::writeFile(DEBUG_SWITCH_FILE, "content does not matter");
    debugLog("one");
    debugLog("two");
    sandbox::removeAll(DEBUG_SWITCH_FILE);
    debugLog("while off");
    sandbox::writeFile(DEBUG_SWITCH_FILE, "");
    debugLog("three");
    EXPECT_EQ(fileTrace(), (std::vector<std::string>{"one", "two", "three"}));
}

TEST_F(DebugLogSwitchFile, WithBothSwitchesEachLineGoesOnceToEach) {
    sandbox::writeFile(DEBUG_SWITCH_FILE, "");
    sandbox::writeFile(DEBUG_OUTPUT_FILE, "kept from before\n");
    debug_on = true;
    ::testing::internal::CaptureStdout();
    debugLog("both");
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(sandbox::debugMessages(out), std::vector<std::string>{"both"});
    const std::string file = sandbox::readFile(DEBUG_OUTPUT_FILE);
    ASSERT_EQ(file.rfind("kept from before\n", 0), 0u) << "the file is appended to, never truncated";
    EXPECT_EQ(sandbox::debugMessages(file.substr(17)), std::vector<std::string>{"both"});
}

TEST_F(DebugLogSwitchFile, AnUnwritableOutputFileLosesTheLineQuietly) {
    sandbox::writeFile(DEBUG_SWITCH_FILE, "");
    sandbox::makeDirs(DEBUG_OUTPUT_FILE);  // a directory where the file should be
    debug_on = true;
    ::testing::internal::CaptureStdout();
    EXPECT_NO_THROW(debugLog("still on standard output"));
    EXPECT_EQ(sandbox::debugMessages(::testing::internal::GetCapturedStdout()),
              std::vector<std::string>{"still on standard output"});
}

TEST_F(DebugLogSwitchFile, NeverAppendsThroughASymbolicLink) {
    const std::string target = "/tmp/not-for-the-agent";
    sandbox::writeFile(target, "precious\n");
    sandbox::writeFile(DEBUG_SWITCH_FILE, "");
    ASSERT_EQ(::symlink(target.c_str(), DEBUG_OUTPUT_FILE.c_str()), 0);
    EXPECT_NO_THROW(debugLog("line"));
    EXPECT_EQ(sandbox::readFile(target), "precious\n");
}

}  // namespace
