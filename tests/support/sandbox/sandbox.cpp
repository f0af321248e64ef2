#include "sandbox/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace sandbox {

bool inside() {
    const char* v = std::getenv("KIV_SANDBOX");
    return v != nullptr && std::string(v) == "1";
}

namespace {

void fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

std::vector<std::string> keptPaths() {
    std::vector<std::string> keep;
    const char* v = std::getenv("KIV_SANDBOX_KEEP");
    std::istringstream in(v != nullptr ? v : "");
    std::string p;
    while (in >> p) keep.push_back(p);
    return keep;
}

// Removes the entries of `dir` but those leading to a kept tree.
void emptyDir(const std::string& dir, const std::vector<std::string>& keep) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    for (const auto& n : names) {
        const std::string path = dir + "/" + n;
        bool kept = false;
        for (const auto& k : keep) {
            if (k == path || k.rfind(path + "/", 0) == 0) kept = true;
        }
        if (kept) {
            bool exact = false;
            for (const auto& k : keep) exact = exact || k == path;
            if (!exact) emptyDir(path, keep);
            continue;
        }
        removeAll(path);
    }
}

}  // namespace

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) makeDirs(path.substr(0, slash));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) fail("cannot write " + path);
    out << content;
    out.close();
    ::chmod(path.c_str(), mode);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

void removeAll(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        emptyDir(path, {});
        ::rmdir(path.c_str());
    } else {
        ::unlink(path.c_str());
    }
}

void makeDirs(const std::string& path, mode_t mode) {
    std::string cur;
    std::istringstream in(path);
    std::string part;
    while (std::getline(in, part, '/')) {
        if (part.empty()) {
            if (cur.empty()) cur = "";
            continue;
        }
        cur += "/" + part;
        if (::mkdir(cur.c_str(), mode) != 0 && errno != EEXIST) fail("cannot create " + cur);
    }
}

void installFile(const std::string& from, const std::string& to, mode_t mode) {
    writeFile(to, readFile(from), mode);
}

void installFakeTool(const std::string& path, const std::string& recordFile, const std::string& body) {
    writeFile(path,
              "#!/bin/sh\n"
              "printf '%s' \"$0\" >> '" + recordFile + "'\n"
              "for a in \"$@\"; do printf ' %s' \"$a\" >> '" + recordFile + "'; done\n"
              "printf '\\n' >> '" + recordFile + "'\n" + body + "\n",
              0755);
}

void resetRouter() {
    if (!inside()) throw std::runtime_error("resetRouter outside the sandbox");
    const auto keep = keptPaths();
    emptyDir("/opt", keep);
    emptyDir("/tmp", keep);
    removeAll("/var/data");
    removeAll("/var/log/messages");
    removeAll("/var/wifi");
    removeAll("/etc/version");
}

void writeAgentLayout(const AgentLayout& l, const std::string& agentBinary) {
    makeDirs("/var/data/kivc");
    writeFile("/var/data/kivc/settings.kivcManuf",
              "MOD_KIVCLIENT_COUNTRYCODE=" + l.countryCode + "\nMOD_KIVCLIENT_SITECODE=" + l.siteCode +
                  "\nMOD_KIVCLIENT_DEVID=" + l.devId + "\nMOD_KIVCLIENT_MACADDRESS=" + l.macAddress + "\n");
    if (l.withIdentity) {
        writeFile("/var/data/kivc/settings.kivcGen",
                  "MOD_KIVCLIENT_PASSWORD=" + l.password + "\nMOD_KIVCLIENT_UUID=" + l.uuid + "\n");
    }
    writeFile("/opt/kivclient/etc/settings.kivcsys",
              "MOD_KIVCLIENT_HOMEDIR=/opt/kivclient\n"
              "MOD_KIVCLIENT_CONFIGDIR=/etc/settings\n"
              "MOD_KIVCLIENT_SUSCRIPTDIR=/etc/scripts/\n"
              "MOD_KIVCLIENT_SUSCRIPTPREFIX=S\n"
              "MOD_KIVCLIENT_SUSCRIPTSYMLINKDIR=/etc/rc.d\n"
              "MOD_KIVCLIENT_SUSCRIPTSYMLINKPREFIX=K\n"
              "MOD_KIVCLIENT_DEFAULTCOUNTRYCODE=XX\n"
              "MOD_KIVCLIENT_DEFAULTSITECODE=YY\n");
    writeFile("/opt/kivclient/etc/settings",
              "MOD_KIVCLIENT_HOSTEDPLATFORM=" + l.host + "\nMOD_KIVCLIENT_PORT=" + l.port +
                  "\nMOD_KIVCLIENT_CONNTYPE=" + l.connType + "\nMOD_KIVCLIENT_TIMEOUT=" + l.timeout +
                  "\nMOD_KIVCLIENT_SLEEP=" + l.sleep + "\n");
    writeFile("/etc/version", l.firmwareVersion);
    writeFile("/opt/kivclient/etc/version", l.agentVersion);
    if (!agentBinary.empty()) installFile(agentBinary, "/opt/kivclient/kivclient");
}

// ---- syslog ------------------------------------------------------------

namespace {

SyslogRecord parseRecord(const std::string& raw) {
    SyslogRecord r;
    r.raw = raw;
    std::string rest = raw;
    if (!rest.empty() && rest[0] == '<') {
        const auto close = rest.find('>');
        if (close != std::string::npos) {
            r.priority = std::atoi(rest.substr(1, close - 1).c_str());
            rest = rest.substr(close + 1);
        }
    }
    // "Mmm dd hh:mm:ss " is 16 characters.
    if (rest.size() >= 16) rest = rest.substr(16);
    const auto colon = rest.find(": ");
    if (colon != std::string::npos) {
        std::string tag = rest.substr(0, colon);
        const auto bracket = tag.find('[');
        if (bracket != std::string::npos) {
            r.pid = std::atoi(tag.substr(bracket + 1).c_str());
            tag = tag.substr(0, bracket);
        }
        r.tag = tag;
        r.message = rest.substr(colon + 2);
    } else {
        r.message = rest;
    }
    return r;
}

const char* const MARKER = "<0>kiv-sandbox-marker";

}  // namespace

SyslogSink::SyslogSink() {
    ::unlink("/dev/log");
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) fail("socket");
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/dev/log");
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fail("bind /dev/log");
    ::chmod("/dev/log", 0666);
    int size = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

SyslogSink::~SyslogSink() {
    if (fd_ >= 0) ::close(fd_);
    ::unlink("/dev/log");
}

void SyslogSink::pump(int timeoutMs) {
    pollfd p {fd_, POLLIN, 0};
    while (::poll(&p, 1, timeoutMs) > 0) {
        char buf[65536];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) break;
        std::string raw(buf, static_cast<size_t>(n));
        while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\0')) raw.pop_back();
        if (raw == MARKER) return;
        records_.push_back(parseRecord(raw));
        timeoutMs = timeoutMs > 0 ? timeoutMs : 0;
    }
}

const std::vector<SyslogRecord>& SyslogSink::records() {
    const int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/dev/log");
    ::sendto(s, MARKER, std::strlen(MARKER), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::close(s);
    pump(2000);
    return records_;
}

std::vector<std::string> SyslogSink::messages() {
    std::vector<std::string> out;
    for (const auto& r : records()) out.push_back(r.message);
    return out;
}

bool SyslogSink::waitFor(const std::function<bool(const SyslogRecord&)>& match, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (const auto& r : records_) {
            if (match(r)) return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p {fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100))) > 0) {
            char buf[65536];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                std::string raw(buf, static_cast<size_t>(n));
                while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\0')) raw.pop_back();
                if (raw != MARKER) records_.push_back(parseRecord(raw));
            }
        }
    }
}

bool SyslogSink::waitForMessage(const std::string& message, std::chrono::milliseconds timeout) {
    return waitFor([&](const SyslogRecord& r) { return r.message == message; }, timeout);
}

void SyslogSink::clear() {
    records();
    records_.clear();
}

// ---- debug traces ------------------------------------------------------

bool hasDebugHead(const std::string& line) {
    static const std::regex head("^(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                 "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} : ");
    return line.size() >= 27 && std::regex_search(line.substr(0, 27), head);
}

std::vector<std::string> debugMessages(const std::string& trace) {
    std::vector<std::string> out;
    std::istringstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        if (hasDebugHead(line) || out.empty()) {
            out.push_back(hasDebugHead(line) ? line.substr(27) : line);
        } else {
            out.back() += "\n" + line;
        }
    }
    return out;
}

// ---- child processes ---------------------------------------------------

namespace {
int counter = 0;
}

Process::Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& extraEnv) {
    const std::string base = "/run/ksb-proc-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const std::string dir = inside() ? base : "/tmp/kiv-proc-" + std::to_string(::getpid()) + "-" + std::to_string(counter);
    makeDirs(dir);
    outPath_ = dir + "/out";
    errPath_ = dir + "/err";
    std::vector<std::string> args = argv;
    std::vector<char*> cargv;
    for (auto& a : args) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string kv = *e;
        const std::string key = kv.substr(0, kv.find('='));
        if (extraEnv.count(key) == 0) env.push_back(kv);
    }
    for (const auto& [k, v] : extraEnv) env.push_back(k + "=" + v);
    std::vector<char*> cenv;
    for (auto& e : env) cenv.push_back(e.data());
    cenv.push_back(nullptr);

    const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_ = ::fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
        ::setpgid(0, 0);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execve(cargv[0], cargv.data(), cenv.data());
        ::_exit(127);
    }
    ::close(in);
    ::close(out);
    ::close(err);
}

Process::~Process() {
    if (!reaped_ && pid_ > 0) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool Process::running() {
    if (reaped_) return false;
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = st;
        return false;
    }
    return true;
}

RunResult Process::finish(std::chrono::milliseconds timeout) {
    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(-pid_, SIGKILL);
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_, 0);
            reaped_ = true;
            result.timedOut = true;
            status_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.status = status_;
    result.out = readFile(outPath_);
    result.err = readFile(errPath_);
    return result;
}

RunResult Process::stop(int signal, std::chrono::milliseconds timeout) {
    if (!reaped_) ::kill(pid_, signal);
    return finish(timeout);
}

RunResult Process::wait(std::chrono::milliseconds timeout) { return finish(timeout); }

std::string Process::outputSoFar() const { return readFile(outPath_); }

RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& extraEnv,
              std::chrono::milliseconds timeout) {
    Process p(argv, extraEnv);
    return p.wait(timeout);
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace sandbox
