// kivsim: a small management platform to develop, test and demonstrate the
// agent against. See the README's simulator section.
#include <pthread.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>

#include "simulator.h"

namespace {

const char* const USAGE =
    "usage: kivsim [options]\n"
    "  --address ADDR       address to listen on (default 127.0.0.1)\n"
    "  --http-port N        HTTP port (default 8080; 0 = any free port; off = no HTTP)\n"
    "  --https-port N       HTTPS port (default 8443; 0 = any free port; off = no HTTPS)\n"
    "  --data-dir DIR       state.json, uploads/, requests.jsonl, generated certificate (default ./kivsim-data)\n"
    "  --files DIR          directory served below /files/ (default DATA-DIR/files)\n"
    "  --cert FILE --key FILE   certificate and key for HTTPS (default: self-signed, generated at start)\n"
    "  --log FILE           JSON-lines request log (default DATA-DIR/requests.jsonl; - = standard output)\n"
    "  --scenario FILE      preload devices, commands and faults from a JSON scenario\n"
    "  --fresh              start empty, ignoring a saved state\n"
    "  --no-save            keep the state in memory only\n"
    "  --port-file FILE     write {\"http\":N,\"https\":N} once listening\n"
    "  --quiet              no readable line per device request on standard output\n";

int portArg(const std::string& value) {
    if (value == "off") return -1;
    try {
        size_t used = 0;
        const int port = std::stoi(value, &used);
        if (used == value.size() && port >= 0 && port <= 65535) return port;
    } catch (const std::exception&) {
    }
    throw std::invalid_argument("not a port: " + value);
}

}  // namespace

int main(int argc, char** argv) {
    kivsim::Options options;
    options.console = true;
    std::string portFile;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
                return argv[++i];
            };
            if (arg == "--address") options.address = value();
            else if (arg == "--http-port") options.httpPort = portArg(value());
            else if (arg == "--https-port") options.httpsPort = portArg(value());
            else if (arg == "--data-dir") options.dataDir = value();
            else if (arg == "--files") options.filesDir = value();
            else if (arg == "--cert") options.certFile = value();
            else if (arg == "--key") options.keyFile = value();
            else if (arg == "--log") options.logFile = value();
            else if (arg == "--scenario") options.scenarioFile = value();
            else if (arg == "--port-file") portFile = value();
            else if (arg == "--fresh") options.fresh = true;
            else if (arg == "--no-save") options.persist = false;
            else if (arg == "--quiet") options.console = false;
            else if (arg == "--help" || arg == "-h") {
                std::cout << USAGE;
                return 0;
            } else {
                throw std::invalid_argument("unknown option " + arg);
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "kivsim: " << e.what() << "\n" << USAGE;
        return 2;
    }

    // The servers' threads inherit this mask, so the signals reach sigwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    kivsim::Simulator sim(options);
    try {
        sim.start();
    } catch (const std::exception& e) {
        std::cerr << "kivsim: " << e.what() << "\n";
        return 1;
    }
    const std::string host = options.address.find(':') != std::string::npos ? "[" + options.address + "]"
                                                                             : options.address;
    std::cout << "kivsim: platform simulator ready";
    if (sim.httpPort() > 0) std::cout << "  http://" << host << ":" << sim.httpPort() << "/api/devices/";
    if (sim.httpsPort() > 0) std::cout << "  https://" << host << ":" << sim.httpsPort() << "/api/devices/";
    std::cout << "  admin: /admin/  data: " << sim.options().dataDir << std::endl;
    if (!portFile.empty()) {
        const std::string tmp = portFile + ".tmp";
        std::ofstream(tmp) << kivsim::dumpJson({{"http", sim.httpPort()}, {"https", sim.httpsPort()}}) << "\n";
        std::rename(tmp.c_str(), portFile.c_str());
    }

    int received = 0;
    sigwait(&signals, &received);
    std::cout << "kivsim: " << strsignal(received) << ", stopping" << std::endl;
    sim.stop();
    return 0;
}
