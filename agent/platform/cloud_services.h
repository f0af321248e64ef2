// Base of every platform call and of every command: holds the last answer
// and reads values out of it.
#pragma once

#include <string>
#include <vector>

#include "core/aggregator.h"
#include "platform/client.h"

struct CommandEntry;

class CloudServices {
public:
    CloudServices(Aggregator* aggregator, Client* client) : aggregator(aggregator), client(client) {}
    virtual ~CloudServices() = default;

    // JSON accessors on `response`; raise MyException
    // "Bad JSON format of response" when it is not JSON.
    std::string getJSONStringValue(const std::string& key);
    std::vector<std::string> getJSONArrayStringValue(const std::string& key);
    // `response` without its first and last character (std::out_of_range
    // when empty).
    std::string unquotedResponse();

    void login();
    void registerDevice();
    void checkIn(const CommandEntry* table, int count);
    void commandCompleted(const std::string& command, bool success, const std::string& message);
    // Runs the router's curl; returns the raw wait status.
    int downloadFile(const std::string& url, const std::string& destination);

    std::string firmwareVersion;
    std::string orbletVersion;
    std::string response;
    Aggregator* aggregator;
    Client* client;
};
