// The second half of the agent's start-up, run for real in the sandbox: what
// it traces, how a failure there ends the agent, and the optional CA file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "agent_harness.h"

using agentrun::AgentRun;
using testplatform::Reply;
using ::testing::HasSubstr;

namespace {

sandbox::AgentLayout registered() {
    sandbox::AgentLayout layout;
    layout.withIdentity = true;
    layout.uuid = "U1";
    return layout;
}

TEST(ServiceStart, TracesTransportAndVersionsThenLogsIn) {
    KIV_REQUIRE_SANDBOX();
    AgentRun run;
    run.platform.answer("login", {Reply{200, R"({"ResponseMessage":"Success","AuthenticationToken":"T"})"}});
    run.platform.answer("checkin", {Reply{200, "\"NoActivity\""}});
    sandbox::AgentLayout layout = registered();
    layout.timeout = "7s";
    run.start(layout, 10, {"-d"});
    ASSERT_TRUE(run.waitForRequests("checkin", 2));
    const std::string out = run.stop().out;
    const std::string port = std::to_string(run.platform.port());
    EXPECT_THAT(out, HasSubstr(" : Creating Client Instance : \n"));
    EXPECT_THAT(out, HasSubstr(" : PORT:" + port + "\n"));
    EXPECT_THAT(out, HasSubstr(" : HOST:127.0.0.1\n"));
    EXPECT_THAT(out, HasSubstr(" : CONN:http\n"));
    EXPECT_THAT(out, HasSubstr(" : Creating Command lookup table : \n"));
    EXPECT_THAT(out, HasSubstr(" : Firmware version is : 7.1.2\n\n"));
    EXPECT_THAT(out, HasSubstr(" : KIVClient version is : 1.0.0\n\n"));
    EXPECT_THAT(out, HasSubstr("\ntimeout = 7\n"));
    EXPECT_THAT(out, HasSubstr(" : Request: http://127.0.0.1:" + port + "/api/devices/checkin?deviceuuid=U1&token=T\n"));
}

TEST(ServiceStart, MissingVersionFileSendsCatsErrorText) {
    KIV_REQUIRE_SANDBOX();
    AgentRun run;
    run.platform.answer("login", {Reply{200, R"({"ResponseMessage":"Nope"})"}});
    run.prepare = [] { sandbox::removeAll("/opt/kivclient/etc/version"); };
    run.start(registered());
    ASSERT_TRUE(run.waitForRequests("login", 1));
    run.stop();
    // The raw query: cat's message, encoded, ends in a line feed as well.
    const std::string query = run.platform.requests("login")[0].query;
    EXPECT_THAT(query, HasSubstr("&orbletversion=cat%3a%20%2fopt%2fkivclient%2fetc%2fversion%3a%20"));
    EXPECT_EQ(query.substr(query.size() - 3), "%0a");
    EXPECT_THAT(query, HasSubstr("&firmware=7%2e1%2e2%0a&"));
}

TEST(ServiceStart, BadTimeoutEndsTheAgentWithStatus1AndASyslogLine) {
    KIV_REQUIRE_SANDBOX();
    const struct {
        const char* timeout;  // nullptr: no timeout line at all
        const char* message;
    } cases[] = {
        {"soon", "Unexpected exception occurred : stol"},
        {"99999999999", "Unexpected exception occurred : stol"},
        {nullptr, "Unexpected exception occurred : Map key 'timeout' not found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        AgentRun run;
        sandbox::AgentLayout layout = registered();
        if (c.timeout != nullptr) layout.timeout = c.timeout;
        if (c.timeout == nullptr) {
            // The layout always writes the key; take it out again.
            run.prepare = [] {
                std::string settings = sandbox::readFile("/opt/kivclient/etc/settings");
                const auto at = settings.find("MOD_KIVCLIENT_TIMEOUT=");
                settings.erase(at, settings.find('\n', at) - at + 1);
                sandbox::writeFile("/opt/kivclient/etc/settings", settings);
            };
        }
        run.start(layout);
        const sandbox::RunResult r = run.agent->wait(std::chrono::seconds(10));
        ASSERT_FALSE(r.timedOut);
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1) << r.status;
        EXPECT_EQ(run.countMessage(c.message, agentrun::DAEMON_ERR), 1);
        EXPECT_EQ(run.requestCount("login"), 0u);
    }
}

TEST(ServiceStart, CaFileSettingMakesTheAgentVerifyThePlatform) {
    KIV_REQUIRE_SANDBOX();
    sandbox::makeDirs("/run/kiv-ca/good");
    sandbox::makeDirs("/run/kiv-ca/other");
    const auto [cert, key] = testplatform::makeSelfSignedCertificate("/run/kiv-ca/good");
    const auto otherCa = testplatform::makeSelfSignedCertificate("/run/kiv-ca/other").first;
    ASSERT_FALSE(cert.empty());
    ASSERT_FALSE(otherCa.empty());
    const struct {
        std::string setting;  // "" = no cafile line
        bool verified;        // login reaches the platform
    } cases[] = {{"", true}, {"MOD_KIVCLIENT_CAFILE=\n", true}, {"MOD_KIVCLIENT_CAFILE=" + cert + "\n", true},
                 {"MOD_KIVCLIENT_CAFILE=" + otherCa + "\n", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        AgentRun run(cert, key);
        run.platform.answer("login", {Reply{200, R"({"ResponseMessage":"Nope"})"}});
        run.extraSettings = c.setting;
        sandbox::AgentLayout layout = registered();
        layout.connType = "https";
        run.start(layout);
        if (c.verified) {
            EXPECT_TRUE(run.waitForRequests("login", 1));
            EXPECT_TRUE(run.syslog.waitForMessage("Login Error Response is : Nope"));
        } else {
            EXPECT_TRUE(run.syslog.waitFor([](const sandbox::SyslogRecord& r) {
                return r.message.rfind("TCP exception  : ", 0) == 0;
            }));
            run.stop();
            EXPECT_EQ(run.requestCount("login"), 0u);
        }
    }
}

}  // namespace
