// Helpers for end-to-end tests that run inside run-in-sandbox.sh: the
// router's file layout, a syslog sink on /dev/log and child processes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sandbox {

// True inside run-in-sandbox.sh; tests skip themselves outside of it.
bool inside();
#define KIV_REQUIRE_SANDBOX()                                                   \
    do {                                                                        \
        if (!::sandbox::inside()) GTEST_SKIP() << "needs the router sandbox";   \
    } while (0)

// ---- files -------------------------------------------------------------
void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string readFile(const std::string& path);
bool exists(const std::string& path);
void removeAll(const std::string& path);
void makeDirs(const std::string& path, mode_t mode = 0755);
// Copies a file (a built program) to `path`, keeping it executable.
void installFile(const std::string& from, const std::string& to, mode_t mode = 0755);
// A fake router tool: a /bin/sh script that appends "<argv0> <args...>" to
// `recordFile` (one line per call) and then runs `body`.
void installFakeTool(const std::string& path, const std::string& recordFile, const std::string& body = "exit 0");

// Empties /opt, /tmp (but for trees the tests run from), /var/data,
// /var/log, /var/wifi and /etc/version: the router's state before a test.
void resetRouter();

// The agent's files for a device that talks to host:port over connType.
struct AgentLayout {
    std::string host = "127.0.0.1";
    std::string port = "8080";
    std::string connType = "http";
    std::string timeout = "10";
    std::string sleep = "0";
    std::string countryCode = "GB";
    std::string siteCode = "LDN";
    std::string devId = "DEV001";
    std::string macAddress = "00:11:22:33:44:55";
    std::string firmwareVersion = "7.1.2\n";
    std::string agentVersion = "1.0.0\n";
    bool withIdentity = false;  // write settings.kivcGen too
    std::string password = "Passw0rdPassw0r";
    std::string uuid;
};
// Writes /var/data/kivc, the four settings files, the version files and
// installs the agent binary at /opt/kivclient/kivclient.
void writeAgentLayout(const AgentLayout& layout, const std::string& agentBinary);

// ---- syslog ------------------------------------------------------------
struct SyslogRecord {
    int priority = -1;  // the <PRI> value: facility * 8 + severity
    std::string tag;    // "kivclient" of "kivclient[123]:"
    pid_t pid = -1;
    std::string message;
    std::string raw;
};

// Binds an AF_UNIX datagram socket at /dev/log and records what arrives.
class SyslogSink {
public:
    SyslogSink();
    ~SyslogSink();
    SyslogSink(const SyslogSink&) = delete;
    SyslogSink& operator=(const SyslogSink&) = delete;

    // Everything received so far, after every line sent before this call
    // has been read (a marker datagram is sent and awaited).
    const std::vector<SyslogRecord>& records();
    std::vector<std::string> messages();  // message texts only
    // Waits until a record satisfies `match` or the time-out passes.
    bool waitFor(const std::function<bool(const SyslogRecord&)>& match,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool waitForMessage(const std::string& message, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void clear();

private:
    void pump(int timeoutMs);
    int fd_ = -1;
    std::vector<SyslogRecord> records_;
};

// ---- debug traces ------------------------------------------------------
// The messages of an agent debug trace (its standard output with "-d", or the
// debug output file), each without its "Www Mmm dd hh:mm:ss yyyy : " head.
// A line without that head continues the message before it.
std::vector<std::string> debugMessages(const std::string& trace);
// Whether `line` starts with a 24-character ctime text followed by " : ".
bool hasDebugHead(const std::string& line);

// ---- child processes ---------------------------------------------------
struct RunResult {
    int status = -1;  // raw wait status; -1 when killed after the time-out
    bool timedOut = false;
    std::string out;  // standard output
    std::string err;  // standard error
};

// A started program; killed (SIGKILL) and reaped when destroyed.
class Process {
public:
    Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& extraEnv = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Sends `signal` and waits for the end (up to `timeout`).
    RunResult stop(int signal = 15, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for the program to end by itself.
    RunResult wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Output so far (it is collected into temporary files).
    std::string outputSoFar() const;

private:
    RunResult finish(std::chrono::milliseconds timeout);
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::string outPath_;
    std::string errPath_;
};

RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& extraEnv = {},
              std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Polls `condition` every 10 ms until it holds or the time-out passes.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace sandbox
