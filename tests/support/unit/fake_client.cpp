#include "fake_client.h"

#include "core/exceptions.h"

void FakeClient::reply(const std::string& body) {
    script_.push_back([body] { return body; });
}

void FakeClient::fail(const std::string& tcpMessage) {
    script_.push_back([tcpMessage]() -> std::string { throw MyExceptionTCP(tcpMessage); });
}

void FakeClient::raise(std::function<void()> thrower) {
    script_.push_back([thrower]() -> std::string {
        thrower();
        return std::string();
    });
}

std::string FakeClient::getRequest(const std::string& path) {
    requests.push_back(path);
    if (onRequest) onRequest(path);
    if (script_.empty()) {
        if (hasDefault_) return defaultReply_;
        throw MyExceptionTCP("no scripted answer");
    }
    auto next = script_.front();
    script_.pop_front();
    return next();
}

int FakeClient::uploadFile(const std::string& localFile, const std::string& path) {
    uploads.emplace_back(localFile, path);
    return 0;
}
