// Runs the installed agent in the router sandbox against a test platform in
// this process, with the test shim (instant, recorded sleep/sync/reboot) and
// a syslog sink on /dev/log.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/test_platform.h"
#include "sandbox/sandbox.h"

namespace agentrun {

inline const std::string SHIM_LOG = "/run/kiv-shim.log";
constexpr int DAEMON_ERR = 3 * 8 + 3;     // LOG_DAEMON | LOG_ERR
constexpr int DAEMON_NOTICE = 3 * 8 + 5;  // LOG_DAEMON | LOG_NOTICE

class AgentRun {
public:
    // HTTPS when a certificate and key are given (keep them outside /tmp,
    // which is emptied here).
    explicit AgentRun(const std::string& cert = "", const std::string& key = "") : platform(cert, key) {
        sandbox::resetRouter();
        sandbox::removeAll(SHIM_LOG);
    }
    ~AgentRun() { stop(); }

    // Installs the agent for `layout` (its port set to the platform's) and
    // starts it. `sleepMs` is what each shimmed sleep() really waits.
    void start(sandbox::AgentLayout layout = {}, int sleepMs = 10, const std::vector<std::string>& args = {}) {
        layout.port = std::to_string(platform.port());
        sandbox::writeAgentLayout(layout, KIV_AGENT_BINARY);
        if (!extraSettings.empty()) {
            const std::string file = "/opt/kivclient/etc/settings";
            sandbox::writeFile(file, sandbox::readFile(file) + extraSettings);
        }
        if (prepare) prepare();
        std::vector<std::string> argv = {"/opt/kivclient/kivclient"};
        argv.insert(argv.end(), args.begin(), args.end());
        agent = std::make_unique<sandbox::Process>(
            argv, std::map<std::string, std::string>{{"LD_PRELOAD", KIV_SHIM_LIBRARY},
                                                      {"KIV_SHIM_LOG", SHIM_LOG},
                                                      {"KIV_SHIM_SLEEP_MS", std::to_string(sleepMs)}});
    }
    sandbox::RunResult stop() {
        sandbox::RunResult r;
        if (agent) r = agent->stop();
        agent.reset();
        return r;
    }

    std::vector<std::string> shimLog() const {
        std::vector<std::string> lines;
        std::istringstream in(sandbox::readFile(SHIM_LOG));
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    size_t requestCount(const std::string& endpoint) const { return platform.requests(endpoint).size(); }
    // Keeps reading syslog while it waits: the agent's syslog() blocks once
    // a few datagrams are queued unread at /dev/log.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds t = std::chrono::seconds(15)) {
        const auto deadline = std::chrono::steady_clock::now() + t;
        while (!condition()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            syslog.waitFor([](const sandbox::SyslogRecord&) { return false; }, std::chrono::milliseconds(5));
        }
        return true;
    }
    bool waitForRequests(const std::string& endpoint, size_t n, std::chrono::milliseconds t = std::chrono::seconds(15)) {
        return waitUntil([&] { return requestCount(endpoint) >= n; }, t);
    }
    int countMessage(const std::string& message, int priority = -1) {
        int n = 0;
        for (const auto& r : syslog.records()) {
            if (r.message == message && (priority < 0 || r.priority == priority)) ++n;
        }
        return n;
    }

    std::string extraSettings;      // lines added to the agent's settings file
    std::function<void()> prepare;  // runs after the layout is written, before the agent starts

    // Order matters: the agent stops before the sink and the server go.
    testplatform::TestPlatform platform;
    sandbox::SyslogSink syslog;
    std::unique_ptr<sandbox::Process> agent;
};

}  // namespace agentrun
