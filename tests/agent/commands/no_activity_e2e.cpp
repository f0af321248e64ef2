// NoActivity in this process, inside the sandbox (it reads the agent's real
// settings file); pauses go to the recorded sleep seam.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "commands/command_table.h"
#include "sandbox/sandbox.h"
#include "unit/fake_client.h"
#include "unit/recorded_seams.h"

TEST(NoActivity, SleepsTheSettingAndNeverReports) {
    KIV_REQUIRE_SANDBOX();
    sandbox::resetRouter();
    const struct {
        const char* line;  // "" = no sleep key at all
        int seconds;       // -1: an exception
        const char* error;
    } cases[] = {
        {"MOD_KIVCLIENT_SLEEP=30", 30, nullptr},
        {"MOD_KIVCLIENT_SLEEP=\"30\"", 30, nullptr},
        {"MOD_KIVCLIENT_SLEEP=30s", 30, nullptr},
        {"MOD_KIVCLIENT_SLEEP= 7", 7, nullptr},
        {"MOD_KIVCLIENT_SLEEP=0", 0, nullptr},   // returns at once, no sleep() at all
        {"MOD_KIVCLIENT_SLEEP=-5", 0, nullptr},  // never a pause of decades
        {"MOD_KIVCLIENT_SLEEP=abc", -1, "stoi"},
        {"MOD_KIVCLIENT_SLEEP=", -1, "stoi"},
        {"MOD_KIVCLIENT_SLEEP=99999999999", -1, "stoi"},
        {"", -1, "Map key 'sleep' not found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        sandbox::writeFile("/opt/kivclient/etc/settings",
                           std::string("MOD_KIVCLIENT_HOSTEDPLATFORM=h\n") + c.line + "\n");
        RecordedSeams seams;
        FakeClient client;
        Aggregator device;
        const std::unique_ptr<Response> command(declareNoActivity(&device, &client));
        if (c.seconds >= 0) {
            command->execute();
            if (c.seconds > 0) {
                EXPECT_EQ(seams.sleeps, std::vector<unsigned>{static_cast<unsigned>(c.seconds)});
            } else {
                EXPECT_TRUE(seams.sleeps.empty());
            }
        } else {
            try {
                command->execute();
                ADD_FAILURE() << "no exception";
            } catch (const std::exception& e) {
                EXPECT_STREQ(e.what(), c.error);
            }
            EXPECT_TRUE(seams.sleeps.empty());
        }
        EXPECT_TRUE(client.requests.empty());
    }
}
