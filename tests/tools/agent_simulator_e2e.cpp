// The real agent against the real simulator (kivsim), both as programs in
// the router sandbox: enrolment, commands, a revoked token, a platform that
// goes away and comes back, HTTPS, and the loop's reaction to each fault.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <sstream>

#include "sandbox/sandbox.h"
#include "sim_client.h"

using simtest::json;
using simtest::SimClient;

namespace {

const std::string SHIM_LOG = "/run/kivsim-e2e-shim.log";
const std::string DATA = "/run/kivsim-e2e";
const std::string DEVICE = "GB-LDN-DEV001";
const std::string PRESET_UUID = "5f0c2b6e-8d7a-4c1e-9b3f-0a1b2c3d4e5f";
constexpr int DAEMON_ERR = 3 * 8 + 3;
constexpr int DAEMON_NOTICE = 3 * 8 + 5;

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

class AgentVsSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        KIV_REQUIRE_SANDBOX();
        sandbox::resetRouter();
        sandbox::removeAll(SHIM_LOG);
        sandbox::removeAll(DATA);
        sandbox::makeDirs(DATA + "/files");
        syslog = std::make_unique<sandbox::SyslogSink>();
    }
    void TearDown() override {
        agent.reset();  // before the sink: its syslog() must not block
        sim.reset();
        syslog.reset();
    }

    // Starts kivsim on the given ports (0: free ones), keeping its data dir.
    void startSim(int httpPort = 0, int httpsPort = 0) {
        sandbox::removeAll(DATA + "/ports.json");
        sim = std::make_unique<sandbox::Process>(std::vector<std::string>{
            KIVSIM_BINARY, "--quiet", "--data-dir", DATA, "--http-port", std::to_string(httpPort), "--https-port",
            std::to_string(httpsPort), "--port-file", DATA + "/ports.json"});
        ASSERT_TRUE(sandbox::eventually([] { return sandbox::exists(DATA + "/ports.json"); }))
            << sim->outputSoFar();
        const json ports = json::parse(sandbox::readFile(DATA + "/ports.json"));
        http = ports["http"];
        https = ports["https"];
        admin = std::make_unique<SimClient>("127.0.0.1", http);
    }
    void stopSim() {
        const sandbox::RunResult r = sim->stop(SIGTERM);
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << r.err;
        sim.reset();
    }

    // The device as the platform knows it before the agent starts.
    void preRegister(sandbox::AgentLayout& layout) {
        layout.withIdentity = true;
        layout.uuid = PRESET_UUID;
        const auto r = admin->admin("POST", "devices",
                                    json({{"uuid", PRESET_UUID}, {"countryCode", "GB"}, {"siteCode", "LDN"},
                                          {"devId", "DEV001"}, {"password", layout.password}})
                                        .dump());
        ASSERT_EQ(r.status, 201) << r.body;
    }

    void startAgent(sandbox::AgentLayout layout, const std::string& port = "") {
        layout.port = port.empty() ? std::to_string(http) : port;
        sandbox::writeAgentLayout(layout, KIV_AGENT_BINARY);
        agent = std::make_unique<sandbox::Process>(
            std::vector<std::string>{"/opt/kivclient/kivclient"},
            std::map<std::string, std::string>{
                {"LD_PRELOAD", KIV_SHIM_LIBRARY}, {"KIV_SHIM_LOG", SHIM_LOG}, {"KIV_SHIM_SLEEP_MS", "10"}});
    }

    // Keeps reading syslog while it waits: the agent's syslog() blocks once
    // a few datagrams are queued unread at /dev/log.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds t = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + t;
        while (!condition()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            syslog->waitFor([](const sandbox::SyslogRecord&) { return false; }, std::chrono::milliseconds(10));
        }
        return true;
    }

    json device() {
        const auto a = admin->admin("GET", "devices/" + DEVICE);
        return a.status == 200 ? a.asJson() : json::object();
    }
    long checkins() { return device().value("checkins", 0L); }
    bool waitForCheckins(long atLeast) { return waitUntil([&] { return checkins() >= atLeast; }); }
    json requests(const std::string& endpoint = "") {
        return admin->adminJson("GET", "requests" + (endpoint.empty() ? "" : "?endpoint=" + endpoint));
    }

    std::vector<std::string> shimLog() {
        std::vector<std::string> lines;
        std::istringstream in(sandbox::exists(SHIM_LOG) ? sandbox::readFile(SHIM_LOG) : "");
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    // The distinct pauses taken since the shim log had `from` lines.
    std::set<std::string> pausesSince(size_t from) {
        const auto lines = shimLog();
        std::set<std::string> out;
        for (size_t i = from; i < lines.size(); ++i) out.insert(lines[i]);
        return out;
    }
    int count(const std::string& message, int priority) {
        int n = 0;
        for (const auto& r : syslog->records()) n += (r.message == message && r.priority == priority) ? 1 : 0;
        return n;
    }
    bool sawErrorStartingWith(const std::string& prefix) {
        for (const auto& r : syslog->records()) {
            if (r.priority == DAEMON_ERR && r.message.rfind(prefix, 0) == 0) return true;
        }
        return false;
    }
    std::string errors() {
        std::string out;
        for (const auto& r : syslog->records()) {
            if (r.priority == DAEMON_ERR) out += r.message + "\n";
        }
        return out;
    }

    std::unique_ptr<sandbox::SyslogSink> syslog;
    std::unique_ptr<sandbox::Process> sim;
    std::unique_ptr<sandbox::Process> agent;
    std::unique_ptr<SimClient> admin;
    int http = 0;
    int https = 0;
};

TEST_F(AgentVsSimulator, FirstEnrolmentToSteadyCheckIns) {
    startSim();
    sandbox::AgentLayout layout;
    layout.sleep = "5";
    startAgent(layout);
    ASSERT_TRUE(waitForCheckins(5)) << errors();
    agent.reset();

    // The platform's uuid is the one the router keeps.
    const json d = device();
    EXPECT_NE(sandbox::readFile("/var/data/kivc/settings.kivcGen").find("MOD_KIVCLIENT_UUID=" + d["uuid"].get<std::string>()),
              std::string::npos);
    EXPECT_EQ(d["logins"], 1);
    EXPECT_EQ(d["firmware"], "7.1.2\n") << "the versions arrive decoded as the router's files hold them";
    EXPECT_EQ(d["orbletVersion"], "1.0.0\n");

    std::vector<std::string> endpoints;
    for (const auto& r : requests()) endpoints.push_back(r["endpoint"]);
    ASSERT_GE(endpoints.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(endpoints.begin(), endpoints.begin() + 4),
              (std::vector<std::string>{"login", "register", "login", "checkin"}));
    EXPECT_EQ(requests()[0]["answer"], R"({"ResponseMessage":"UnknownDevice"})");
    EXPECT_EQ(std::set<std::string>(endpoints.begin() + 3, endpoints.end()), std::set<std::string>{"checkin"})
        << "NoActivity sends no report";

    EXPECT_EQ(count("Device id GB-LDN-DEV001 attempting to login", DAEMON_NOTICE), 2);
    EXPECT_EQ(count("Login Successful", DAEMON_NOTICE), 1);
    EXPECT_GE(count("Device id GB-LDN-DEV001 CheckIn Successful", DAEMON_NOTICE), 1);
    EXPECT_EQ(errors(), "");
    EXPECT_EQ(pausesSince(0), std::set<std::string>{"sleep 5"}) << "only NoActivity's pause";
    EXPECT_EQ(sandbox::readFile("/tmp/watcher"), "OK");
}

TEST_F(AgentVsSimulator, CommandsTravelBothWays) {
    startSim();
    sandbox::writeFile("/opt/kivclient/etc/whitelist", "MOD_KIVCLIENT_ECHO=/bin/echo\n");
    sandbox::installFakeTool("/usr/bin/backup", "/run/kivsim-e2e-tools", "echo 'lan.ip=192.168.1.1'");
    sandbox::installFakeTool("/usr/sbin/restore", "/run/kivsim-e2e-tools", "echo restored");
    sandbox::writeFile("/var/log/messages", "Jan  1 00:00:01 router booted\n");
    sandbox::writeFile(DATA + "/files/router.cfg", "config-v2\n");
    sandbox::AgentLayout layout;
    layout.sleep = "1";
    preRegister(layout);
    ASSERT_EQ(admin->admin("POST", "devices/" + DEVICE + "/commands", R"([
        {"name":"Command","instructions":{"key":"echo","args":["hello","from the platform"]}},
        {"name":"SetConfig","instructions":{"url":"{files}/router.cfg"}},
        "UploadConfig",
        "SystemLog",
        {"name":"DownloadSettings","instructions":{"InstallationName":"router","SettingsFileName":"snmp.cfg",
            "InstallationGUID":"00000000-0000-0000-0000-000000000000","SettingsFileText":"SNMP_ENABLED=1\n"}},
        "Frobnicate"])")
                  .status,
              200);
    startAgent(layout);
    ASSERT_TRUE(waitUntil([&] { return device()["reports"].size() >= 6; })) << errors() << device().dump(2);
    agent.reset();

    struct Expected {
        const char* command;
        bool success;
        const char* message;
    } expected[] = {
        {"command", true, "hello from the platform\n"},
        {"setconfig", true, "restored\n"},
        {"uploadconfig", true, ""},
        {"systemlog", true, ""},
        {"downloadsettings", true, ""},
        {"Frobnicate", false, "Unknown Command"},
    };
    const json reports = device()["reports"];
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(expected[i].command);
        EXPECT_EQ(reports[i]["command"], expected[i].command);
        EXPECT_EQ(reports[i]["success"], expected[i].success);
        EXPECT_EQ(reports[i]["message"], expected[i].message);
    }
    EXPECT_EQ(reports[0]["errormessage"], "hello%20from%20the%20platform%0a");
    EXPECT_EQ(sandbox::readFile("/tmp/set_config.txt"), "config-v2\n");

    const json uploads = device()["uploads"];
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_EQ(uploads[0]["fileName"], "config.txt");
    EXPECT_EQ(admin->admin("GET", "devices/" + DEVICE + "/uploads/1").body, "lan.ip=192.168.1.1\n");
    EXPECT_EQ(uploads[1]["fileName"], "messages");
    EXPECT_EQ(admin->admin("GET", "devices/" + DEVICE + "/uploads/2").body, "Jan  1 00:00:01 router booted\n");
    EXPECT_EQ(errors(), "");
}

TEST_F(AgentVsSimulator, RevokedTokenMeansInvalidTokenThenANewLogin) {
    startSim();
    sandbox::AgentLayout layout;
    layout.sleep = "1";
    preRegister(layout);
    startAgent(layout);
    ASSERT_TRUE(waitForCheckins(3));
    const size_t shimBefore = shimLog().size();
    ASSERT_EQ(admin->admin("POST", "devices/" + DEVICE + "/revoke").status, 200);
    ASSERT_TRUE(waitUntil([&] { return device()["logins"] == 2; })) << errors();
    const long after = checkins();
    ASSERT_TRUE(waitForCheckins(after + 3));
    const std::string out = agent->outputSoFar();
    agent.reset();

    EXPECT_EQ(count("CheckIn Invalid Token : InvalidToken", DAEMON_ERR), 1);
    EXPECT_EQ(pausesSince(shimBefore), (std::set<std::string>{"sleep 1", "sleep 60"}));
    // InvalidToken is followed by a login, not a registration, and the
    // transport is not prepared again ("timeout = " is printed by each init).
    std::vector<std::string> sequence;
    for (const auto& r : requests()) {
        if (r.value("answer", "") == "\"InvalidToken\"" || !sequence.empty()) sequence.push_back(r["endpoint"]);
    }
    ASSERT_GE(sequence.size(), 3u);
    EXPECT_EQ(sequence[1], "login");
    EXPECT_EQ(sequence[2], "checkin");
    size_t inits = 0;
    for (size_t p = out.find("timeout = "); p != std::string::npos; p = out.find("timeout = ", p + 1)) ++inits;
    EXPECT_EQ(inits, 1u) << out;
    // The first check-in after the new login is reported as the first again.
    std::vector<std::string> messages;
    bool seen = false;
    for (const auto& r : syslog->records()) {
        seen = seen || r.message == "CheckIn Invalid Token : InvalidToken";
        if (seen && r.message.find("attempting") == std::string::npos) messages.push_back(r.message);
    }
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[1], "Login Successful");
    EXPECT_EQ(messages[2], "Device id GB-LDN-DEV001 CheckIn Successful");
}

TEST_F(AgentVsSimulator, PlatformGoneAndBackTheAgentRecoversByItself) {
    const int httpPort = freePort();
    sandbox::AgentLayout layout;
    layout.sleep = "1";
    // Power-up without a platform: transport failures, 15 s apart.
    startAgent(layout, std::to_string(httpPort));
    ASSERT_TRUE(waitUntil([&] { return count("TCP exception  : Couldn't connect to server", DAEMON_ERR) >= 1; }))
        << errors();
    ASSERT_TRUE(waitUntil([&] { return pausesSince(0).count("sleep 15") == 1; }));

    startSim(httpPort);
    ASSERT_TRUE(waitForCheckins(3)) << errors();
    const std::string uuid = device()["uuid"];
    const size_t shimBefore = shimLog().size();

    // The platform stops: after a check-in sequence the pause is 60 s.
    stopSim();
    ASSERT_TRUE(waitUntil([&] { return pausesSince(shimBefore).count("sleep 60") == 1; })) << errors();
    EXPECT_EQ(pausesSince(shimBefore).count("sleep 15"), 0u);

    // Back on the same port with its saved state: the device is known, so
    // the agent only logs in again.
    startSim(httpPort);
    ASSERT_TRUE(waitUntil([&] { return device().value("logins", 0) == 2; })) << errors();
    const long after = checkins();
    ASSERT_TRUE(waitForCheckins(after + 3));
    agent.reset();
    EXPECT_EQ(device()["uuid"], uuid);
    EXPECT_EQ(admin->adminJson("GET", "devices").size(), 1u);
    for (const auto& r : requests()) EXPECT_NE(r["endpoint"], "register");
    EXPECT_NE(sandbox::readFile("/var/data/kivc/settings.kivcGen").find(uuid), std::string::npos);
    EXPECT_EQ(sandbox::readFile("/tmp/watcher"), "OK");
}

TEST_F(AgentVsSimulator, HttpsWithTheGeneratedSelfSignedCertificate) {
    startSim();
    ASSERT_TRUE(sandbox::exists(DATA + "/cert.pem"));
    sandbox::writeFile("/var/log/messages", "over TLS\n");
    ASSERT_EQ(admin->admin("POST", "devices/" + DEVICE + "/commands", R"(["SystemLog"])").status, 200);
    sandbox::AgentLayout layout;
    layout.connType = "https";
    layout.sleep = "1";
    startAgent(layout, std::to_string(https));
    ASSERT_TRUE(waitUntil([&] { return device()["reports"].size() >= 1 && checkins() >= 3; })) << errors();
    agent.reset();

    const json log = requests();
    ASSERT_FALSE(log.empty());
    for (const auto& r : log) EXPECT_EQ(r["server"], "https") << r.dump();
    EXPECT_EQ(device()["reports"][0]["command"], "systemlog");
    EXPECT_EQ(device()["reports"][0]["success"], true);
    EXPECT_EQ(admin->admin("GET", "devices/" + DEVICE + "/uploads/1").body, "over TLS\n");
    EXPECT_EQ(errors(), "");
}

// ---- faults ----------------------------------------------------------------

struct FaultCase {
    const char* name;
    const char* fault;        // the admin interface's fault object
    const char* syslogLine;   // at LOG_ERR; a trailing '*' matches any rest
    const char* pause;        // the loop's pause that follows
    bool beforeStart = false;  // injected before the agent starts (else once it checks in steadily)
    bool registered = true;
    const char* queue = nullptr;   // commands queued with the fault
    const char* timeout = "10";
};

const FaultCase FAULTS[] = {
    {"CheckinStatus500", R"({"endpoint":"checkin","status":500})", "TCP exception  : return code : 500", "sleep 60"},
    {"CheckinDropped", R"({"endpoint":"checkin","drop":true})", "TCP exception  : Server returned nothing (no headers, no data)",
     "sleep 60"},
    {"CheckinSlowerThanTheTimeLimit", R"({"endpoint":"checkin","delayMs":2500})",
     "TCP exception  : Timeout was reached", "sleep 60", false, true, nullptr, "1"},
    {"CheckinEmptyBody", R"({"endpoint":"checkin","body":""})", "Unexpected exception occurred : *", "sleep 6"},
    {"LoginStatus503BeforeAnySequence", R"({"endpoint":"login","status":503})", "TCP exception  : return code : 503",
     "sleep 15", true},
    {"LoginNotJson", R"({"endpoint":"login","notJson":true})", "Other Exception  : Bad JSON format of response",
     "sleep 240", true},
    {"LoginRefused", R"({"endpoint":"login","body":"{\"ResponseMessage\":\"AccountLocked\"}"})",
     "Login Error Response is : AccountLocked", "sleep 60", true},
    {"RegistrationFailed", R"({"endpoint":"register","body":"{\"ResponseMessage\":\"Failed\"}"})",
     "Registration Error Response is : Failed", "sleep 1800", true, false},
    {"InstructionsNotJson", R"({"endpoint":"command","notJson":true})",
     "Other Exception  : Bad JSON format of response", "sleep 240", false, true,
     R"([{"name":"Command","instructions":{"key":"echo"}}])"},
    {"UploadDropped", R"({"endpoint":"systemlog","drop":true})", "TCP exception  : *", "sleep 60", false, true,
     R"(["SystemLog"])"},
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class AgentFaults : public AgentVsSimulator, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(AgentFaults, EachFaultGetsItsPauseAndSyslogLineAndTheAgentComesBack) {
    const FaultCase& c = GetParam();
    startSim();
    sandbox::writeFile("/var/log/messages", "log\n");
    sandbox::writeFile("/opt/kivclient/etc/whitelist", "MOD_KIVCLIENT_ECHO=/bin/echo\n");
    sandbox::AgentLayout layout;
    layout.sleep = "2";  // NoActivity's pause, unlike every error pause
    layout.timeout = c.timeout;
    if (c.registered) preRegister(layout);
    auto inject = [&] {
        ASSERT_EQ(admin->admin("POST", "faults", c.fault).status, 200);
        if (c.queue != nullptr) {
            ASSERT_EQ(admin->admin("POST", "devices/" + DEVICE + "/commands", c.queue).status, 200);
        }
    };
    size_t shimBefore = 0;
    if (c.beforeStart) inject();
    startAgent(layout);
    if (!c.beforeStart) {
        ASSERT_TRUE(waitForCheckins(3)) << errors();
        shimBefore = shimLog().size();
        inject();
    }

    const std::string line = c.syslogLine;
    const bool prefix = line.back() == '*';
    ASSERT_TRUE(waitUntil([&] {
        return prefix ? sawErrorStartingWith(line.substr(0, line.size() - 1)) : count(line, DAEMON_ERR) >= 1;
    })) << errors();
    ASSERT_TRUE(waitUntil([&] { return pausesSince(shimBefore).count(c.pause) == 1; }))
        << "pauses: " << shimLog().size();
    std::set<std::string> pauses = pausesSince(shimBefore);
    pauses.erase("sleep 2");
    EXPECT_EQ(pauses, std::set<std::string>{c.pause});

    // Once the fault is gone the agent checks in steadily again by itself.
    ASSERT_EQ(admin->admin("DELETE", "faults").status, 200);
    const long before = checkins();
    ASSERT_TRUE(waitForCheckins(before + 3)) << errors();
    EXPECT_TRUE(waitUntil([] { return sandbox::readFile("/tmp/watcher") == "OK"; }));
    EXPECT_TRUE(agent->running());
}

INSTANTIATE_TEST_SUITE_P(Faults, AgentFaults, ::testing::ValuesIn(FAULTS),
                         [](const ::testing::TestParamInfo<FaultCase>& i) { return std::string(i.param.name); });

}  // namespace
