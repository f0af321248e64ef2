// What the agent may ask of a transport to the platform.
#pragma once

#include <string>

class Client {
public:
    Client(std::string host, std::string port, std::string connType)
        : host(std::move(host)), port(std::move(port)), connType(std::move(connType)) {}

    // Fresh connection handle; called at the head of every outer cycle.
    virtual void init() = 0;
    virtual void cleanup() = 0;
    // GET base URL + path; returns the body of a 200 answer, raises
    // MyExceptionTCP otherwise.
    virtual std::string getRequest(const std::string& path) = 0;
    // Multipart POST of one file as part "file"; returns 0 or raises.
    virtual int uploadFile(const std::string& localFile, const std::string& path) = 0;
    virtual void setTimeout(const std::string& text) = 0;

protected:
    // The agent never destroys its transport; tests destroy their fakes.
    ~Client() = default;

public:
    std::string host;
    std::string port;
    std::string connType;
};
