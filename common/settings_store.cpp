#include "settings_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace {

std::string lowerAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

std::string upperAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

// The key is what follows the name's second underscore; names with fewer
// underscores are keys as a whole.
std::string keyFromName(const std::string& name) {
    const auto first = name.find('_');
    if (first == std::string::npos) return name;
    const auto second = name.find('_', first + 1);
    if (second == std::string::npos) return name;
    return name.substr(second + 1);
}

bool writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

bool readWholeFile(const std::string& path, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            const bool ok = n == 0;
            ::close(fd);
            return ok;
        }
    }
}

}  // namespace

bool SettingsStore::ByteLess::operator()(const std::string& a, const std::string& b) const {
    const size_t n = std::min(a.size(), b.size());
    const int c = std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c < 0;
    return a.size() < b.size();
}

SettingsStore::SettingsStore(const std::string& path, const std::string& module)
    : path_(path), module_(module) {
    // One read of the whole file: the agent builds a store for every
    // NoActivity, so this sits on the check-in path.
    std::string text;
    if (!readWholeFile(path, text)) return;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + start, end - start);
        start = end + 1;
        if (line.empty() || line[0] == '#') continue;
        const auto eq = line.find('=');
        if (eq == std::string_view::npos || line.find('_') == std::string_view::npos) continue;
        entries_[lowerAscii(keyFromName(std::string(line.substr(0, eq))))] = std::string(line.substr(eq + 1));
    }
}

std::string SettingsStore::get(const std::string& key) const {
    const auto it = entries_.find(key);
    if (it == entries_.end()) throw std::runtime_error("Map key '" + key + "' not found");
    const std::string& v = it->second;
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return v.substr(1, v.size() - 2);
    return v;
}

bool SettingsStore::has(const std::string& key) const { return entries_.count(key) != 0; }

void SettingsStore::set(const std::string& key, const std::string& value) {
    entries_[key] = value.find(' ') != std::string::npos ? "\"" + value + "\"" : value;
}

std::string SettingsStore::serialize() const {
    std::string out;
    const std::string prefix = "MOD_" + upperAscii(module_) + "_";
    for (const auto& [key, value] : entries_) {
        out += prefix + upperAscii(key) + "=" + value + "\n";
    }
    return out;
}

void SettingsStore::save() const {
    // The temporary file sits next to the target so that rename() replaces
    // the target in one step: a power cut leaves the old or the new file.
    std::string tmp = path_ + ".tmpXXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return;
    // mkostemp makes the file 0600. An existing file keeps its permissions; a
    // new one gets what a plain create would have given it.
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) {
        ::fchmod(fd, st.st_mode & 07777);
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
    }
    const bool written = writeAll(fd, serialize()) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written || ::rename(tmp.c_str(), path_.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return;
    }
    // Make the rename itself durable.
    const auto slash = path_.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}
