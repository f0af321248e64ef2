#include "core/service_loop.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <exception>

#include "core/debug_log.h"
#include "core/exceptions.h"
#include "core/seams.h"

namespace {

// Pauses, in seconds, per failure class.
constexpr unsigned INVALID_TOKEN_PAUSE = 60;
constexpr unsigned REGISTRATION_ERROR_PAUSE = 1800;
constexpr unsigned LOGIN_ERROR_PAUSE = 60;
constexpr unsigned TCP_PAUSE_FIRST = 15;  // until a check-in sequence has ended once
constexpr unsigned TCP_PAUSE_LATER = 60;
constexpr unsigned OTHER_PAUSE = 240;
constexpr unsigned UNEXPECTED_PAUSE = 6;

constexpr int TCP_LIMIT = 15;
constexpr int OTHER_LIMIT = 15;
constexpr int UNEXPECTED_LIMIT = 3;
constexpr int CHECKIN_MESSAGE_EVERY = 30;

// True for the first occurrence and then every (limit - 1)th one.
bool shouldReport(int& counter, int limit) {
    const bool report = counter == 0 || counter == limit;
    if (report) counter = 1;
    ++counter;
    return report;
}

// The file must end up holding exactly "OK". Overwriting in place and
// trimming only a longer file gives that without truncating on every
// check-in, which frees and reallocates the file's page each time.
// Anyone may create the name in /tmp: a symbolic link planted there must not
// make the agent overwrite the file it points to. The watchdog removes such a
// link, and the next check-in creates the real file.
void writeHeartbeat(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return;  // the watchdog will notice; nothing else to do
    struct stat st {};
    if (::pwrite(fd, "OK", 2, 0) == 2 && ::fstat(fd, &st) == 0 && st.st_size > 2) {
        const int trimmed = ::ftruncate(fd, 2);
        (void)trimmed;
    }
    ::close(fd);
}

void reportError(const std::string& syslogPrefix, const std::string& debugPrefix, const char* message,
                 bool toSyslog) {
    if (toSyslog) seams().syslog(LOG_ERR, syslogPrefix + message);
    debugLog(debugPrefix + message);
}

}  // namespace

void runServiceLoop(CloudServices& services, Client& client, const CommandEntry* table, int count,
                    const std::string& heartbeatFile) {
    const Aggregator& device = *services.aggregator;
    int unexpectedCount = 0;
    int tcpCount = 0;
    int otherCount = 0;
    bool sequenceEnded = false;
    int registrationErrorCount = 0;
    int loginErrorCount = 0;
    int checkinCount = 0;

    for (;;) {  // outer cycle: a fresh transport
        try {
            client.init();
            registrationErrorCount = 0;
            loginErrorCount = 0;
            for (;;) {  // login cycle
                try {
                    const std::string deviceName = device.countryCode + "-" + device.siteCode + "-" + device.devId;
                    seams().syslog(LOG_NOTICE, "Device id " + deviceName + " attempting to login");
                    debugLog("Attempting to login");
                    services.login();
                    seams().syslog(LOG_NOTICE, "Login Successful");
                    checkinCount = 0;
                    try {
                        for (;;) {  // check-in cycle, no pause of its own
                            services.checkIn(table, count);
                            if (checkinCount == 0 || checkinCount == CHECKIN_MESSAGE_EVERY) {
                                seams().syslog(LOG_NOTICE, "Device id " + deviceName + " CheckIn Successful");
                                if (checkinCount == CHECKIN_MESSAGE_EVERY) checkinCount = 1;
                            }
                            ++checkinCount;
                            writeHeartbeat(heartbeatFile);
                        }
                    } catch (const InvalidTokenException& e) {
                        sequenceEnded = true;
                        reportError("CheckIn Invalid Token : ", "CheckIn Invalid Token : ", e.what(), true);
                        seams().sleep(INVALID_TOKEN_PAUSE);
                        continue;  // log in again on the same transport
                    } catch (...) {
                        sequenceEnded = true;
                        throw;
                    }
                } catch (const RegistrationException& e) {
                    const std::string message = e.what();
                    if (message == "Success") continue;  // log in at once with the new UUID
                    const bool report = registrationErrorCount < 2;
                    if (report) registrationErrorCount = 1;
                    reportError("Registration Error Response is : ", "Registration Error Response : ", e.what(),
                                report);
                    ++registrationErrorCount;
                    seams().sleep(REGISTRATION_ERROR_PAUSE);
                } catch (const LoginErrorException& e) {
                    const bool report = loginErrorCount < 2;
                    if (report) loginErrorCount = 1;
                    reportError("Login Error Response is : ", "Login Error Response : ", e.what(), report);
                    ++loginErrorCount;
                    seams().sleep(LOGIN_ERROR_PAUSE);
                }
            }
        } catch (const MyExceptionTCP& e) {
            reportError("TCP exception  : ", "TCP exception : ", e.what(), shouldReport(tcpCount, TCP_LIMIT));
            seams().sleep(sequenceEnded ? TCP_PAUSE_LATER : TCP_PAUSE_FIRST);
        } catch (const MyException& e) {
            reportError("Other Exception  : ", "Other Exception : ", e.what(), shouldReport(otherCount, OTHER_LIMIT));
            seams().sleep(OTHER_PAUSE);
        } catch (const std::exception& e) {
            reportError("Unexpected exception occurred : ", "Unexpected exception occurred : ", e.what(),
                        shouldReport(unexpectedCount, UNEXPECTED_LIMIT));
            seams().sleep(UNEXPECTED_PAUSE);
        }
    }
}
