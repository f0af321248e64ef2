// kivwatcher at its real path in the router sandbox, with the test shim making
// its 300-second pauses short and recording them, and a fake agent init script
// that records how it was started.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sandbox/sandbox.h"

namespace {

using namespace std::chrono_literals;

const char* const kWatcher = "/opt/kivclient/kivwatcher";
const char* const kInit = "/opt/kivclient/etc/init";
const char* const kSettings = "/opt/kivclient/etc/settings";
const char* const kHeartbeat = "/tmp/watcher";
const char* const kShimLog = "/tmp/shim.log";
const char* const kInitRecord = "/tmp/init.record";

// One run of the fake init script as it recorded itself.
struct InitRun {
    std::vector<std::string> args;
    std::string fd0, fd1, fd2;            // what the script's own 0-2 point at
    std::vector<std::string> descriptors;  // "N -> target" of a child of the script
    int checksBefore = -1;                 // 300-second pauses made before it started
    int checksAfter = -1;                  // ... and when it ended
};

// Writes down the arguments, what descriptors 0-2 point at, every descriptor
// a child inherits (ls adds one of its own, its listing of /proc/self/fd) and
// the number of pauses the watchdog has made, then takes a short while.
const char* const kFakeInit = R"(#!/bin/sh
fd0=$(readlink /proc/$$/fd/0)
fd1=$(readlink /proc/$$/fd/1)
fd2=$(readlink /proc/$$/fd/2)
fds=$(ls -l /proc/self/fd | grep -- ' -> ' | sed 's/.* \([0-9]*\) -> /\1 -> /')
before=$(grep -c '^sleep 300$' "$KIV_SHIM_LOG")
sleep 0.1
after=$(grep -c '^sleep 300$' "$KIV_SHIM_LOG")
{
  echo "run"
  echo "argc $#"
  for a in "$@"; do echo "arg $a"; done
  echo "fd0 $fd0"
  echo "fd1 $fd1"
  echo "fd2 $fd2"
  echo "$fds" | sed 's/^/fd /'
  echo "before $before"
  echo "after $after"
  echo "end"
} >> /tmp/init.record
)";

std::vector<InitRun> initRuns() {
    std::vector<InitRun> runs;
    std::istringstream in(sandbox::readFile(kInitRecord));
    std::string line;
    InitRun cur;
    bool complete = false;
    while (std::getline(in, line)) {
        const auto space = line.find(' ');
        const std::string word = line.substr(0, space);
        const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        if (word == "run") cur = InitRun(), complete = false;
        else if (word == "arg") cur.args.push_back(rest);
        else if (word == "fd0") cur.fd0 = rest;
        else if (word == "fd1") cur.fd1 = rest;
        else if (word == "fd2") cur.fd2 = rest;
        else if (word == "fd") cur.descriptors.push_back(rest);
        else if (word == "before") cur.checksBefore = std::stoi(rest);
        else if (word == "after") cur.checksAfter = std::stoi(rest);
        else if (word == "end") runs.push_back(cur), complete = true;
    }
    (void)complete;
    return runs;
}

int pausesOf(unsigned int seconds) {
    std::istringstream in(sandbox::readFile(kShimLog));
    std::string line;
    int n = 0;
    const std::string wanted = "sleep " + std::to_string(seconds);
    while (std::getline(in, line)) n += line == wanted ? 1 : 0;
    return n;
}

class WatcherE2E : public ::testing::Test {
protected:
    void SetUp() override {
        KIV_REQUIRE_SANDBOX();
        sandbox::resetRouter();
        sandbox::installFile(KIV_WATCHER_BINARY, kWatcher);
        sandbox::writeFile(kInit, kFakeInit, 0755);
        syslog_ = std::make_unique<sandbox::SyslogSink>();
    }

    // Starts the watchdog the way a careless starter would: with two
    // inheritable descriptors of its own open, which the init script must not
    // see. `pauseMs` is the real time each of its sleep() calls takes.
    void startWatcher(int pauseMs = 5) {
        watcher_ = std::make_unique<sandbox::Process>(
            std::vector<std::string>{"/bin/sh", "-c",
                                     "exec 7</dev/zero 8>>/tmp/leaked; export LD_PRELOAD=\"$SHIM\"; exec " +
                                         std::string(kWatcher)},
            std::map<std::string, std::string>{{"SHIM", KIV_SHIM_LIBRARY},
                                               {"KIV_SHIM_LOG", kShimLog},
                                               {"KIV_SHIM_SLEEP_MS", std::to_string(pauseMs)}});
    }

    std::vector<sandbox::SyslogRecord> watcherLines() {
        std::vector<sandbox::SyslogRecord> out;
        for (const auto& r : syslog_->records())
            if (r.tag == "kivwatcher") out.push_back(r);
        return out;
    }

    std::unique_ptr<sandbox::SyslogSink> syslog_;
    std::unique_ptr<sandbox::Process> watcher_;
};

TEST_F(WatcherE2E, WithoutHeartbeatRestartsTheAgentEveryThirteenChecks) {
    sandbox::writeFile(kSettings, "MOD_KIVCLIENT_HOSTEDPLATFORM=127.0.0.1\nMOD_KIVCLIENT_SLEEP=7\n");
    startWatcher();
    ASSERT_TRUE(sandbox::eventually([] { return initRuns().size() >= 3; }, 30s)) << sandbox::readFile(kShimLog);
    watcher_->stop(9);

    const auto runs = initRuns();
    // The first check is made at start, so the 13th check follows the 12th
    // pause; every restart resets the count.
    const int expectedPauses[] = {12, 25, 38};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE("restart " + std::to_string(i + 1));
        const InitRun& run = runs[i];
        EXPECT_EQ(run.args, std::vector<std::string>{"restart_kivc"});
        EXPECT_EQ(run.checksBefore, expectedPauses[i]);
        EXPECT_EQ(run.checksAfter, run.checksBefore) << "the watchdog went on while the script ran";
        EXPECT_EQ(run.fd0, "/dev/null");
        EXPECT_EQ(run.fd1, "/dev/null");
        EXPECT_EQ(run.fd2, "/dev/null");
        // A child of the script inherits 0 and 2 unchanged and 1 as the pipe
        // of the command substitution; ls itself opens its directory.
        int own = 0;
        for (const auto& d : run.descriptors) {
            const std::string fd = d.substr(0, d.find(' '));
            const std::string target = d.substr(d.find("-> ") + 3);
            if (fd == "0" || fd == "2") EXPECT_EQ(target, "/dev/null") << d;
            else if (fd == "1") EXPECT_EQ(target.rfind("pipe:", 0), 0U) << d;
            else if (target.rfind("/proc/", 0) == 0 && target.size() > 3 && target.substr(target.size() - 3) == "/fd") ++own;
            else ADD_FAILURE() << "descriptor of the watchdog left open: " << d;
        }
        EXPECT_EQ(own, 1);
    }

    // The extra sleep of the settings follows every 300-second pause.
    EXPECT_GE(pausesOf(300), 38);
    EXPECT_GE(pausesOf(7), pausesOf(300) - 1);

    const auto lines = watcherLines();
    ASSERT_GE(lines.size(), 3U);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[i].message, "Restarting KIVClient - " + std::to_string(i + 1) + " restarts.");
        EXPECT_EQ(lines[i].priority, (3 << 3) | 5) << "LOG_DAEMON | LOG_NOTICE";
        EXPECT_EQ(lines[i].pid, watcher_->pid());
    }
}

TEST_F(WatcherE2E, HeartbeatIsDeletedAndTheRestartComesThirteenChecksAfterTheLastOne) {
    sandbox::writeFile(kHeartbeat, "OK");
    startWatcher();
    ASSERT_TRUE(sandbox::eventually([] { return !sandbox::exists(kHeartbeat); }, 10s));
    ASSERT_TRUE(sandbox::eventually([] { return initRuns().size() >= 1; }, 30s));
    watcher_->stop(9);
    // Found at the first check; the 13th check after it misses for the 13th time.
    EXPECT_EQ(initRuns()[0].checksBefore, 13);
    EXPECT_EQ(initRuns()[0].args, std::vector<std::string>{"restart_kivc"});
}

TEST_F(WatcherE2E, NoRestartWhileTheHeartbeatKeepsComing) {
    sandbox::writeFile(kSettings, "MOD_KIVCLIENT_SLEEP=0\n");
    startWatcher(20);
    // Stand in for the agent: put the heartbeat back whenever the watchdog has
    // taken it, for three times as many checks as a restart needs.
    int beats = 0;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (pausesOf(300) < 40 && std::chrono::steady_clock::now() < deadline) {
        if (!sandbox::exists(kHeartbeat)) {
            sandbox::writeFile(kHeartbeat, "OK");
            ++beats;
        }
        std::this_thread::sleep_for(1ms);
    }
    watcher_->stop(9);
    ASSERT_GE(pausesOf(300), 40);
    EXPECT_GE(beats, 30) << "the watchdog should take the heartbeat at every check";
    EXPECT_TRUE(initRuns().empty());
    EXPECT_TRUE(watcherLines().empty());
}

// The extra sleep as the running watchdog takes it from the settings file.
struct ExtraSleepCase {
    const char* settings;  // nullptr: no settings file
    unsigned int pause;
};

void PrintTo(const ExtraSleepCase& c, std::ostream* os) {
    *os << "sleep " << c.pause << " from " << (c.settings != nullptr ? c.settings : "no settings file");
}

class WatcherExtraSleep : public WatcherE2E, public ::testing::WithParamInterface<ExtraSleepCase> {};

TEST_P(WatcherExtraSleep, FollowsEveryBasePause) {
    if (GetParam().settings != nullptr) sandbox::writeFile(kSettings, GetParam().settings);
    startWatcher();
    ASSERT_TRUE(sandbox::eventually([] { return pausesOf(300) >= 3; }, 10s));
    watcher_->stop(9);
    std::istringstream in(sandbox::readFile(kShimLog));
    std::string first, second;
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_EQ(first, "sleep 300");
    EXPECT_EQ(second, "sleep " + std::to_string(GetParam().pause));
}

INSTANTIATE_TEST_SUITE_P(Settings, WatcherExtraSleep,
                         ::testing::Values(ExtraSleepCase{"# agent settings\nmod_kivclient_sleep=\"45\"\r\n", 45},
                                           ExtraSleepCase{"MOD_KIVCLIENT_SLEEP=-60\n", 0},
                                           ExtraSleepCase{nullptr, 0}));

}  // namespace
