// checkin_bench AGENT_BINARY [CHECKINS [ROUNDS]]
//
// Inside the router sandbox: installs the agent, points it at a local
// keep-alive server that answers every check-in with NoActivity (sleep 0) and
// times a fixed number of check-ins after a warm-up, beside the same number of
// GETs of a minimal libcurl client (one handle, one connection, a process of
// its own) against the same server. Several rounds; prints each round's rates,
// CPU time per request and ratio, then the median ratio.
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <sstream>
#include <thread>
#include <vector>

#include "sandbox/sandbox.h"
#include "unit/mini_http_server.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int WARMUP = 200;

size_t collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// The reference: what any keep-alive client pays per request on this machine.
struct Rate {
    double perSecond = 0;
    double cpuMicrosPerRequest = 0;
};

double processCpuSeconds() {
    timespec ts {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// CPU time the kernel has accounted to `pid` (all threads), in seconds.
double cpuSecondsOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    in >> ns;
    return ns / 1e9;
}

Rate referenceRate(int port, int requests) {
    CURL* h = curl_easy_init();
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/api/devices/checkin?deviceuuid=REF&token=tok";
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
    std::string body;
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    for (int i = 0; i < WARMUP; ++i) curl_easy_perform(h);
    const double cpuStart = processCpuSeconds();
    const auto start = Clock::now();
    for (int i = 0; i < requests; ++i) {
        body.clear();
        if (curl_easy_perform(h) != CURLE_OK) {
            std::fprintf(stderr, "reference client failed\n");
            std::exit(1);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = processCpuSeconds() - cpuStart;
    curl_easy_cleanup(h);
    return {requests / seconds, cpu * 1e6 / requests};
}

Rate referenceProcess(const char* self, int port, int requests) {
    const sandbox::RunResult r =
        sandbox::run({self, "--reference", std::to_string(port), std::to_string(requests)}, {}, std::chrono::seconds(300));
    if (r.status != 0) {
        std::fprintf(stderr, "reference client failed: %s\n", r.err.c_str());
        std::exit(1);
    }
    Rate rate;
    std::istringstream(r.out) >> rate.perSecond >> rate.cpuMicrosPerRequest;
    return rate;
}

}  // namespace

int main(int argc, char** argv) {
    // The reference client runs as a process of its own, as the agent does:
    // checkin_bench --reference PORT REQUESTS prints its rate.
    if (argc == 4 && std::string(argv[1]) == "--reference") {
        curl_global_init(CURL_GLOBAL_ALL);
        const Rate r = referenceRate(std::atoi(argv[2]), std::atoi(argv[3]));
        std::printf("%f %f\n", r.perSecond, r.cpuMicrosPerRequest);
        return 0;
    }
    if (argc < 2 || !sandbox::inside()) {
        std::fprintf(stderr, "usage (inside run-in-sandbox.sh): %s AGENT_BINARY [CHECKINS [ROUNDS]]\n", argv[0]);
        return 2;
    }
    const int checkins = argc > 2 ? std::atoi(argv[2]) : 5000;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
    curl_global_init(CURL_GLOBAL_ALL);
    sandbox::resetRouter();

    // One agent window at a time: the counters are reset before each start.
    std::atomic<int> seen {0};
    std::atomic<Clock::rep> startAt {0};
    std::atomic<Clock::rep> endAt {0};
    std::atomic<pid_t> agentPid {0};
    std::atomic<double> cpuAtStart {0};
    std::atomic<double> cpuAtEnd {0};
    minihttp::Server server([&](const std::string& target) -> minihttp::Answer {
        if (target.rfind("/api/devices/login", 0) == 0) {
            return {200, R"({"ResponseMessage":"Success","AuthenticationToken":"tok"})"};
        }
        if (target.rfind("/api/devices/checkin", 0) == 0) {
            if (target.find("deviceuuid=REF") != std::string::npos) return {200, "\"NoActivity\""};
            const int n = ++seen;
            if (n == WARMUP) {
                cpuAtStart = cpuSecondsOf(agentPid);
                startAt = Clock::now().time_since_epoch().count();
            }
            if (n == WARMUP + checkins) {
                endAt = Clock::now().time_since_epoch().count();
                cpuAtEnd = cpuSecondsOf(agentPid);
            }
            return {200, "\"NoActivity\""};
        }
        return {404, "{}"};
    });

    // The agent's syslog lines are read as a syslog daemon would; unread,
    // they would block it.
    sandbox::SyslogSink syslog;
    std::atomic<bool> draining {true};
    std::thread drain([&] {
        while (draining) syslog.waitFor([](const sandbox::SyslogRecord&) { return false; }, std::chrono::milliseconds(50));
    });

    sandbox::AgentLayout layout;
    layout.port = std::to_string(server.port());
    layout.withIdentity = true;
    layout.uuid = "U1";
    layout.sleep = "0";
    sandbox::writeAgentLayout(layout, argv[1]);
    // KIV_BENCH_WRAPPER, e.g. "/usr/bin/perf record -g -o /run/perf.data", runs
    // the agent under a profiler.
    std::vector<std::string> argvAgent;
    if (const char* wrapper = std::getenv("KIV_BENCH_WRAPPER")) {
        std::istringstream words(wrapper);
        for (std::string w; words >> w;) argvAgent.push_back(w);
    }
    argvAgent.push_back("/opt/kivclient/kivclient");

    // Rounds of reference and agent, one after the other, so that a busy
    // machine weighs on both alike; the median ratio is the result.
    std::vector<double> ratios;
    std::printf("%-6s %14s %14s %7s %16s\n", "round", "agent/s", "reference/s", "ratio", "CPU us agent/ref");
    for (int round = 1; round <= rounds; ++round) {
        const Rate reference = referenceProcess(argv[0], server.port(), checkins);
        seen = 0;
        startAt = 0;
        endAt = 0;
        {
            sandbox::Process agent(argvAgent);
            agentPid = agent.pid();
            if (!sandbox::eventually([&] { return endAt != 0; }, std::chrono::seconds(300))) {
                std::fprintf(stderr, "agent reached only %d check-ins\n", seen.load());
                return 1;
            }
            agent.stop();
        }
        const double agentRate = checkins / std::chrono::duration<double>(Clock::duration(endAt - startAt)).count();
        const double agentCpu = (cpuAtEnd - cpuAtStart) * 1e6 / checkins;
        ratios.push_back(agentRate / reference.perSecond);
        std::printf("%-6d %14.0f %14.0f %7.2f %8.1f/%-7.1f\n", round, agentRate, reference.perSecond, ratios.back(),
                    agentCpu, reference.cpuMicrosPerRequest);
    }
    draining = false;
    drain.join();

    std::sort(ratios.begin(), ratios.end());
    std::printf("check-ins per round: %d after %d warm-up; reference: one libcurl handle, one connection\n", checkins,
                WARMUP);
    std::printf("median ratio agent/reference: %.2f (target >= 0.70)\n", ratios[ratios.size() / 2]);
    return 0;
}
