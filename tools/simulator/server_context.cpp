#include "server_context.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>

namespace kivsim {

namespace {

constexpr size_t RECENT_LIMIT = 5000;

// Each request is served by one worker thread from start to end.
thread_local bool loggedOnThisThread = false;

std::string shortText(const std::string& s, size_t limit) {
    std::string out;
    for (char c : s.substr(0, limit)) out += (c == '\n' || c == '\r') ? ' ' : c;
    return s.size() > limit ? out + "..." : out;
}

// "12:00:01.123  GB-LDN-DEV001  checkin           -> "NoActivity""
std::string consoleLine(const json& e) {
    std::string time = e.value("time", "");
    if (time.size() >= 23) time = time.substr(11, 12);
    std::string device = e.value("device", "");
    if (device.empty()) device = e.value("deviceUuid", "-");
    std::string endpoint = e.value("endpoint", "?");
    if (endpoint.size() < 17) endpoint.resize(17, ' ');
    std::string line = time + "  " + device + "  " + endpoint + " ";
    if (e.contains("fault")) line += "FAULT " + dumpJson(e["fault"]) + " ";
    const int status = e.value("status", 0);
    if (e.value("dropped", false)) {
        line += "-> connection dropped";
    } else if (e.contains("report") && status == 200) {
        const json& r = e["report"];
        line += "report: command=" + r.value("command", "") + " issuccess=" + r.value("issuccess", "") +
                " message=" + shortText(dumpJson(r["message"]), 160);
    } else if (e.contains("file") && status == 200) {
        line += "sent " + e.value("file", "") + " (" + std::to_string(e.value("size", 0L)) + " bytes)";
    } else if (e.contains("upload") && status == 200) {
        line += "received " + e["upload"].value("fileName", "") + " (" + std::to_string(e["upload"].value("size", 0L)) +
                " bytes)";
    } else {
        line += "-> " + (status == 200 ? std::string() : std::to_string(status) + " ") +
                shortText(e.value("answer", ""), 160);
    }
    return line;
}

std::string addressText(const sockaddr_storage& a) {
    char buf[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, buf, sizeof buf);
    } else if (a.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, buf, sizeof buf);
    }
    return buf;
}

int portOf(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
    return -1;
}

}  // namespace

RequestLog::RequestLog(const std::string& path, bool console) : console_(console) {
    if (path == "-") {
        file_ = stdout;
    } else if (!path.empty()) {
        file_ = std::fopen(path.c_str(), "a");
        if (file_ == nullptr) throw std::runtime_error("cannot open the request log " + path);
        ownsFile_ = true;
    }
}

RequestLog::~RequestLog() {
    if (ownsFile_) std::fclose(file_);
}

void RequestLog::append(json entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entry["seq"] = ++seq_;
    const std::string line = dumpJson(entry);
    if (file_ != nullptr) {
        std::fprintf(file_, "%s\n", line.c_str());
        std::fflush(file_);
    }
    const bool admin = entry.value("endpoint", "").rfind("admin", 0) == 0;
    if (console_ && !admin) {
        std::printf("%s\n", consoleLine(entry).c_str());
        std::fflush(stdout);
    }
    recent_.push_back(std::move(entry));
    if (recent_.size() > RECENT_LIMIT) recent_.pop_front();
    loggedOnThisThread = true;
}

void RequestLog::beginRequest() { loggedOnThisThread = false; }

bool RequestLog::endRequest() {
    const bool logged = loggedOnThisThread;
    loggedOnThisThread = false;
    return logged;
}

json RequestLog::since(long since, const std::string& endpoint, const std::string& device, bool withAdmin) {
    std::lock_guard<std::mutex> lock(mutex_);
    json out = json::array();
    for (const auto& e : recent_) {
        if (e.value("seq", 0L) <= since) continue;
        const std::string ep = e.value("endpoint", "");
        if (!withAdmin && ep.rfind("admin", 0) == 0) continue;
        if (!endpoint.empty() && ep != endpoint) continue;
        if (!device.empty() && e.value("device", "") != device && e.value("deviceUuid", "") != device) continue;
        out.push_back(e);
    }
    return out;
}

void RequestLog::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    recent_.clear();
}

void Waiter::waitFor(long ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void Waiter::stopAll() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
}

json requestEntry(const httplib::Request& req, const std::string& scheme) {
    json entry = {{"time", nowText()},
                  {"server", scheme},
                  {"client", req.remote_addr + ":" + std::to_string(req.remote_port)},
                  {"method", req.method},
                  {"target", req.target}};
    if (req.is_multipart_form_data()) {
        entry["parts"] = json::array();
        for (const auto& [name, part] : req.files) {
            entry["parts"].push_back({{"name", part.name},
                                      {"fileName", part.filename},
                                      {"contentType", part.content_type},
                                      {"size", part.content.size()}});
        }
    }
    return entry;
}

void sendJson(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(dumpJson(body), "application/json");
}

void sendError(httplib::Response& res, int status, const std::string& message) {
    sendJson(res, status, {{"error", message}});
}

// Calls `match` with the local and peer address of every connected socket of
// the process; shuts down those for which it returns true. The server
// library does not hand out its connections' sockets, so they are found
// among the process's descriptors. Shutting a socket down (rather than
// closing it) leaves the descriptor to the library, which then fails to use
// it and closes it as usual.
template <typename Match>
void shutdownSockets(Match match) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return;
    while (dirent* e = readdir(dir)) {
        const int fd = std::atoi(e->d_name);
        if (fd <= 2) continue;
        sockaddr_storage local{}, peer{};
        socklen_t localLen = sizeof local, peerLen = sizeof peer;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0) continue;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) continue;
        if (match(local, peer)) shutdown(fd, SHUT_RDWR);
    }
    closedir(dir);
}

void dropConnection(const httplib::Request& req) {
    shutdownSockets([&req](const sockaddr_storage& local, const sockaddr_storage& peer) {
        return portOf(local) == req.local_port && portOf(peer) == req.remote_port &&
               addressText(peer) == req.remote_addr;
    });
}

void closeConnections(int port) {
    shutdownSockets([port](const sockaddr_storage& local, const sockaddr_storage&) { return portOf(local) == port; });
}

std::string rawParam(const std::string& target, const std::string& name) {
    const auto q = target.find('?');
    if (q == std::string::npos) return "";
    const std::string query = target.substr(q + 1);
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t end = query.find('&', pos);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(pos, end - pos);
        const auto eq = pair.find('=');
        if (pair.substr(0, eq) == name) return eq == std::string::npos ? "" : pair.substr(eq + 1);
        pos = end + 1;
    }
    return "";
}

}  // namespace kivsim
