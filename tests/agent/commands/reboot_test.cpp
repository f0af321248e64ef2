#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "commands/command_table.h"
#include "core/exceptions.h"
#include "unit/fake_client.h"
#include "unit/recorded_seams.h"

using ::testing::ElementsAre;

TEST(Reboot, ReportsFirstThenSyncsThenReboots) {
    RecordedSeams seams;
    FakeClient client;
    Aggregator device;
    device.uuid = "u";
    device.token = "t";
    client.onRequest = [&](const std::string& path) { seams.events.push_back("GET " + path); };
    client.reply("\"ok\"");
    std::unique_ptr<Response>(declareReboot(&device, &client))->execute();
    EXPECT_THAT(seams.events,
                ElementsAre("GET commandcompleted?deviceuuid=u&token=t&command=reboot&issuccess=true&errormessage=",
                            "sync", "reboot"));
}

TEST(Reboot, FailedReportLeavesTheRouterRunning) {
    RecordedSeams seams;
    FakeClient client;
    Aggregator device;
    client.fail("Couldn't connect to server");
    const std::unique_ptr<Response> reboot(declareReboot(&device, &client));
    EXPECT_THROW(reboot->execute(), MyExceptionTCP);
    EXPECT_TRUE(seams.events.empty());
}

TEST(Reboot, RestartCommandIsAutoboot) {
    RecordedSeams recorded;
    int command = 0;
    seams().reboot = [&](int c) {
        command = c;
        return -1;  // refused: execute() still ends normally
    };
    FakeClient client;
    Aggregator device;
    client.reply("\"ok\"");
    std::unique_ptr<Response>(declareReboot(&device, &client))->execute();
    EXPECT_EQ(command, 0x01234567);
}
