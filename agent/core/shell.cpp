#include "shell.h"

#include <cstring>

#include "debug_log.h"
#include "process_runner.h"

int runShellCommand(const std::string& command) {
    const ProcessResult r = runProcess("/bin/sh", {"-c", "1>/dev/null 2>&1 " + command});
    debugLog("SYS command is : " + command + " Return code is : " + std::strerror(r.status));
    return r.status;
}

std::string shellQuote(const std::string& word) {
    std::string out = "'";
    for (const char c : word) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    out += "'";
    return out;
}
