// Replaces the agent's seams with recorders for the life of the object:
// sleeps return at once, syslog lines and reboots are kept for asserts.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/seams.h"

class RecordedSeams {
public:
    RecordedSeams();
    ~RecordedSeams();
    RecordedSeams(const RecordedSeams&) = delete;
    RecordedSeams& operator=(const RecordedSeams&) = delete;

    std::vector<unsigned> sleeps;
    std::vector<std::pair<int, std::string>> syslogLines;  // (priority, message)
    std::vector<std::string> events;  // "sleep N", "syslog <msg>", "sync", "reboot"
    time_t now = 1700000000;
    // Called after each recorded sleep; a test can stop a loop from here by throwing.
    std::function<void(unsigned)> onSleep;
};
