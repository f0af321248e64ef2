#include "seams.h"

#include <sys/reboot.h>
#include <syslog.h>
#include <unistd.h>

namespace {

Seams realSeams() {
    Seams s;
    s.sleep = [](unsigned seconds) { ::sleep(seconds); };
    s.syslog = [](int priority, const std::string& message) { ::syslog(priority, "%s", message.c_str()); };
    s.clock = [] { return ::time(nullptr); };
    s.sync = [] { ::sync(); };
    s.reboot = [](int command) { return ::reboot(command); };
    return s;
}

}  // namespace

Seams& seams() {
    static Seams current = realSeams();
    return current;
}

void resetSeams() { seams() = realSeams(); }
