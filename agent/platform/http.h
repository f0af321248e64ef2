// The one transport the agent has: libcurl's easy interface. GETs share one
// handle, so the connection to the platform stays open between calls until
// the next init(); uploads use a handle of their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/client.h"

typedef void CURL;

class HTTP : public Client {
public:
    HTTP(std::string host, std::string port, std::string connType);
    ~HTTP();
    HTTP(const HTTP&) = delete;
    HTTP& operator=(const HTTP&) = delete;

    // Replaces the handle (closing the old one's connections) and sets the
    // TLS, keep-alive and time-out options. Prints "timeout = N".
    void init() override;
    void cleanup() override;
    std::string getRequest(const std::string& path) override;
    int uploadFile(const std::string& localFile, const std::string& path) override;
    // As std::stol, limited to a signed 32-bit value; throws
    // std::invalid_argument / std::out_of_range "stol" and then keeps the
    // old value.
    void setTimeout(const std::string& text) override;

    // With a CA file the platform's certificate and host name are verified
    // against it; without one (the default) they are not checked at all.
    // Takes effect at the next init() and for every upload.
    void setCaFile(const std::string& path) { caFile_ = path; }

    int32_t timeout = 0;  // seconds for one GET exchange, 0 = no limit

private:
    struct HandleDeleter {
        void operator()(CURL* handle) const;
    };
    using Handle = std::unique_ptr<CURL, HandleDeleter>;

    std::string url(const std::string& path) const;
    void setTls(CURL* handle) const;

    Handle handle_;
    std::string caFile_;
};
