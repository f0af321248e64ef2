// What the device endpoints and the admin interface share: the state, the
// request log, the directories, and small helpers for answers.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

#include "platform_state.h"

namespace kivsim {

// Every request as one JSON object: kept in memory for the admin interface
// (newest entries only) and appended as one line to the log file.
class RequestLog {
public:
    // path: a file to append to, "-" for standard output, empty for none.
    // console: also print a short readable line per device request.
    RequestLog(const std::string& path, bool console);
    ~RequestLog();
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;

    void append(json entry);
    // For requests the server library answers before any handler runs (a
    // malformed request, a body it cannot read): the library's logger asks
    // whether a handler has logged the request on this thread already.
    void beginRequest();
    bool endRequest();
    // Entries with a sequence number above `since`; admin requests only on demand.
    json since(long since, const std::string& endpoint, const std::string& device, bool withAdmin);
    void clear();

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    bool ownsFile_ = false;
    bool console_ = false;
    long seq_ = 0;
    std::deque<json> recent_;
};

// Waits that end early when the simulator stops (injected delays).
class Waiter {
public:
    void waitFor(long ms);
    void stopAll();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopping_ = false;
};

struct ServerContext {
    PlatformState& state;
    RequestLog& log;
    Waiter& waiter;
    std::string filesDir;    // served below /files/
    std::string uploadsDir;  // uploads/<uuid>/...
    std::string scheme;      // "http" or "https": the server this context belongs to
};

// The start of a log entry: method, raw target, server, client.
json requestEntry(const httplib::Request& req, const std::string& scheme);

void sendJson(httplib::Response& res, int status, const json& body);
void sendError(httplib::Response& res, int status, const std::string& message);

// Closes the request's connection under the server, so that the client sees
// the connection drop without an answer.
void dropConnection(const httplib::Request& req);
// Ends every connection that clients hold open to `port` (a stopping server
// would otherwise wait for idle keep-alive connections to time out).
void closeConnections(int port);

// The raw (still percent-encoded) value of a query parameter, as sent.
std::string rawParam(const std::string& target, const std::string& name);

}  // namespace kivsim
