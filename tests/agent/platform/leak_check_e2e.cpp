// Long run of the agent in the sandbox through a mix of successes, NoActivity
// with sleep 0, HTTP 500s, non-JSON answers, unknown commands and refused
// connections: first natively, reading the resident set at the 100th and the
// 1000th check-in; then under valgrind, where no block may be definitely lost.
// Takes minutes, so it runs only as its own ctest entry (agent_leak_check,
// which sets KIV_LEAK_CHECK=1).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <regex>

#include "agent_harness.h"
#include "unit/mini_http_server.h"

namespace {

constexpr int CHECKINS = 1100;

long residentKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

// The platform's side of the mix, counted per endpoint.
class MixedPlatform {
public:
    MixedPlatform() : server([this](const std::string& target) { return answer(target); }) {}

    minihttp::Answer answer(const std::string& target) {
        const std::string prefix = "/api/devices/";
        const std::string endpoint = target.substr(prefix.size(), target.find('?') - prefix.size());
        if (endpoint == "login") {
            const int n = ++logins;
            if (n % 4 == 2) return {200, "<html>busy</html>"};  // not JSON: "Other Exception"
            return {200, R"({"ResponseMessage":"Success","AuthenticationToken":"tok)" + std::to_string(n) + "\"}"};
        }
        if (endpoint == "commandcompleted") return {200, "\"ok\""};
        if (endpoint != "checkin") return {404, "{}"};
        const int n = ++checkins;
        if (n == 100 || n == 1000) rss[n == 100 ? 0 : 1] = residentKb(agentPid);
        if (n % 50 == 25) {
            server.refuseFor(std::chrono::milliseconds(20));  // the next logins are refused
            return {500, "{}"};
        }
        switch (n % 10) {
            case 3: return {500, "{\"error\":\"x\"}"};
            case 6: return {200, "\"Bogus\""};  // unknown: reported back
            case 8: return {200, "\"InvalidToken\""};
            default: return {200, "\"NoActivity\""};
        }
    }

    std::atomic<int> logins {0};
    std::atomic<int> checkins {0};
    std::atomic<pid_t> agentPid {0};
    std::atomic<long> rss[2] {{-1}, {-1}};
    minihttp::Server server;  // last: stops before the counters go
};

sandbox::AgentLayout layoutFor(const MixedPlatform& platform) {
    sandbox::AgentLayout layout;
    layout.port = std::to_string(platform.server.port());
    layout.withIdentity = true;
    layout.uuid = "U1";
    layout.sleep = "0";
    return layout;
}

std::map<std::string, std::string> shimEnv() {
    return {{"LD_PRELOAD", KIV_SHIM_LIBRARY}, {"KIV_SHIM_LOG", ""}, {"KIV_SHIM_SLEEP_MS", "1"}};
}

// Reads syslog while waiting: the agent's syslog() blocks on a full queue.
bool waitForCheckIns(sandbox::SyslogSink& syslog, const MixedPlatform& platform, int n, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (platform.checkins < n) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        syslog.waitFor([](const sandbox::SyslogRecord&) { return false; }, std::chrono::milliseconds(20));
    }
    return true;
}

TEST(LeakCheck, NoDefiniteLeaksAndNoResidentGrowthOverAThousandCheckIns) {
    KIV_REQUIRE_SANDBOX();
    if (std::getenv("KIV_LEAK_CHECK") == nullptr) GTEST_SKIP() << "runs as the agent_leak_check test";
    sandbox::resetRouter();
    sandbox::SyslogSink syslog;

    {
        MixedPlatform platform;
        sandbox::writeAgentLayout(layoutFor(platform), KIV_AGENT_BINARY);
        sandbox::Process agent({"/opt/kivclient/kivclient"}, shimEnv());
        platform.agentPid = agent.pid();
        ASSERT_TRUE(waitForCheckIns(syslog, platform, CHECKINS, std::chrono::seconds(120)))
            << platform.checkins << " check-ins";
        agent.stop();
        ASSERT_GT(platform.rss[0], 0);
        // The same work at the 1000th check-in as at the 100th: the resident
        // set must not have grown. Four pages of slack: the allocator may touch
        // a page or two late, once, while a leak grows with every check-in
        // (runs of 8000 check-ins stay within one page of the 100th).
        EXPECT_LE(platform.rss[1], platform.rss[0] + 16) << "VmRSS " << platform.rss[0] << " kB at check-in 100, "
                                                        << platform.rss[1] << " kB at 1000";
        std::cout << "VmRSS " << platform.rss[0] << " kB at check-in 100, " << platform.rss[1] << " kB at 1000; "
                  << platform.logins << " logins" << std::endl;
        RecordProperty("VmRSS_kB_at_100", std::to_string(platform.rss[0]));
        RecordProperty("VmRSS_kB_at_1000", std::to_string(platform.rss[1]));
        EXPECT_GT(platform.logins, 100);  // the failures really happened
    }

    MixedPlatform platform;
    sandbox::writeAgentLayout(layoutFor(platform), KIV_AGENT_BINARY);
    const std::string report = "/run/kiv-valgrind.log";
    // The tool is started directly: the valgrind front end is a dynamically
    // linked program that would take the shim (and drop it) itself.
    auto env = shimEnv();
    env["VALGRIND_LIB"] = "/usr/libexec/valgrind";
    env["VALGRIND_LAUNCHER"] = "/usr/bin/valgrind.bin";
    sandbox::Process agent({"/usr/libexec/valgrind/memcheck-amd64-linux", "--leak-check=full",
                            "--show-leak-kinds=definite", "--log-file=" + report, "/opt/kivclient/kivclient"},
                           env);
    ASSERT_TRUE(waitForCheckIns(syslog, platform, CHECKINS, std::chrono::seconds(480)))
        << platform.checkins << " check-ins under valgrind";
    agent.stop(15, std::chrono::seconds(120));  // valgrind writes its summary on the way out
    const std::string log = sandbox::readFile(report);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m, std::regex("definitely lost: ([0-9,]+) bytes"))) << log;
    EXPECT_EQ(m[1].str(), "0") << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("indirectly lost: 0 bytes"))) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("ERROR SUMMARY: 0 errors"))) << log;
    std::cout << platform.checkins << " check-ins and " << platform.logins << " logins under valgrind" << std::endl;
}

}  // namespace
