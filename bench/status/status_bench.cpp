// kivstatus "all" against a status script that answers at once, beside the
// same nine script runs made by a shell loop, measured in the same run.
// Runs inside the router sandbox (kivstatus's paths are fixed):
//   run-in-sandbox.sh status_bench KIVSTATUS_BINARY [ROUNDS]
// Prints both sides and their ratio; exits 1 when kivstatus adds more than
// 20% over the bare script runs (median of the per-round ratios).
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

const char* const KIVSTATUS = "/opt/kivclient/kivstatus";
const char* const SCRIPT = "/opt/kivclient/scripts/status.sh";
constexpr double ALLOWED = 1.20;

// Answers from shell built-ins only: the script costs its start and nothing more.
const char* const SCRIPT_TEXT = R"(#!/bin/sh
case "$1" in
mobile) echo '{"Cell":"0A1B2C3","LAC":"1F40","PLMN":"22801","Operator":"Swisscom","Technology":"LTE","Registration":"Home Network","Channel":1300,"Signal Strength":-71,"Signal Quality":-9}' ;;
mwan) echo '{"IP Address":"10.64.12.7","IPv6 Address":"Unassigned","SIM Card":"Primary"}' ;;
module) echo '{"Manufacturer":"Quectel","Model":"EC25-E","Revision":"EC25EFAR06A06M4G"}' ;;
"lan 1") echo '{"IP Address":"192.168.1.1/24","IPv6 Address":"fe80::1/64","MAC Address":"00:0A:14:81:00:01","Bridged":"no","Rx Data":"12.3 MB","Tx Data":"4.1 MB"}' ;;
"lan 2") echo '{"IP Address":"Unassigned","MAC Address":"00:0A:14:81:00:02","Bridged":"yes","Rx Data":"0 B","Tx Data":"0 B"}' ;;
"lan 3") echo '{"MAC Address":"00:00:00:00:00:00"}' ;;
sys) echo '{"Firmware Version":"6.3.10","Serial Number":"1234567890","Profile":"Standard","Supply Voltage":24.1,"Temperature":41,"Time":"2024-05-02 10:15:00","Uptime":"3 days"}' ;;
ports) echo '{"Binary Input 0":"off","Binary Input 1":"on","Binary Output":"off","Expansion Port 1":"RS232"}' ;;
wifi) echo '{"IP Address":"192.168.2.1/24","MAC Address":"00:0A:14:81:00:10","Rx Data":"1.0 GB","Tx Data":"200 KB"}' ;;
*) exit 1 ;;
esac
)";

// The nine runs of "all", in kivstatus's order, their output read and dropped.
const char* const LOOP =
    "for q in mobile mwan module sys ports 'lan 1' 'lan 2' 'lan 3' wifi; do "
    "/opt/kivclient/scripts/status.sh \"$q\" >/dev/null; done";

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out || ::chmod(path.c_str(), mode) != 0) {
        std::fprintf(stderr, "status_bench: cannot write %s\n", path.c_str());
        std::exit(2);
    }
}

struct Cost {
    double wall = 0;  // seconds from start to reaped
    double cpu = 0;   // user + system seconds of the program and the children it waited for
};

double seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

// Runs argv with its output sent to /dev/null.
Cost timedRun(const std::vector<const char*>& argv) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (pid == 0) {
        if (std::freopen("/dev/null", "w", stdout) == nullptr) ::_exit(127);
        ::execv(argv[0], const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    int status = 0;
    rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0) {
    }
    Cost cost;
    cost.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cost.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    if (status != 0) {
        std::fprintf(stderr, "status_bench: %s ended with status %d\n", argv[0], status);
        std::exit(2);
    }
    return cost;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::vector<double> walls(const std::vector<Cost>& costs) {
    std::vector<double> v;
    for (const Cost& c : costs) v.push_back(c.wall);
    return v;
}

std::vector<double> cpus(const std::vector<Cost>& costs) {
    std::vector<double> v;
    for (const Cost& c : costs) v.push_back(c.cpu);
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    const char* inSandbox = std::getenv("KIV_SANDBOX");
    if (argc < 2 || inSandbox == nullptr || std::string(inSandbox) != "1") {
        std::fprintf(stderr, "usage: run-in-sandbox.sh %s KIVSTATUS_BINARY [ROUNDS]\n", argv[0]);
        return 2;
    }
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 300;

    ::mkdir("/opt/kivclient", 0755);
    ::mkdir("/opt/kivclient/scripts", 0755);
    std::ifstream binary(argv[1], std::ios::binary);
    writeFile(KIVSTATUS, std::string(std::istreambuf_iterator<char>(binary), {}), 0755);
    writeFile(SCRIPT, SCRIPT_TEXT, 0755);

    const std::vector<const char*> kivstatus = {KIVSTATUS, "--status", "all", nullptr};
    const std::vector<const char*> loop = {"/bin/sh", "-c", LOOP, nullptr};

    for (int i = 0; i < 20; ++i) {  // warm caches and the page cache
        timedRun(kivstatus);
        timedRun(loop);
    }
    // Interleaved, so that load from elsewhere hits both sides alike.
    std::vector<Cost> withKivstatus;
    std::vector<Cost> bare;
    for (int i = 0; i < rounds; ++i) {
        withKivstatus.push_back(timedRun(kivstatus));
        bare.push_back(timedRun(loop));
    }
    // Each round's ratio, so that a load change between rounds cancels out.
    std::vector<double> ratios;
    for (int i = 0; i < rounds; ++i) ratios.push_back(withKivstatus[i].wall / bare[i].wall);
    const double ratio = median(ratios);

    std::printf("rounds: %d, the two sides interleaved\n", rounds);
    std::printf("%-30s %12s %12s %12s\n", "", "wall median", "wall min", "cpu median");
    const auto row = [](const char* name, const std::vector<Cost>& costs) {
        const auto w = walls(costs);
        std::printf("%-30s %9.3f ms %9.3f ms %9.3f ms\n", name, median(w) * 1e3,
                    *std::min_element(w.begin(), w.end()) * 1e3, median(cpus(costs)) * 1e3);
    };
    row("kivstatus --status all", withKivstatus);
    row("nine script runs, shell loop", bare);
    const auto kw = walls(withKivstatus);
    const auto bw = walls(bare);
    std::printf("kivstatus / bare runs: round ratio median %.3f, wall min %.3f, cpu median %.3f\n", ratio,
                *std::min_element(kw.begin(), kw.end()) / *std::min_element(bw.begin(), bw.end()),
                median(cpus(withKivstatus)) / median(cpus(bare)));
    std::printf("allowed %.2f (round ratio median): %s\n", ALLOWED, ratio <= ALLOWED ? "PASS" : "FAIL");
    return ratio <= ALLOWED ? 0 : 1;
}
