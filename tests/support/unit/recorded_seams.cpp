#include "recorded_seams.h"

RecordedSeams::RecordedSeams() {
    Seams& s = seams();
    s.sleep = [this](unsigned seconds) {
        sleeps.push_back(seconds);
        events.push_back("sleep " + std::to_string(seconds));
        if (onSleep) onSleep(seconds);
    };
    s.syslog = [this](int priority, const std::string& message) {
        syslogLines.emplace_back(priority, message);
        events.push_back("syslog " + message);
    };
    s.clock = [this] { return now; };
    s.sync = [this] { events.push_back("sync"); };
    s.reboot = [this](int) {
        events.push_back("reboot");
        return 0;
    };
}

RecordedSeams::~RecordedSeams() { resetSeams(); }
