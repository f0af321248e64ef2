// A scriptable platform for tests: an HTTP (or HTTPS) server on loopback in
// the test process. Each endpoint below /api/devices/ gets a handler; every
// request is recorded with its raw query and uploaded parts.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testplatform {

struct Request {
    std::string method;
    std::string endpoint;  // "checkin" of /api/devices/checkin
    std::string target;    // path and raw query as sent: "/api/devices/checkin?deviceuuid=..."
    std::string query;     // raw query string without "?"
    std::map<std::string, std::string> params;  // decoded query parameters
    std::string uploadName;      // multipart part name, if any
    std::string uploadFileName;  // its file name
    std::string uploadContentType;
    std::string uploadContent;
    int remotePort = -1;  // client side of the TCP connection: equal ports, same connection
};

struct Reply {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
};

using Handler = std::function<Reply(const Request&)>;

class TestPlatform {
public:
    // HTTPS when certFile/keyFile are given.
    explicit TestPlatform(const std::string& certFile = "", const std::string& keyFile = "");
    ~TestPlatform();
    TestPlatform(const TestPlatform&) = delete;
    TestPlatform& operator=(const TestPlatform&) = delete;

    int port() const { return port_; }
    // Handler for one endpoint; replaces an earlier one.
    void on(const std::string& endpoint, Handler handler);
    // Fixed answers, used in order; the last one repeats.
    void answer(const std::string& endpoint, std::vector<Reply> replies);
    // Serves `content` at http://127.0.0.1:port/files/<name>.
    void serveFile(const std::string& name, const std::string& content);
    std::string fileUrl(const std::string& name) const;

    std::vector<Request> requests() const;
    std::vector<Request> requests(const std::string& endpoint) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

// Writes a self-signed certificate and key for 127.0.0.1/localhost
// (openssl command line) into `dir`; returns {cert, key}.
std::pair<std::string, std::string> makeSelfSignedCertificate(const std::string& dir);

}  // namespace testplatform
