#include "simulator.h"

#include <sys/socket.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "admin_api.h"
#include "certificate.h"
#include "device_api.h"

namespace kivsim {

namespace {

namespace fs = std::filesystem;

constexpr size_t MAX_UPLOAD_BYTES = 64u << 20;

std::string joinPath(const std::string& dir, const std::string& name) { return (fs::path(dir) / name).string(); }

json readJsonFile(const std::string& path, const char* what) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error(std::string("cannot read the ") + what + " " + path);
    std::stringstream text;
    text << in.rdbuf();
    json j = parseJson(text.str());
    if (j.is_discarded()) throw std::runtime_error(std::string("the ") + what + " " + path + " is not valid JSON");
    return j;
}

// Every answer the server library makes by itself (bad request line, unknown
// method, payload too large) gets a JSON body like the simulator's own.
void configure(httplib::Server& server, ServerContext& ctx) {
    // Without the library's default SO_REUSEPORT, a second simulator on a
    // port in use fails to start instead of sharing the port with the first.
    server.set_socket_options([](int sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_payload_max_length(MAX_UPLOAD_BYTES);
    // Longer than a device's usual pause between check-ins, so that an idle
    // connection is not closed just as the device reuses it.
    server.set_keep_alive_timeout(120);
    server.set_error_handler(static_cast<httplib::Server::HandlerWithResponse>(
        [](const httplib::Request&, httplib::Response& res) {
            if (res.body.empty()) sendError(res, res.status, "HTTP status " + std::to_string(res.status));
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        sendError(res, 500, "internal error");
    });
    server.set_pre_routing_handler([&ctx](const httplib::Request&, httplib::Response&) {
        ctx.log.beginRequest();
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_logger([&ctx](const httplib::Request& req, const httplib::Response& res) {
        if (ctx.log.endRequest()) return;
        json entry = requestEntry(req, ctx.scheme);
        entry["endpoint"] = req.path;
        entry["status"] = res.status;
        ctx.log.append(std::move(entry));
        ctx.log.endRequest();
    });
    installDeviceApi(server, ctx);
    installAdminApi(server, ctx);
    auto unknown = [&ctx](const httplib::Request& req, httplib::Response& res) {
        json entry = requestEntry(req, ctx.scheme);
        entry["endpoint"] = req.path;
        sendError(res, 404, "no such path: " + req.path + " (devices use /api/devices/, admin is at /admin/)");
        entry["status"] = res.status;
        ctx.log.append(std::move(entry));
    };
    server.Get(".*", unknown);
    server.Post(".*", unknown);
    server.Put(".*", unknown);
    server.Patch(".*", unknown);
    server.Delete(".*", unknown);
    server.Options(".*", unknown);
}

}  // namespace

Simulator::Simulator(Options options) : options_(std::move(options)) {
    if (options_.filesDir.empty()) options_.filesDir = joinPath(options_.dataDir, "files");
    if (options_.logFile.empty()) options_.logFile = joinPath(options_.dataDir, "requests.jsonl");
}

Simulator::~Simulator() { stop(); }

void Simulator::start() {
    // A client that hangs up mid-answer must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    std::error_code ec;
    for (const auto& dir : {options_.dataDir, options_.filesDir, joinPath(options_.dataDir, "uploads")}) {
        fs::create_directories(dir, ec);
        if (!fs::is_directory(dir)) throw std::runtime_error("cannot create the directory " + dir);
    }
    log_ = std::make_unique<RequestLog>(options_.logFile, options_.console);

    bool loaded = false;
    if (options_.persist) {
        state_.setStateFile(joinPath(options_.dataDir, "state.json"));
        if (!options_.fresh) {
            try {
                loaded = state_.load();
            } catch (const std::exception& e) {
                throw std::runtime_error(std::string(e.what()) + " (start with --fresh to discard it)");
            }
        }
    }
    if (!options_.scenarioFile.empty()) {
        // A saved state already holds what the scenario set up the first time.
        if (loaded) {
            std::cerr << "kivsim: saved state loaded, scenario " << options_.scenarioFile << " not applied again\n";
        } else {
            try {
                state_.applyScenario(readJsonFile(options_.scenarioFile, "scenario"));
            } catch (const BadInput& e) {
                throw std::runtime_error("scenario " + options_.scenarioFile + ": " + e.what());
            }
        }
    }
    state_.save();

    const std::string uploadsDir = joinPath(options_.dataDir, "uploads");
    if (options_.httpPort >= 0) {
        httpContext_.reset(new ServerContext{state_, *log_, waiter_, options_.filesDir, uploadsDir, "http"});
        http_ = std::make_unique<httplib::Server>();
        configure(*http_, *httpContext_);
        serve(*http_, "http", options_.httpPort, httpPort_);
        httpThread_ = std::thread([this] { http_->listen_after_bind(); });
    }
    if (options_.httpsPort >= 0) {
        if (options_.certFile.empty() != options_.keyFile.empty()) {
            throw std::runtime_error("give both a certificate and its key, or neither");
        }
        if (options_.certFile.empty()) {
            options_.certFile = joinPath(options_.dataDir, "cert.pem");
            options_.keyFile = joinPath(options_.dataDir, "key.pem");
            writeSelfSignedCertificate(options_.certFile, options_.keyFile);
        }
        httpsContext_.reset(new ServerContext{state_, *log_, waiter_, options_.filesDir, uploadsDir, "https"});
        https_ = std::make_unique<httplib::SSLServer>(options_.certFile.c_str(), options_.keyFile.c_str());
        if (!https_->is_valid()) throw std::runtime_error("cannot use the certificate " + options_.certFile);
        configure(*https_, *httpsContext_);
        serve(*https_, "https", options_.httpsPort, httpsPort_);
        httpsThread_ = std::thread([this] { https_->listen_after_bind(); });
    }
    started_ = true;
    for (auto* s : {http_.get(), https_.get()}) {
        for (int i = 0; s != nullptr && !s->is_running() && i < 5000; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

void Simulator::serve(httplib::Server& server, const std::string& scheme, int wanted, int& bound) {
    if (wanted == 0) {
        bound = server.bind_to_any_port(options_.address);
    } else {
        bound = server.bind_to_port(options_.address, wanted) ? wanted : -1;
    }
    if (bound <= 0) {
        throw std::runtime_error("cannot listen for " + scheme + " on " + options_.address + ":" +
                                 std::to_string(wanted));
    }
}

void Simulator::stop() {
    waiter_.stopAll();
    if (http_) http_->stop();
    if (https_) https_->stop();
    for (int port : {httpPort_, httpsPort_}) {
        if (port > 0 && started_) closeConnections(port);
    }
    if (httpThread_.joinable()) httpThread_.join();
    if (httpsThread_.joinable()) httpsThread_.join();
    if (started_) state_.save();
    started_ = false;
}

}  // namespace kivsim
