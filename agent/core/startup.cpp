#include "core/startup.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/random.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <stdexcept>
#include <vector>

#include "core/debug_log.h"
#include "core/exceptions.h"
#include "core/paths.h"
#include "core/seams.h"
#include "core/service_start.h"

namespace {

const char alphanum[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr unsigned ALPHABET_SIZE = sizeof(alphanum) - 1;

// Kernels before 3.17 have no getrandom(); their /dev/urandom is the same
// kernel source. Without it the identity could never be created there, and
// the agent would fail its first start forever.
void readUrandom(unsigned char* buf, size_t len) {
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("getrandom failed");
    size_t got = 0;
    while (got < len) {
        const ssize_t n = ::read(fd, buf + got, len - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            throw std::runtime_error("getrandom failed");
        }
        got += static_cast<size_t>(n);
    }
    ::close(fd);
}

void fillRandom(unsigned char* buf, size_t len) {
    size_t got = 0;
    while (got < len) {
        const ssize_t n = ::getrandom(buf + got, len - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOSYS) return readUrandom(buf + got, len - got);
            throw std::runtime_error("getrandom failed");
        }
        got += static_cast<size_t>(n);
    }
}

void createIdentity(SettingsStore& identity) {
    debugLog("Generating KIVCGEN_FILE");
    const std::string password = gen_random(15);
    debugLog("Password = " + password);
    identity.set("password", password);
    identity.set("uuid", "");
    identity.save();
}

void checkFile(const std::string& path) {
    if (!fileExists(path)) throw FileException("Can't open file " + path);
}

void readInto(const SettingsStore& store, const std::string& key, std::string& field, const std::string& label) {
    field = store.get(key);
    debugLog(label + field);
}

void readWithDefault(const SettingsStore& store, const std::string& key, std::string& field,
                     const std::string& label, const std::string& nullLabel, const std::string& fallback) {
    field = store.get(key);
    if (field.empty()) {
        field = fallback;
        debugLog(nullLabel + field);
    } else {
        debugLog(label + field);
    }
}

}  // namespace

std::string gen_random(size_t length) {
    // Rejection sampling: bytes at or above the largest multiple of 62 below
    // 256 are drawn again, so every character is equally likely.
    constexpr unsigned limit = 256 - (256 % ALPHABET_SIZE);
    std::string out;
    while (out.size() < length) {
        unsigned char buf[32];
        fillRandom(buf, sizeof buf);
        for (const unsigned char b : buf) {
            if (b >= limit) continue;
            out += alphanum[b % ALPHABET_SIZE];
            if (out.size() == length) break;
        }
    }
    return out;
}

int runAgent(int argc, char** argv) {
    // A program started with an empty argument vector still logs under its name.
    const std::string argv0 = argc > 0 && argv[0] != nullptr ? argv[0] : MODULE_NAME;
    std::vector<char> progName(argv0.begin(), argv0.end());
    progName.push_back('\0');
    // openlog keeps the pointer: the identity must outlive the process's use of syslog.
    static const std::string ident = ::basename(progName.data());
    ::openlog(ident.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
    seams().syslog(LOG_NOTICE, "started");

    curl_global_init(CURL_GLOBAL_ALL);

    static Aggregator aggregator;

    int opt;
    while ((opt = ::getopt(argc, argv, "d")) != -1) {
        if (opt == 'd') debug_on = true;
    }

    SettingsStore identity(KIVCGEN_FILE, MODULE_NAME);
    SettingsStore manufacturing(KIVCMANUF_FILE, MODULE_NAME);
    SettingsStore system(KIVCSYS_FILE, MODULE_NAME);
    SettingsStore agent(MODULE_SETTINGS, MODULE_NAME);

    try {
        if (!fileExists(KIVC_DIR)) throw FileException("Can't open Directory " + KIVC_DIR);

        debugLog("Checking for file " + KIVCGEN_FILE);
        if (!fileExists(KIVCGEN_FILE)) {
            createIdentity(identity);
        } else {
            debugLog("File exists");
        }
        checkFile(KIVCGEN_FILE);
        checkFile(KIVCMANUF_FILE);
        checkFile(KIVCSYS_FILE);
        checkFile(MODULE_SETTINGS);

        Aggregator& a = aggregator;
        readInto(system, "homedir", a.homeDir, "HomeDir is : ");
        readInto(system, "configdir", a.configDir, "ConfigDir is : ");
        readInto(system, "suscriptdir", a.suScriptDir, "SUScriptDir is : ");
        readInto(system, "suscriptprefix", a.suScriptPrefix, "SUScriptPrefix is : ");
        readInto(system, "suscriptsymlinkdir", a.suScriptSymLinkDir, "SUScriptSymLinkDir is : ");
        readInto(system, "suscriptsymlinkprefix", a.suScriptSymLinkPrefix, "SUScriptSymLinkPrefix is : ");
        readInto(system, "defaultcountrycode", a.defaultCountryCode, "defaultcountrycode is : ");
        readInto(system, "defaultsitecode", a.defaultSiteCode, "defaultsitecode is : ");
        readWithDefault(manufacturing, "countrycode", a.countryCode, "Country Code is : ",
                        "Country Code is NULL - setting to default : ", a.defaultCountryCode);
        readWithDefault(manufacturing, "sitecode", a.siteCode, "Site Code is : ",
                        "Site Code is NULL - setting to default : ", a.defaultSiteCode);
        readInto(manufacturing, "devid", a.devId, "Dev Id is : ");
        seams().syslog(LOG_NOTICE, "Device id is " + a.countryCode + "-" + a.siteCode + "-" + a.devId);

        readInto(manufacturing, "macaddress", a.macAddress, "MACAddress is : ");
        readInto(identity, "password", a.password, "Password is : ");
        readInto(identity, "uuid", a.uuid, "UUID is : ");
        readInto(agent, "hostedplatform", a.hostedPlatform, "Host is : ");
        readInto(agent, "port", a.port, "Port is : ");
        readInto(agent, "conntype", a.connType, "Connection Type is : ");
        seams().syslog(LOG_NOTICE, "Platform: " + a.hostedPlatform + " : Connection: " + a.connType +
                                       " : Port: " + a.port);
    } catch (const FileException& e) {
        seams().syslog(LOG_ERR, std::string("File open exception: ") + e.what());
        debugLog(std::string("File open exception: ") + e.what());
        return 1;
    } catch (const std::exception& e) {
        seams().syslog(LOG_ERR, std::string("Unexpected exception occurred : ") + e.what());
        debugLog(std::string("Unexpected exception occurred : ") + e.what());
        return 1;
    }

    return startServices(aggregator, agent);
}
