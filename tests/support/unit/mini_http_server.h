// A small single-threaded HTTP/1.1 keep-alive server on loopback for long
// runs and benchmarks: one poll() loop, answers GETs from a handler, and can
// refuse connections for a while (its listening socket closed) on the same
// port. Header-only so that benchmarks can use it too.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace minihttp {

struct Answer {
    int status = 200;
    std::string body;
};

class Server {
public:
    // Called on the server thread with the request target ("/api/devices/checkin?...").
    using Handler = std::function<Answer(const std::string& target)>;

    explicit Server(Handler handler) : handler_(std::move(handler)) {
        listen_ = openListener(0);
        sockaddr_in a {};
        socklen_t len = sizeof a;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { loop(); });
    }
    ~Server() {
        stop_ = true;
        thread_.join();
        for (const auto& c : clients_) ::close(c.first);
        if (listen_ >= 0) ::close(listen_);
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int port() const { return port_; }
    // For this long, connection attempts fail at once (nobody listens).
    void refuseFor(std::chrono::milliseconds span) {
        refuseUntil_ = (std::chrono::steady_clock::now() + span).time_since_epoch().count();
    }
    size_t accepted() const { return accepted_; }

private:
    static int openListener(int port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0) {
            ::close(fd);
            throw std::runtime_error("mini server: cannot listen");
        }
        return fd;
    }

    void loop() {
        while (!stop_) {
            const bool refuse = std::chrono::steady_clock::now().time_since_epoch().count() < refuseUntil_;
            if (refuse && listen_ >= 0) {
                ::close(listen_);
                listen_ = -1;
            } else if (!refuse && listen_ < 0) {
                listen_ = openListener(port_);
            }
            std::vector<pollfd> fds;
            if (listen_ >= 0) fds.push_back({listen_, POLLIN, 0});
            for (const auto& c : clients_) fds.push_back({c.first, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 10) <= 0) continue;
            for (const auto& p : fds) {
                if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
                if (p.fd == listen_) {
                    const int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (c >= 0) {
                        clients_[c];
                        ++accepted_;
                    }
                } else {
                    serve(p.fd);
                }
            }
        }
    }

    void serve(int fd) {
        char buf[16384];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            ::close(fd);
            clients_.erase(fd);
            return;
        }
        std::string& in = clients_[fd];
        in.append(buf, static_cast<size_t>(n));
        for (;;) {
            const auto end = in.find("\r\n\r\n");
            if (end == std::string::npos) return;
            const std::string head = in.substr(0, end);
            in.erase(0, end + 4);  // requests here carry no body
            const auto sp1 = head.find(' ');
            const auto sp2 = head.find(' ', sp1 + 1);
            const Answer a = handler_(head.substr(sp1 + 1, sp2 - sp1 - 1));
            const std::string out = "HTTP/1.1 " + std::to_string(a.status) + " X\r\nContent-Type: application/json\r\n" +
                                    "Content-Length: " + std::to_string(a.body.size()) + "\r\n\r\n" + a.body;
            size_t sent = 0;
            while (sent < out.size()) {
                const ssize_t w = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
                if (w <= 0) return;
                sent += static_cast<size_t>(w);
            }
        }
    }

    Handler handler_;
    int listen_ = -1;
    int port_ = 0;
    std::map<int, std::string> clients_;  // descriptor -> unread input
    std::atomic<bool> stop_ {false};
    std::atomic<std::chrono::steady_clock::rep> refuseUntil_ {0};
    std::atomic<size_t> accepted_ {0};
    std::thread thread_;
};

}  // namespace minihttp
