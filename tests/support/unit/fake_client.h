// A scripted transport for unit tests: answers requests from a queue and
// records every request path.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/client.h"

class FakeClient : public Client {
public:
    FakeClient() : Client("platform.example", "8080", "http") {}
    ~FakeClient() = default;

    // One scripted outcome: a body, or a function that raises.
    void reply(const std::string& body);
    void fail(const std::string& tcpMessage);  // raises MyExceptionTCP
    void raise(std::function<void()> thrower);
    // Answer used once the queue is empty (none: raise MyExceptionTCP).
    void setDefaultReply(const std::string& body) { defaultReply_ = body; hasDefault_ = true; }

    void init() override { ++initCount; }
    void cleanup() override {}
    std::string getRequest(const std::string& path) override;
    int uploadFile(const std::string& localFile, const std::string& path) override;
    void setTimeout(const std::string& text) override { timeoutText = text; }

    std::vector<std::string> requests;  // paths given to getRequest
    std::vector<std::pair<std::string, std::string>> uploads;  // (file, path)
    int initCount = 0;
    std::string timeoutText;
    // Called with each path before it is answered (e.g. to order requests
    // among other recorded events).
    std::function<void(const std::string&)> onRequest;

private:
    std::deque<std::function<std::string()>> script_;
    std::string defaultReply_;
    bool hasDefault_ = false;
};
