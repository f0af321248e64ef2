#include "core/debug_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "core/paths.h"
#include "unit/recorded_seams.h"

// The switch file and the output file are fixed router paths: their tests run
// inside the router sandbox (startup_debug_log_e2e.cpp). Here only standard
// output is looked at.
class DebugLogOnStandardOutput : public ::testing::Test {
protected:
    void SetUp() override {
        if (fileExists(DEBUG_SWITCH_FILE)) GTEST_SKIP() << DEBUG_SWITCH_FILE << " exists on this machine";
    }
    void TearDown() override { debug_on = false; }

    static std::string timeText(time_t t) {
        char buf[64];
        ::ctime_r(&t, buf);
        buf[std::strcspn(buf, "\r\n")] = '\0';
        return buf;
    }

    std::string logged(const std::string& message) {
        ::testing::internal::CaptureStdout();
        debugLog(message);
        return ::testing::internal::GetCapturedStdout();
    }

    RecordedSeams seams_;
};

TEST_F(DebugLogOnStandardOutput, WritesTheCtimeTextASeparatorAndTheMessageUnchanged) {
    debug_on = true;
    for (const time_t now : {time_t(1700000000), time_t(1704067200 + 12 * 3600)}) {
        seams_.now = now;
        const std::string t = timeText(now);
        ASSERT_EQ(t.size(), 24u) << t;
        EXPECT_EQ(logged("HomeDir is : /opt/kivclient"), t + " : HomeDir is : /opt/kivclient\n");
        EXPECT_EQ(logged("two\nlines\r"), t + " : two\nlines\r\n");
        EXPECT_EQ(logged(""), t + " : \n");
    }
}

TEST_F(DebugLogOnStandardOutput, WritesNothingWhenNoSwitchIsOn) {
    debug_on = false;
    EXPECT_EQ(logged("quiet"), "");
}
