// The simulator as one object: its state, an HTTP and an HTTPS server that
// share it, the request log and the data directory. main() and the tests
// both run it through this class.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "platform_state.h"
#include "server_context.h"

namespace kivsim {

struct Options {
    std::string address = "127.0.0.1";
    int httpPort = 8080;    // 0: any free port; -1: no HTTP server
    int httpsPort = 8443;   // 0: any free port; -1: no HTTPS server
    std::string dataDir = "kivsim-data";  // state.json, uploads/, requests.jsonl, generated certificate
    std::string filesDir;   // served below /files/; default: <dataDir>/files
    std::string certFile;   // both empty: a self-signed certificate is generated into dataDir
    std::string keyFile;
    std::string logFile;    // default: <dataDir>/requests.jsonl; "-": standard output
    std::string scenarioFile;
    bool fresh = false;     // ignore a saved state
    bool persist = true;    // keep <dataDir>/state.json up to date
    bool console = false;   // one readable line per device request on standard output
};

class Simulator {
public:
    explicit Simulator(Options options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Loads state and scenario, binds and starts serving. Throws
    // std::runtime_error (bad files, ports in use) before serving anything.
    void start();
    // Stops both servers, ends injected delays and saves the state.
    void stop();

    int httpPort() const { return httpPort_; }
    int httpsPort() const { return httpsPort_; }
    const Options& options() const { return options_; }
    PlatformState& state() { return state_; }
    RequestLog& log() { return *log_; }

private:
    void serve(httplib::Server& server, const std::string& scheme, int wanted, int& bound);

    Options options_;
    PlatformState state_;
    Waiter waiter_;
    std::unique_ptr<RequestLog> log_;
    std::unique_ptr<ServerContext> httpContext_, httpsContext_;
    std::unique_ptr<httplib::Server> http_, https_;
    std::thread httpThread_, httpsThread_;
    int httpPort_ = -1;
    int httpsPort_ = -1;
    bool started_ = false;
};

}  // namespace kivsim
