// A small client for the simulator's two faces in tests: the device
// endpoints (as a router would call them) and the admin interface.
#pragma once

#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

namespace simtest {

using json = nlohmann::json;

struct Answer {
    int status = -1;  // -1: no answer (connection failed or dropped)
    std::string body;
    std::string contentType;
    json asJson() const { return json::parse(body, nullptr, false); }
};

class SimClient {
public:
    SimClient(const std::string& host, int port, bool https = false)
        : client_(std::string(https ? "https://" : "http://") + host + ":" + std::to_string(port)) {
        client_.enable_server_certificate_verification(false);
        client_.set_connection_timeout(5);
        client_.set_read_timeout(20);
    }

    httplib::Client& raw() { return client_; }

    Answer get(const std::string& target) { return wrap(client_.Get(target.c_str())); }
    Answer device(const std::string& endpointAndQuery) { return get("/api/devices/" + endpointAndQuery); }
    Answer admin(const std::string& method, const std::string& path, const std::string& body = "") {
        const std::string target = "/admin/" + path;
        if (method == "GET") return wrap(client_.Get(target.c_str()));
        if (method == "DELETE") return wrap(client_.Delete(target.c_str()));
        if (method == "PUT") return wrap(client_.Put(target.c_str(), body, "application/json"));
        return wrap(client_.Post(target.c_str(), body, "application/json"));
    }
    json adminJson(const std::string& method, const std::string& path, const json& body = json()) {
        return admin(method, path, body.is_null() ? "" : body.dump()).asJson();
    }
    Answer upload(const std::string& endpointAndQuery, const std::string& fileName, const std::string& content) {
        httplib::MultipartFormDataItems items = {{"file", content, fileName, "application/octet-stream"}};
        return wrap(client_.Post(("/api/devices/" + endpointAndQuery).c_str(), items));
    }

    // Registers a device and returns its uuid ("" when refused).
    std::string registerDevice(const std::string& cc, const std::string& site, const std::string& id,
                               const std::string& password) {
        const json j = device("register?countrycode=" + cc + "&sitecode=" + site + "&id=" + id + "&password=" +
                              password + "&firmware=7.1&macaddress=00:11:22:33:44:55")
                           .asJson();
        return j.value("DeviceUUID", "");
    }
    std::string login(const std::string& uuid, const std::string& password) {
        const json j =
            device("login?deviceuuid=" + uuid + "&password=" + password + "&firmware=7.1&orbletversion=1.0").asJson();
        return j.value("AuthenticationToken", "");
    }
    std::string checkin(const std::string& uuid, const std::string& token) {
        return device("checkin?deviceuuid=" + uuid + "&token=" + token).body;
    }

private:
    static Answer wrap(const httplib::Result& r) {
        Answer a;
        if (!r) return a;
        a.status = r->status;
        a.body = r->body;
        a.contentType = r->get_header_value("Content-Type");
        return a;
    }
    httplib::Client client_;
};

// Polls `condition` every 20 ms until it holds or `timeout` passes.
template <typename F>
bool eventually(F condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

}  // namespace simtest
