// The add-on package as an operator installs it: unpacked into / in the
// router sandbox, run through its init script, updated through its
// self-update package. The test shim is preloaded into every program of the
// sandbox (through /etc/ld.so.preload of the sandbox's own /etc), so the
// daemons' pauses take milliseconds.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sandbox/sandbox.h"
#include "settings_store.h"
#ifdef KIV_HAVE_SIMULATOR
#include "simulator.h"
#endif

namespace {

using namespace std::chrono_literals;

const std::string kHome = "/opt/kivclient";
const std::string kAgent = kHome + "/kivclient";
const std::string kWatcher = kHome + "/kivwatcher";
const std::string kInit = kHome + "/etc/init";
const std::string kShimLog = "/tmp/shim.log";

std::string slurp(const std::string& path) { return sandbox::readFile(path); }

// Ids of the running processes whose command line starts with `program`.
std::set<pid_t> pidsOf(const std::string& program) {
    std::set<pid_t> pids;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return pids;
    while (const dirent* e = ::readdir(proc)) {
        const std::string name = e->d_name;
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string cmdline = slurp("/proc/" + name + "/cmdline");
        if (cmdline.substr(0, cmdline.find('\0')) == program) pids.insert(std::stoi(name));
    }
    ::closedir(proc);
    return pids;
}

pid_t onlyPidOf(const std::string& program) {
    const auto pids = pidsOf(program);
    return pids.size() == 1 ? *pids.begin() : -1;
}

int exitCode(const sandbox::RunResult& r) { return r.timedOut || !WIFEXITED(r.status) ? -1 : WEXITSTATUS(r.status); }

class PackageE2E : public ::testing::Test {
protected:
    void SetUp() override {
        KIV_REQUIRE_SANDBOX();
        sandbox::resetRouter();
        sandbox::removeAll("/etc/ld.so.preload");
        syslog_ = std::make_unique<sandbox::SyslogSink>();
    }

    void TearDown() override {
        if (!sandbox::inside()) return;
        if (sandbox::exists(kInit)) sandbox::run({kInit, "stop"}, {}, 30s);
        // Whatever the script could not stop.
        for (const auto& program : {kAgent, kWatcher})
            for (pid_t pid : pidsOf(program)) ::kill(pid, SIGKILL);
        sandbox::removeAll("/etc/ld.so.preload");
    }

    // Every program started from now on runs with the shim; each pause takes
    // `pauseMs` of real time.
    void preloadShim(int pauseMs) {
        sandbox::writeFile("/etc/ld.so.preload", std::string(KIV_SHIM_LIBRARY) + "\n");
        env_ = {{"KIV_SHIM_LOG", kShimLog}, {"KIV_SHIM_SLEEP_MS", std::to_string(pauseMs)}};
    }

    sandbox::RunResult sh(const std::string& command, std::chrono::milliseconds timeout = 60s) {
        return sandbox::run({"/bin/sh", "-c", command}, env_, timeout);
    }

    void unpackAddOn() {
        const auto r = sh(std::string("tar -xzf ") + KIV_ADDON_ARCHIVE + " -C /");
        ASSERT_EQ(exitCode(r), 0) << r.err;
    }

    // The router's own part: the manufacturing record in the identity directory.
    void writeManufacturingRecord() {
        sandbox::writeFile("/var/data/kivc/settings.kivcManuf",
                           "MOD_KIVCLIENT_COUNTRYCODE=GB\nMOD_KIVCLIENT_SITECODE=LDN\n"
                           "MOD_KIVCLIENT_DEVID=DEV001\nMOD_KIVCLIENT_MACADDRESS=00:11:22:33:44:55\n");
        sandbox::writeFile("/etc/version", "7.1.2\n");
    }

    void pointAgentAt(int port, const std::string& sleep = "0") {
        sandbox::writeFile(kHome + "/etc/settings",
                           "# edited by the operator\nMOD_KIVCLIENT_HOSTEDPLATFORM=127.0.0.1\nMOD_KIVCLIENT_PORT=" +
                               std::to_string(port) +
                               "\nMOD_KIVCLIENT_CONNTYPE=http\nMOD_KIVCLIENT_TIMEOUT=10\nMOD_KIVCLIENT_SLEEP=" + sleep +
                               "\n");
    }

    std::unique_ptr<sandbox::SyslogSink> syslog_;
    std::map<std::string, std::string> env_;
};

TEST_F(PackageE2E, AddOnUnpacksIntoOptWithItsLayout) {
    ::chmod("/opt", 0711);
    unpackAddOn();

    struct stat st {};
    ASSERT_EQ(::stat("/opt", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0711U) << "unpacking must leave /opt itself alone";

    for (const auto& path : {kAgent, kWatcher, kHome + "/kivstatus", kInit}) {
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 07777, 0755U) << path;
        EXPECT_EQ(st.st_uid, 0U) << path;
    }
    EXPECT_EQ(slurp(kHome + "/etc/version"), std::string(KIV_PROJECT_VERSION) + "\n");
    ASSERT_TRUE(sandbox::exists(kHome + "/etc/whitelist"));
    EXPECT_EQ(slurp(kHome + "/etc/whitelist"), "");

    // The templates hold every key the agent's start-up reads, as the agent
    // reads them, and say what each is for.
    const SettingsStore settings(kHome + "/etc/settings", "kivclient");
    for (const char* key : {"hostedplatform", "port", "conntype", "timeout", "sleep"})
        EXPECT_FALSE(settings.get(key).empty()) << key;
    EXPECT_NE(slurp(kHome + "/etc/settings").find("\n# "), std::string::npos);
    const SettingsStore system(kHome + "/etc/settings.kivcsys", "kivclient");
    for (const char* key : {"homedir", "configdir", "suscriptdir", "suscriptprefix", "suscriptsymlinkdir",
                            "suscriptsymlinkprefix", "defaultcountrycode", "defaultsitecode"})
        EXPECT_TRUE(system.has(key)) << key;
    EXPECT_EQ(system.get("suscriptdir").back(), '/') << "script names are joined to it directly";
}

TEST_F(PackageE2E, InitScriptStartsStopsAndRestartsOnlyTheAgent) {
    // Long pauses: the watchdog must not restart the agent during this test.
    preloadShim(2000);
    unpackAddOn();
    writeManufacturingRecord();
    pointAgentAt(9);  // nothing listens there

    EXPECT_EQ(exitCode(sh(kInit + " defaults")), 0);
    struct stat st {};
    ASSERT_EQ(::stat("/var/data/kivc", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    EXPECT_EQ(exitCode(sh(kInit + " status")), 3);
    EXPECT_EQ(exitCode(sh(kInit + " start")), 0);
    ASSERT_TRUE(sandbox::eventually([] { return onlyPidOf(kAgent) > 0 && onlyPidOf(kWatcher) > 0; }));
    const pid_t agent = onlyPidOf(kAgent);
    const pid_t watcher = onlyPidOf(kWatcher);
    EXPECT_EQ(exitCode(sh(kInit + " status")), 0);
    // The agent created its identity: it got past its start-up.
    EXPECT_TRUE(sandbox::eventually([] { return sandbox::exists("/var/data/kivc/settings.kivcGen"); }));

    // A second start finds both running.
    EXPECT_EQ(exitCode(sh(kInit + " start")), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(pidsOf(kAgent), std::set<pid_t>{agent});
    EXPECT_EQ(pidsOf(kWatcher), std::set<pid_t>{watcher});

    // The watchdog's call: a new agent, the same watchdog, and the script
    // returns (with the daemons' descriptors not held open by it).
    const auto restart = sh(kInit + " restart_kivc", 20s);
    EXPECT_EQ(exitCode(restart), 0);
    ASSERT_TRUE(sandbox::eventually([&] { return onlyPidOf(kAgent) > 0 && onlyPidOf(kAgent) != agent; }));
    EXPECT_EQ(pidsOf(kWatcher), std::set<pid_t>{watcher});

    EXPECT_EQ(exitCode(sh(kInit + " stop")), 0);
    EXPECT_TRUE(pidsOf(kAgent).empty());
    EXPECT_TRUE(pidsOf(kWatcher).empty());

    EXPECT_EQ(exitCode(sh(kInit + " restart")), 0);
    EXPECT_TRUE(sandbox::eventually([] { return onlyPidOf(kAgent) > 0 && onlyPidOf(kWatcher) > 0; }));

    // "status" succeeds only while both run.
    ASSERT_EQ(::kill(onlyPidOf(kWatcher), SIGKILL), 0);
    ASSERT_TRUE(sandbox::eventually([] { return pidsOf(kWatcher).empty(); }));
    EXPECT_EQ(exitCode(sh(kInit + " status")), 3);

    EXPECT_EQ(exitCode(sh(kInit + " frobnicate")), 1);
}

// The update tree as the agent leaves it in /tmp/module/ before it starts the
// re-install script.
void stageUpdate(const std::string& version) {
    sandbox::makeDirs("/tmp/module");
    const auto r = sandbox::run({"/bin/sh", "-c", std::string("tar -xzf ") + KIV_UPDATE_ARCHIVE + " -C /tmp/module"});
    ASSERT_EQ(exitCode(r), 0) << r.err;
    sandbox::writeFile("/tmp/module/kivclient/etc/version", version + "\n");
}

bool updateLeftovers() {
    DIR* tmp = ::opendir("/tmp");
    bool found = false;
    while (const dirent* e = ::readdir(tmp)) found = found || std::string(e->d_name).rfind("kivclient-update", 0) == 0;
    ::closedir(tmp);
    return found || sandbox::exists("/tmp/module/kivclient");
}

TEST_F(PackageE2E, ReInstallReplacesProgramsAndVersionKeepsTheRouterDataAndRestartsTheAgent) {
    preloadShim(2000);
    unpackAddOn();
    writeManufacturingRecord();
    pointAgentAt(9);
    const std::string settings = slurp(kHome + "/etc/settings");
    sandbox::writeFile(kHome + "/etc/whitelist", "MOD_KIVCLIENT_UPTIME=/usr/bin/uptime\n");
    sandbox::writeFile(kHome + "/etc/settings.kivcsys", slurp(kHome + "/etc/settings.kivcsys") + "# local\n");
    const std::string system = slurp(kHome + "/etc/settings.kivcsys");
    sandbox::writeFile("/var/data/kivc/settings.kivcGen", "MOD_KIVCLIENT_PASSWORD=Passw0rdPassw0r\nMOD_KIVCLIENT_UUID=U-42\n");
    sandbox::writeFile(kHome + "/etc/version", "0.9.0\n");
    // An older kivstatus, to see it replaced.
    sandbox::writeFile(kHome + "/kivstatus", "#!/bin/sh\necho old\n", 0755);
    ASSERT_EQ(exitCode(sh(kInit + " start")), 0);
    ASSERT_TRUE(sandbox::eventually([] { return onlyPidOf(kAgent) > 0 && onlyPidOf(kWatcher) > 0; }));
    const pid_t agent = onlyPidOf(kAgent);
    const pid_t watcher = onlyPidOf(kWatcher);

    stageUpdate("2.0.0");
    const std::string newStatus = slurp("/tmp/module/kivclient/kivstatus");
    const auto r = sh("/tmp/module/kivclient/etc/re-install", 30s);
    EXPECT_EQ(exitCode(r), 0) << r.err;

    EXPECT_EQ(slurp(kHome + "/etc/version"), "2.0.0\n");
    EXPECT_EQ(slurp(kHome + "/kivstatus"), newStatus);
    EXPECT_EQ(slurp(kHome + "/etc/settings"), settings);
    EXPECT_EQ(slurp(kHome + "/etc/settings.kivcsys"), system);
    EXPECT_EQ(slurp(kHome + "/etc/whitelist"), "MOD_KIVCLIENT_UPTIME=/usr/bin/uptime\n");
    EXPECT_EQ(slurp("/var/data/kivc/settings.kivcGen"), "MOD_KIVCLIENT_PASSWORD=Passw0rdPassw0r\nMOD_KIVCLIENT_UUID=U-42\n");
    EXPECT_FALSE(sandbox::exists(kHome + "/etc/re-install"));
    EXPECT_FALSE(updateLeftovers());

    EXPECT_TRUE(sandbox::eventually([&] { return onlyPidOf(kAgent) > 0 && onlyPidOf(kAgent) != agent; }));
    EXPECT_EQ(pidsOf(kWatcher), std::set<pid_t>{watcher});
    EXPECT_TRUE(syslog_->waitFor([](const sandbox::SyslogRecord& rec) {
        return rec.tag == "kivclient-update" && rec.message.find("2.0.0") != std::string::npos;
    }));
}

TEST_F(PackageE2E, ReInstallOfAPackageWithoutAgentChangesNothing) {
    unpackAddOn();
    const std::string agentBefore = slurp(kAgent);
    stageUpdate("2.0.0");
    sandbox::removeAll("/tmp/module/kivclient/kivclient");
    const auto r = sh("/tmp/module/kivclient/etc/re-install", 30s);
    EXPECT_EQ(exitCode(r), 1);
    EXPECT_EQ(slurp(kHome + "/etc/version"), std::string(KIV_PROJECT_VERSION) + "\n");
    EXPECT_EQ(slurp(kAgent), agentBefore);
    EXPECT_FALSE(updateLeftovers());
    EXPECT_TRUE(syslog_->waitFor(
        [](const sandbox::SyslogRecord& rec) { return rec.message.find("update failed") != std::string::npos; }));
}

#ifdef KIV_HAVE_SIMULATOR

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

ino_t inodeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The whole life of an installation against the platform simulator: first
// start and enrolment, the watchdog bringing a killed agent back, and a
// self-update ordered by the platform.
TEST_F(PackageE2E, InstalledAddOnEnrolsIsKeptAliveAndUpdatesItself) {
    kivsim::Options options;
    options.httpPort = 0;
    options.httpsPort = -1;
    options.dataDir = "/tmp/kivsim";
    options.fresh = true;
    options.persist = false;
    kivsim::Simulator sim(options);
    sim.start();
    const std::string updateName = std::string(KIV_UPDATE_ARCHIVE).substr(std::string(KIV_UPDATE_ARCHIVE).rfind('/') + 1);
    sandbox::installFile(KIV_UPDATE_ARCHIVE, "/tmp/kivsim/files/" + updateName, 0644);

    // Pauses of 50 ms: a check of the watchdog every 100 ms, a restart after
    // 1.3 s without heartbeat, while the agent checks in every 50 ms or so.
    preloadShim(50);
    unpackAddOn();
    writeManufacturingRecord();
    pointAgentAt(sim.httpPort());
    sandbox::writeFile(kHome + "/etc/version", "0.9.0\n");  // an older agent is installed
    ASSERT_EQ(exitCode(sh(kInit + " defaults")), 0);
    ASSERT_EQ(exitCode(sh(kInit + " start")), 0);

    const std::string device = "GB-LDN-DEV001";
    auto deviceState = [&]() -> kivsim::json {
        try {
            return sim.state().device(device);
        } catch (const std::exception&) {
            return kivsim::json::object();
        }
    };
    auto checkins = [&] { return deviceState().value("checkins", 0L); };

    // Enrolment: registered, logged in with the installed version, checking in.
    ASSERT_TRUE(sandbox::eventually([&] { return checkins() >= 3; }, 30s)) << sim.state().devicesSummary().dump();
    EXPECT_EQ(trimmed(deviceState()["orbletVersion"].get<std::string>()), "0.9.0");
    const std::string uuid = deviceState()["uuid"].get<std::string>();
    const std::string identity = slurp("/var/data/kivc/settings.kivcGen");
    EXPECT_NE(identity.find("MOD_KIVCLIENT_UUID=" + uuid), std::string::npos) << identity;
    const std::string settings = slurp(kHome + "/etc/settings");
    const pid_t watcher = onlyPidOf(kWatcher);
    ASSERT_GT(watcher, 0);
    const pid_t first = onlyPidOf(kAgent);
    ASSERT_GT(first, 0);

    // A hung or dead agent: the watchdog restarts it through the init script.
    const long loginsBefore = deviceState().value("logins", 0L);
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    EXPECT_TRUE(syslog_->waitFor(
        [&](const sandbox::SyslogRecord& r) {
            return r.tag == "kivwatcher" && r.pid == watcher && r.message == "Restarting KIVClient - 1 restarts.";
        },
        30s));
    ASSERT_TRUE(sandbox::eventually([&] { return onlyPidOf(kAgent) > 0 && onlyPidOf(kAgent) != first; }, 30s));
    const pid_t second = onlyPidOf(kAgent);
    EXPECT_TRUE(sandbox::eventually([&] { return deviceState().value("logins", 0L) > loginsBefore; }, 30s));
    EXPECT_EQ(pidsOf(kWatcher), std::set<pid_t>{watcher});

    // The platform orders the update with the project's self-update package.
    const ino_t agentFile = inodeOf(kAgent);
    const std::string appName = updateName.substr(0, updateName.size() - std::string(".tar.gz").size());
    sim.state().queueCommands(device, kivsim::json{{"name", "UpdateOrblet"},
                                                   {"instructions",
                                                    {{"InstallationName", "kivclient"},
                                                     {"InstallationGUID", "8d0c6a52-update"},
                                                     {"InstallationPackage", "{files}/" + updateName},
                                                     {"AppName", appName},
                                                     {"AppType", "tar.gz"}}}});
    ASSERT_TRUE(sandbox::eventually(
        [&] { return trimmed(deviceState()["orbletVersion"].get<std::string>()) == KIV_PROJECT_VERSION; }, 60s))
        << deviceState().dump();

    const kivsim::json reports = sim.state().reports(device);
    bool reported = false;
    for (const auto& r : reports) reported = reported || (r["command"] == "updateorblet" && r["success"] == true);
    EXPECT_TRUE(reported) << reports.dump();
    EXPECT_EQ(slurp(kHome + "/etc/version"), std::string(KIV_PROJECT_VERSION) + "\n");
    EXPECT_NE(inodeOf(kAgent), agentFile) << "the agent's program was not replaced";
    EXPECT_NE(onlyPidOf(kAgent), second);
    EXPECT_EQ(pidsOf(kWatcher), std::set<pid_t>{watcher});
    // Same device, same identity, same settings.
    EXPECT_EQ(deviceState()["uuid"], uuid);
    EXPECT_EQ(sim.state().devicesSummary().size(), 1U) << sim.state().devicesSummary().dump();
    EXPECT_EQ(slurp("/var/data/kivc/settings.kivcGen"), identity);
    EXPECT_EQ(slurp(kHome + "/etc/settings"), settings);
    EXPECT_TRUE(sandbox::eventually([] { return !updateLeftovers(); }));
    EXPECT_FALSE(sandbox::exists("/tmp/module/kivclient"));

    sh(kInit + " stop", 30s);
    sim.stop();
}

#endif  // KIV_HAVE_SIMULATOR

}  // namespace
