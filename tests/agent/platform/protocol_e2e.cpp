// The real agent in the router sandbox against a test platform: the exact
// queries it sends, what it stores, and how it reacts to the answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "agent_harness.h"

using agentrun::AgentRun;
using testplatform::Reply;
using testplatform::Request;
using ::testing::Contains;
using ::testing::ElementsAre;

namespace {

const char* const ENCODED_FIRMWARE = "7%2e1%2e2%0a";
const char* const ENCODED_AGENT = "1%2e0%2e0%0a";

Reply json(const std::string& body) { return Reply{200, body}; }

TEST(AgentProtocol, UnknownDeviceRegistersKeepsPasswordAndLogsInWithItsUuid) {
    KIV_REQUIRE_SANDBOX();
    AgentRun run;
    run.platform.on("login", [](const Request& r) {
        if (r.params.at("deviceuuid").empty()) return json(R"({"ResponseMessage":"UnknownDevice"})");
        return json(R"({"ResponseMessage":"Success","AuthenticationToken":"tok-1"})");
    });
    run.platform.answer("register", {json(R"({"ResponseMessage":"Success","DeviceUUID":"uuid-42"})")});
    run.platform.answer("checkin", {json("\"NoActivity\"")});
    sandbox::AgentLayout layout;
    layout.sleep = "5";
    run.start(layout);
    ASSERT_TRUE(run.waitForRequests("checkin", 3));
    ASSERT_TRUE(run.waitUntil([] { return sandbox::readFile("/tmp/watcher") == "OK"; }));
    run.stop();

    const std::string generated = sandbox::readFile("/var/data/kivc/settings.kivcGen");
    const auto at = generated.find("MOD_KIVCLIENT_PASSWORD=");
    ASSERT_NE(at, std::string::npos) << generated;
    const std::string password = generated.substr(at + 23, 15);
    EXPECT_EQ(generated, "MOD_KIVCLIENT_PASSWORD=" + password + "\nMOD_KIVCLIENT_UUID=uuid-42\n");

    const auto logins = run.platform.requests("login");
    ASSERT_EQ(logins.size(), 2u);
    EXPECT_EQ(logins[0].query, "deviceuuid=&password=" + password + "&firmware=" + ENCODED_FIRMWARE +
                                   "&orbletversion=" + ENCODED_AGENT);
    EXPECT_EQ(logins[1].query, "deviceuuid=uuid-42&password=" + password + "&firmware=" + ENCODED_FIRMWARE +
                                   "&orbletversion=" + ENCODED_AGENT);
    const auto registers = run.platform.requests("register");
    ASSERT_EQ(registers.size(), 1u);
    EXPECT_EQ(registers[0].query, "countrycode=GB&sitecode=LDN&id=DEV001&password=" + password + "&firmware=" +
                                      ENCODED_FIRMWARE + "&macaddress=00:11:22:33:44:55");
    EXPECT_EQ(run.platform.requests("checkin")[0].query, "deviceuuid=uuid-42&token=tok-1");
    EXPECT_TRUE(run.platform.requests("commandcompleted").empty());  // NoActivity never reports

    EXPECT_EQ(run.countMessage("Device id GB-LDN-DEV001 attempting to login", agentrun::DAEMON_NOTICE), 2);
    EXPECT_EQ(run.countMessage("Login Successful", agentrun::DAEMON_NOTICE), 1);
    EXPECT_EQ(run.countMessage("Device id GB-LDN-DEV001 CheckIn Successful", agentrun::DAEMON_NOTICE), 1);
    EXPECT_THAT(run.shimLog(), Contains("sleep 5"));
    EXPECT_EQ(sandbox::readFile("/tmp/watcher"), "OK");
}

TEST(AgentProtocol, InvalidTokenPausesAndLogsInAgain) {
    KIV_REQUIRE_SANDBOX();
    AgentRun run;
    run.platform.answer("login", {json(R"({"ResponseMessage":"Success","AuthenticationToken":"tok-1"})"),
                                  json(R"({"ResponseMessage":"Success","AuthenticationToken":"tok-2"})")});
    run.platform.answer("checkin", {json("\"InvalidToken\""), json("\"NoActivity\"")});
    sandbox::AgentLayout layout;
    layout.withIdentity = true;
    layout.uuid = "U1";
    run.start(layout);
    ASSERT_TRUE(run.waitForRequests("checkin", 3));
    run.stop();

    const auto checkins = run.platform.requests("checkin");
    EXPECT_EQ(checkins[0].query, "deviceuuid=U1&token=tok-1");
    EXPECT_EQ(checkins[1].query, "deviceuuid=U1&token=tok-2");
    EXPECT_EQ(run.requestCount("login"), 2u);
    EXPECT_EQ(run.countMessage("CheckIn Invalid Token : InvalidToken", agentrun::DAEMON_ERR), 1);
    const auto shim = run.shimLog();
    ASSERT_FALSE(shim.empty());
    EXPECT_EQ(shim[0], "sleep 60");
    EXPECT_TRUE(run.platform.requests("commandcompleted").empty());
    // The first check-in of the new login is reported as the first again.
    EXPECT_EQ(run.countMessage("Device id GB-LDN-DEV001 CheckIn Successful"), 1);
    EXPECT_EQ(run.countMessage("Login Successful"), 2);
}

TEST(AgentProtocol, UnknownAndUnquotedNamesAreReportedBack) {
    KIV_REQUIRE_SANDBOX();
    AgentRun run;
    run.platform.answer("login", {json(R"({"ResponseMessage":"Success","AuthenticationToken":"T"})")});
    run.platform.answer("checkin", {json("NoActivity"), json("\"UploadSystemLog\""), json("\"noactivity\""),
                                    json("\"NoActivity\"")});
    run.platform.answer("commandcompleted", {json("\"Success\"")});
    sandbox::AgentLayout layout;
    layout.withIdentity = true;
    layout.uuid = "U1";
    run.start(layout);
    ASSERT_TRUE(run.waitForRequests("checkin", 5));
    run.stop();
    std::vector<std::string> reports;
    for (const auto& r : run.platform.requests("commandcompleted")) reports.push_back(r.query);
    const std::string head = "deviceuuid=U1&token=T&command=";
    const std::string tail = "&issuccess=false&errormessage=Unknown%20Command";
    EXPECT_THAT(reports, ElementsAre(head + "oActivit" + tail, head + "UploadSystemLog" + tail, head + "noactivity" + tail));
    // Reported unknown commands count as successful check-ins.
    EXPECT_EQ(sandbox::readFile("/tmp/watcher"), "OK");
}

TEST(AgentProtocol, RebootReportsFirstThenSyncsAndReboots) {
    KIV_REQUIRE_SANDBOX();
    AgentRun run;
    run.platform.answer("login", {json(R"({"ResponseMessage":"Success","AuthenticationToken":"T"})")});
    run.platform.answer("checkin", {json("\"Reboot\""), json("\"NoActivity\"")});
    std::vector<std::string> shimAtReport;
    run.platform.on("commandcompleted", [&](const Request&) {
        shimAtReport = run.shimLog();
        return json("\"ok\"");
    });
    sandbox::AgentLayout layout;
    layout.withIdentity = true;
    layout.uuid = "U1";
    layout.sleep = "0";
    run.start(layout);
    ASSERT_TRUE(run.waitForRequests("checkin", 2));
    run.stop();
    const auto reports = run.platform.requests("commandcompleted");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].query, "deviceuuid=U1&token=T&command=reboot&issuccess=true&errormessage=");
    EXPECT_THAT(shimAtReport, ::testing::Not(Contains("sync")));
    const auto shim = run.shimLog();
    const auto sync = std::find(shim.begin(), shim.end(), "sync");
    ASSERT_NE(sync, shim.end());
    ASSERT_NE(sync + 1, shim.end());
    EXPECT_EQ(*(sync + 1), "reboot 0x1234567");
}

TEST(AgentProtocol, FailedRebootReportMeansNoRestart) {
    KIV_REQUIRE_SANDBOX();
    AgentRun run;
    run.platform.answer("login", {json(R"({"ResponseMessage":"Success","AuthenticationToken":"T"})")});
    run.platform.answer("checkin", {json("\"Reboot\"")});
    run.platform.answer("commandcompleted", {Reply{500, "{}"}});
    sandbox::AgentLayout layout;
    layout.withIdentity = true;
    layout.uuid = "U1";
    run.start(layout);
    ASSERT_TRUE(run.waitForRequests("commandcompleted", 2));
    run.stop();
    for (const auto& line : run.shimLog()) {
        EXPECT_TRUE(line.rfind("sleep ", 0) == 0) << line;
    }
    EXPECT_EQ(run.countMessage("TCP exception  : return code : 500", agentrun::DAEMON_ERR), 1);
    EXPECT_THAT(run.shimLog(), Contains("sleep 60"));
}

TEST(AgentProtocol, NoActivitySleepsTheConfiguredValueReadAfresh) {
    KIV_REQUIRE_SANDBOX();
    AgentRun run;
    run.platform.answer("login", {json(R"({"ResponseMessage":"Success","AuthenticationToken":"T"})")});
    run.platform.answer("checkin", {json("\"NoActivity\"")});
    sandbox::AgentLayout layout;
    layout.withIdentity = true;
    layout.uuid = "U1";
    layout.sleep = "\"17\"";
    run.start(layout, 20);
    ASSERT_TRUE(run.waitForRequests("checkin", 2));
    // A changed setting applies from the next NoActivity on, without a restart.
    std::string settings = sandbox::readFile("/opt/kivclient/etc/settings");
    settings.replace(settings.find("MOD_KIVCLIENT_SLEEP=\"17\""), 24, "MOD_KIVCLIENT_SLEEP=23s");
    sandbox::writeFile("/opt/kivclient/etc/settings", settings);
    ASSERT_TRUE(run.waitUntil([&] {
        const auto s = run.shimLog();
        return std::find(s.begin(), s.end(), "sleep 23") != s.end();
    }));
    run.stop();
    const auto shim = run.shimLog();
    ASSERT_FALSE(shim.empty());
    EXPECT_EQ(shim.front(), "sleep 17");
    EXPECT_TRUE(run.platform.requests("commandcompleted").empty());
}

TEST(AgentProtocol, UnreachablePlatformIsRetriedWithTcpPauses) {
    KIV_REQUIRE_SANDBOX();
    AgentRun run;
    run.platform.answer("login", {Reply{503, "busy"}});
    sandbox::AgentLayout layout;
    layout.withIdentity = true;
    layout.uuid = "U1";
    run.start(layout, 5);
    ASSERT_TRUE(run.waitForRequests("login", 16));
    run.stop();
    // Reported on the 1st and 15th failure (the last answered one may not
    // have been reported before the stop).
    const int failures = static_cast<int>(run.requestCount("login"));
    ASSERT_LT(failures, 29);
    const int reported = run.countMessage("TCP exception  : return code : 503", agentrun::DAEMON_ERR);
    EXPECT_TRUE(reported == (failures >= 15 ? 2 : 1) || reported == (failures - 1 >= 15 ? 2 : 1)) << failures;
    const auto shim = run.shimLog();
    EXPECT_TRUE(std::all_of(shim.begin(), shim.end(), [](const std::string& l) { return l == "sleep 15"; }));
    EXPECT_FALSE(sandbox::exists("/tmp/watcher"));
}

}  // namespace
