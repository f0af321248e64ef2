// The agent's start-up, run as the installed program in the router sandbox,
// with its syslog lines caught at /dev/log as the router's syslog daemon
// would receive them.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "sandbox/sandbox.h"

namespace {

const std::string AGENT = "/opt/kivclient/kivclient";  // in the sandbox, put there by writeAgentLayout
const std::string KIVC_DIR = "/var/data/kivc";
const std::string GEN = "/var/data/kivc/settings.kivcGen";
const std::string MANUF = "/var/data/kivc/settings.kivcManuf";
const std::string SYS = "/opt/kivclient/etc/settings.kivcsys";
const std::string SETTINGS = "/opt/kivclient/etc/settings";
constexpr int NOTICE = 3 * 8 + 5;  // LOG_DAEMON | LOG_NOTICE
constexpr int ERR = 3 * 8 + 3;     // LOG_DAEMON | LOG_ERR
// Nothing listens on the sandbox's loopback: once started, the agent finds the
// platform unreachable and keeps trying, so a successful start-up is stopped
// by the test after its last start-up line.
const std::string CLOSED_PORT = "9";
const std::string PLATFORM_LINE = "Platform: 127.0.0.1 : Connection: http : Port: " + CLOSED_PORT;

using Lines = std::vector<std::pair<int, std::string>>;  // (priority, message)

std::string passwordOf(const std::string& identityFile) {
    static const std::regex format("MOD_KIVCLIENT_PASSWORD=([0-9A-Za-z]{15})\nMOD_KIVCLIENT_UUID=\n");
    std::smatch m;
    const std::string text = sandbox::readFile(identityFile);
    if (!std::regex_match(text, m, format)) return "bad identity file: [" + text + "]";
    return m[1];
}

bool endedBySigterm(int status) {
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
}

bool exitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        KIV_REQUIRE_SANDBOX();
        sandbox::resetRouter();
        layout.port = CLOSED_PORT;
        syslog.emplace();
    }

    void TearDown() override { undoReadOnly(); }

    void install() { sandbox::writeAgentLayout(layout, KIV_AGENT_BINARY); }

    // The syslog lines that the agent with `pid` sent, up to and including
    // the first that satisfies `last` (all of them when none does).
    Lines linesOf(pid_t pid, const std::function<bool(const std::string&)>& last = nullptr) {
        Lines out;
        for (const auto& r : syslog->records()) {
            if (r.pid != pid) continue;
            EXPECT_EQ(r.tag, "kivclient") << r.raw;
            const std::regex head("<" + std::to_string(r.priority) +
                                  ">[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} kivclient\\[" +
                                  std::to_string(pid) + "\\]: ");
            EXPECT_TRUE(std::regex_search(r.raw, head, std::regex_constants::match_continuous)) << r.raw;
            out.emplace_back(r.priority, r.message);
            if (last && last(r.message)) break;
        }
        return out;
    }

    // A start-up that succeeds: waits for its last syslog line, then stops
    // the agent, which by then is on its way to the platform.
    sandbox::RunResult startUp(const std::vector<std::string>& argv, pid_t* pid = nullptr,
                               std::chrono::seconds patience = std::chrono::seconds(20)) {
        sandbox::Process agent(argv);
        if (pid != nullptr) *pid = agent.pid();
        const pid_t p = agent.pid();
        const bool reached = syslog->waitFor(
            [&](const sandbox::SyslogRecord& r) { return r.pid == p && r.message.rfind("Platform: ", 0) == 0; },
            patience);
        sandbox::RunResult r = agent.stop(SIGTERM, patience);
        EXPECT_TRUE(reached) << "no start-up end; stdout:\n" << r.out << "stderr:\n" << r.err;
        EXPECT_TRUE(exitedWith(r.status, 0) || endedBySigterm(r.status)) << "status " << r.status << "\n" << r.err;
        return r;
    }

    // A start-up that fails ends by itself with exit status 1.
    sandbox::RunResult failedStartUp(pid_t* pid, const std::map<std::string, std::string>& env = {}) {
        sandbox::Process agent({AGENT, "-d"}, env);
        *pid = agent.pid();
        sandbox::RunResult r = agent.wait(std::chrono::seconds(20));
        EXPECT_FALSE(r.timedOut);
        EXPECT_TRUE(exitedWith(r.status, 1)) << "status " << r.status << "\nstdout:\n" << r.out << "stderr:\n" << r.err;
        return r;
    }

public:
    void makeIdentityDirReadOnly() {
        ASSERT_EQ(::mount(KIVC_DIR.c_str(), KIVC_DIR.c_str(), nullptr, MS_BIND, nullptr), 0);
        readOnly = true;
        ASSERT_EQ(::mount(nullptr, KIVC_DIR.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    }
    void undoReadOnly() {
        if (readOnly) ::umount2(KIVC_DIR.c_str(), MNT_DETACH);
        readOnly = false;
    }

protected:
    sandbox::AgentLayout layout;
    std::optional<sandbox::SyslogSink> syslog;
    bool readOnly = false;
};

TEST_F(Startup, FirstStartCreatesTheIdentityTracesEveryStepAndGoesOn) {
    install();
    pid_t pid = -1;
    const sandbox::RunResult r = startUp({AGENT, "-d"}, &pid);

    const std::string password = passwordOf(GEN);
    ASSERT_EQ(password.size(), 15u) << password;

    const std::vector<std::string> expected = {
        "Checking for file /var/data/kivc/settings.kivcGen",
        "Generating KIVCGEN_FILE",
        "Password = " + password,
        "HomeDir is : /opt/kivclient",
        "ConfigDir is : /etc/settings",
        "SUScriptDir is : /etc/scripts/",
        "SUScriptPrefix is : S",
        "SUScriptSymLinkDir is : /etc/rc.d",
        "SUScriptSymLinkPrefix is : K",
        "defaultcountrycode is : XX",
        "defaultsitecode is : YY",
        "Country Code is : GB",
        "Site Code is : LDN",
        "Dev Id is : DEV001",
        "MACAddress is : 00:11:22:33:44:55",
        "Password is : " + password,
        "UUID is : ",
        "Host is : 127.0.0.1",
        "Port is : " + CLOSED_PORT,
        "Connection Type is : http",
    };
    std::vector<std::string> trace = sandbox::debugMessages(r.out);
    // What follows belongs to the rest of the agent's life.
    if (trace.size() > expected.size()) trace.resize(expected.size());
    EXPECT_EQ(trace, expected) << r.out;

    const Lines syslogLines = linesOf(pid, [](const std::string& m) { return m.rfind("Platform: ", 0) == 0; });
    EXPECT_EQ(syslogLines, (Lines{{NOTICE, "started"}, {NOTICE, "Device id is GB-LDN-DEV001"}, {NOTICE, PLATFORM_LINE}}));
}

TEST_F(Startup, WithoutDashDTheSwitchFileAloneGetsTheTrace) {
    install();
    const sandbox::RunResult quiet = startUp({AGENT});
    EXPECT_EQ(quiet.out, "");
    EXPECT_FALSE(sandbox::exists("/tmp/kivc")) << "the agent never creates the debug directory";

    sandbox::writeFile("/tmp/kivc/debugkivc", "");
    syslog->clear();
    const sandbox::RunResult traced = startUp({AGENT});
    EXPECT_EQ(traced.out, "");
    const auto trace = sandbox::debugMessages(sandbox::readFile("/tmp/kivc/kivc_debug_output"));
    ASSERT_GE(trace.size(), 3u);
    EXPECT_EQ(trace[0], "Checking for file /var/data/kivc/settings.kivcGen");
    EXPECT_EQ(trace[1], "File exists");
    EXPECT_EQ(trace[2], "HomeDir is : /opt/kivclient");
}

TEST_F(Startup, ExistingIdentityFileIsLeftByteForByte) {
    install();
    const std::string identity =
        "# made at the factory\n"
        "MOD_KIVCLIENT_UUID=\n"
        "MOD_KIVCLIENT_PASSWORD=\"Keep Me 123\"\n"
        "MOD_OTHER_EXTRA=1\r\n"
        "no equals sign here\n";
    sandbox::writeFile(GEN, identity, 0600);
    const timespec past[2] = {{1600000000, 0}, {1600000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, GEN.c_str(), past, 0), 0);
    struct stat before {};
    ASSERT_EQ(::stat(GEN.c_str(), &before), 0);

    const sandbox::RunResult r = startUp({AGENT, "-d"});

    EXPECT_EQ(sandbox::readFile(GEN), identity);
    struct stat after {};
    ASSERT_EQ(::stat(GEN.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(after.st_mode & 07777, 0600u);
    const auto trace = sandbox::debugMessages(r.out);
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace[1], "File exists");
    EXPECT_NE(std::find(trace.begin(), trace.end(), "Password is : Keep Me 123"), trace.end()) << r.out;
    EXPECT_NE(std::find(trace.begin(), trace.end(), "UUID is : "), trace.end()) << r.out;
}

TEST_F(Startup, EmptyCountryAndSiteCodesTakeTheDefaults) {
    const struct {
        std::string country;
        std::string site;
        std::vector<std::string> trace;
        std::string deviceLine;
    } cases[] = {
        {"", "", {"Country Code is NULL - setting to default : XX", "Site Code is NULL - setting to default : YY"},
         "Device id is XX-YY-DEV001"},
        {"", "LDN", {"Country Code is NULL - setting to default : XX", "Site Code is : LDN"}, "Device id is XX-LDN-DEV001"},
        // Blanks are a value, not an empty one.
        {" ", "\"\"", {"Country Code is :  ", "Site Code is NULL - setting to default : YY"}, "Device id is  -YY-DEV001"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("country [" + c.country + "] site [" + c.site + "]");
        sandbox::resetRouter();
        syslog->clear();
        layout.countryCode = c.country;
        layout.siteCode = c.site;
        install();
        pid_t pid = -1;
        const sandbox::RunResult r = startUp({AGENT, "-d"}, &pid);
        const auto trace = sandbox::debugMessages(r.out);
        const auto at = std::find(trace.begin(), trace.end(), "defaultsitecode is : YY");
        ASSERT_TRUE(at != trace.end() && trace.end() - at >= 3) << r.out;
        EXPECT_EQ(std::vector<std::string>(at + 1, at + 3), c.trace);
        const Lines lines = linesOf(pid);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[1], std::make_pair(NOTICE, c.deviceLine));
    }
}

TEST_F(Startup, HandledFailuresLogTheReasonAndEndWithStatusOne) {
    const std::string noKey = "Unexpected exception occurred : Map key '";
    const std::string givenIdentity = "MOD_KIVCLIENT_PASSWORD=abc\n";
    enum class Identity { Created, Absent, AsGiven };
    const struct {
        const char* what;
        std::function<void(Startup&)> breakIt;
        Lines syslog;
        Identity identity;
    } cases[] = {
        {"identity directory missing", [](Startup&) { sandbox::removeAll(KIVC_DIR); },
         {{NOTICE, "started"}, {ERR, "File open exception: Can't open Directory /var/data/kivc"}}, Identity::Absent},
        {"manufacturing file missing on first start", [](Startup&) { sandbox::removeAll(MANUF); },
         {{NOTICE, "started"}, {ERR, "File open exception: Can't open file /var/data/kivc/settings.kivcManuf"}},
         Identity::Created},
        {"system file missing", [](Startup&) { sandbox::removeAll(SYS); },
         {{NOTICE, "started"}, {ERR, "File open exception: Can't open file /opt/kivclient/etc/settings.kivcsys"}},
         Identity::Created},
        {"agent settings missing", [](Startup&) { sandbox::removeAll(SETTINGS); },
         {{NOTICE, "started"}, {ERR, "File open exception: Can't open file /opt/kivclient/etc/settings"}},
         Identity::Created},
        {"identity file cannot be written", [](Startup& t) { t.makeIdentityDirReadOnly(); },
         {{NOTICE, "started"}, {ERR, "File open exception: Can't open file /var/data/kivc/settings.kivcGen"}},
         Identity::Absent},
        {"country code key missing",
         [](Startup&) { sandbox::writeFile(MANUF, "MOD_KIVCLIENT_SITECODE=LDN\nMOD_KIVCLIENT_DEVID=D\n"); },
         {{NOTICE, "started"}, {ERR, noKey + "countrycode' not found"}}, Identity::Created},
        {"connection type line without an underscore",
         [](Startup&) { sandbox::writeFile(SETTINGS, "MOD_KIVCLIENT_HOSTEDPLATFORM=h\nMOD_KIVCLIENT_PORT=1\nCONNTYPE=http\n"); },
         {{NOTICE, "started"}, {NOTICE, "Device id is GB-LDN-DEV001"}, {ERR, noKey + "conntype' not found"}},
         Identity::Created},
        {"uuid key missing from an existing identity",
         [&](Startup&) { sandbox::writeFile(GEN, givenIdentity); },
         {{NOTICE, "started"}, {NOTICE, "Device id is GB-LDN-DEV001"}, {ERR, noKey + "uuid' not found"}},
         Identity::AsGiven},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        undoReadOnly();
        sandbox::resetRouter();
        syslog->clear();
        install();
        c.breakIt(*this);
        pid_t pid = -1;
        const sandbox::RunResult r = failedStartUp(&pid);

        EXPECT_EQ(linesOf(pid), c.syslog);
        // The same text closes the debug trace.
        const auto trace = sandbox::debugMessages(r.out);
        ASSERT_FALSE(trace.empty());
        EXPECT_EQ(trace.back(), c.syslog.back().second);
        switch (c.identity) {
            case Identity::Created: EXPECT_EQ(passwordOf(GEN).size(), 15u) << passwordOf(GEN); break;
            case Identity::Absent: EXPECT_FALSE(sandbox::exists(GEN)); break;
            case Identity::AsGiven: EXPECT_EQ(sandbox::readFile(GEN), givenIdentity); break;
        }
    }
}

// With the time as the only seed, every router that first starts in the same
// second would get the same password.
TEST_F(Startup, IdentitiesCreatedInTheSameSecondDiffer) {
    install();
    sandbox::removeAll(MANUF);  // the start-up ends right after creating the identity
    bool sameSecond = false;
    for (int attempt = 0; attempt < 10 && !sameSecond; ++attempt) {
        const time_t before = ::time(nullptr);
        pid_t pid = -1;
        failedStartUp(&pid);
        const std::string first = passwordOf(GEN);
        sandbox::removeAll(GEN);
        failedStartUp(&pid);
        const std::string second = passwordOf(GEN);
        sandbox::removeAll(GEN);
        if (::time(nullptr) != before) continue;
        sameSecond = true;
        ASSERT_EQ(first.size(), 15u) << first;
        ASSERT_EQ(second.size(), 15u) << second;
        EXPECT_NE(first, second);
    }
    EXPECT_TRUE(sameSecond) << "no two start-ups fell into the same second";
}

// Kernels before 3.17 have no getrandom(): the identity then comes from
// /dev/urandom instead of failing every start.
TEST_F(Startup, IdentityIsCreatedAlsoOnAKernelWithoutGetrandom) {
    install();
    sandbox::removeAll(MANUF);  // the start-up ends right after creating the identity
    std::string passwords[2];
    for (std::string& password : passwords) {
        pid_t pid = -1;
        failedStartUp(&pid, {{"LD_PRELOAD", KIV_SHIM_LIBRARY}, {"KIV_SHIM_GETRANDOM", "missing"}});
        EXPECT_EQ(linesOf(pid).back(),
                  std::make_pair(ERR, std::string("File open exception: Can't open file ") + MANUF));
        password = passwordOf(GEN);
        EXPECT_EQ(password.size(), 15u) << password;
        sandbox::removeAll(GEN);
    }
    EXPECT_NE(passwords[0], passwords[1]);
}

// Memory errors and leaks of the start-up, on its success path (first start,
// identity creation included) and on handled failures. The agent's own exit
// status 1 must not be mistaken for a finding, so valgrind reports through
// its own code and its log.
TEST_F(Startup, RunsCleanUnderValgrind) {
    ASSERT_TRUE(sandbox::exists("/usr/bin/valgrind")) << "scripts/install-deps.sh installs valgrind";
    const struct {
        const char* what;
        std::function<void()> breakIt;
        bool succeeds;
    } cases[] = {
        {"first start", [] {}, true},
        {"missing key", [] { sandbox::writeFile(SETTINGS, "MOD_KIVCLIENT_HOSTEDPLATFORM=h\n"); }, false},
        {"missing directory", [] { sandbox::removeAll(KIVC_DIR); }, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sandbox::resetRouter();
        syslog->clear();
        install();
        c.breakIt();
        const std::string log = "/tmp/valgrind-" + std::to_string(n++) + ".log";
        const std::vector<std::string> argv = {"/usr/bin/valgrind", "--error-exitcode=101", "--leak-check=full",
                                               "--log-file=" + log, AGENT, "-d"};
        sandbox::RunResult r;
        if (c.succeeds) {
            // Stopped after its last start-up line if it is still running:
            // valgrind then reports the fatal signal, checks for leaks and
            // writes its summary before it ends.
            r = startUp(argv, nullptr, std::chrono::seconds(120));
        } else {
            r = sandbox::run(argv, {}, std::chrono::seconds(120));
            EXPECT_TRUE(exitedWith(r.status, 1)) << "status " << r.status;
        }
        const std::string report = sandbox::readFile(log);
        EXPECT_NE(report.find("HEAP SUMMARY"), std::string::npos) << report;
        EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
    }
}

}  // namespace
