// The agent's effects on the world that tests must be able to replace:
// pauses, syslog, the clock, flushing disks and restarting the router.
// Production code calls seams() instead of the libc functions directly.
#pragma once

#include <ctime>
#include <functional>
#include <string>

struct Seams {
    std::function<void(unsigned seconds)> sleep;
    std::function<void(int priority, const std::string& message)> syslog;
    std::function<time_t()> clock;
    std::function<void()> sync;
    std::function<int(int command)> reboot;
};

// The process-wide set; starts with the real libc calls.
Seams& seams();
// Puts the real libc calls back (for tests that replaced some).
void resetSeams();
