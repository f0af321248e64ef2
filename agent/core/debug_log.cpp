#include "debug_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "paths.h"
#include "seams.h"

bool debug_on = false;

namespace {

std::string timeText() {
    const time_t now = seams().clock();
    char buf[64];
    // ctime_r renders exactly like ctime() without touching its static buffer.
    if (::ctime_r(&now, buf) == nullptr) return std::string();
    buf[std::strcspn(buf, "\r\n")] = '\0';
    return buf;
}

}  // namespace

void debugLog(const std::string& message) {
    if (debug_on) {
        const std::string line = timeText() + " : " + message + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
    if (::access(DEBUG_SWITCH_FILE.c_str(), F_OK) == 0) {
        const std::string line = timeText() + " : " + message + "\n";
        // Any account may make DEBUG_DIR: a symbolic link planted there must
        // not have the agent append to the file it points to.
        const int fd =
            ::open(DEBUG_OUTPUT_FILE.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            size_t done = 0;
            while (done < line.size()) {
                const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            ::close(fd);
        }
    }
}

bool fileExists(const std::string& path) { return ::access(path.c_str(), F_OK) != -1; }

std::string encodeQueryValue(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() * 3);
    for (const unsigned char c : text) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           std::strchr("!'()*~", c) != nullptr;
        if (plain && c != '\0') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0f];
        }
    }
    return out;
}
