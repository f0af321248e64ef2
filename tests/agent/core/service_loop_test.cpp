// The service loop driven by a scripted transport. Every pause goes through
// the recorded sleep seam; a test stops the loop by throwing StopLoop, which
// is no std::exception, so none of the loop's handlers takes it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>

#include "../../common/temp_dir.h"
#include "core/debug_log.h"
#include "core/exceptions.h"
#include "core/service_loop.h"
#include "unit/fake_client.h"
#include "unit/recorded_seams.h"

using ::testing::ElementsAre;

namespace {

struct StopLoop {};

const char* const LOGIN_OK = R"({"ResponseMessage":"Success","AuthenticationToken":"tok"})";
const char* const SUCCESS_LINE = "Device id GB-LDN-D1 CheckIn Successful";

class Quiet : public Response {
public:
    Quiet(Aggregator* a, Client* c) : Response(a, c) {}
    void execute() override {}
};
class Broken : public Response {
public:
    Broken(Aggregator* a, Client* c) : Response(a, c) {}
    void execute() override { throw std::runtime_error("broken command"); }
};
class LosesLogin : public Response {
public:
    LosesLogin(Aggregator* a, Client* c) : Response(a, c) {}
    void execute() override { throw LoginErrorException("gone"); }
};
Response* declareQuiet(Aggregator* a, Client* c) { return new Quiet(a, c); }
Response* declareBroken(Aggregator* a, Client* c) { return new Broken(a, c); }
Response* declareLosesLogin(Aggregator* a, Client* c) { return new LosesLogin(a, c); }

const CommandEntry TABLE[] = {{"Quiet", declareQuiet}, {"Broken", declareBroken}, {"LosesLogin", declareLosesLogin}};

class ServiceLoop : public ::testing::Test {
public:
    ServiceLoop() : services(&device, &client) {
        device.countryCode = "GB";
        device.siteCode = "LDN";
        device.devId = "D1";
        // Requests join the seams' timeline, so that order can be asserted.
        client.onRequest = [this](const std::string& path) { seams.events.push_back("GET " + path); };
    }

    void run() { EXPECT_THROW(runServiceLoop(services, client, TABLE, 3, heartbeat()), StopLoop); }
    std::string heartbeat() const { return dir.file("watcher"); }
    void stopScript() {
        client.raise([] { throw StopLoop(); });
    }
    void login() { client.reply(LOGIN_OK); }
    void checkIns(int n, const std::string& name = "Quiet") {
        for (int i = 0; i < n; ++i) client.reply("\"" + name + "\"");
    }
    // The failure numbers (1 = first failure) after which a syslog line
    // starting with `prefix` was written; every failure ends in one pause.
    std::vector<int> reportedFailures(const std::string& prefix) const {
        std::vector<int> out;
        int sleeps = 0;
        for (const auto& e : seams.events) {
            if (e.rfind("sleep ", 0) == 0) ++sleeps;
            if (e.rfind("syslog " + prefix, 0) == 0) out.push_back(sleeps + 1);
        }
        return out;
    }
    int count(const std::string& message) const {
        int n = 0;
        for (const auto& line : seams.syslogLines) n += line.second == message;
        return n;
    }

    RecordedSeams seams;
    Aggregator device;
    FakeClient client;
    CloudServices services;
    TempDir dir;
};

TEST_F(ServiceLoop, SuccessMessageOnCheckIns1_31_60_89WithoutPausesAndHeartbeatOK) {
    login();
    checkIns(100);
    stopScript();
    run();

    std::vector<int> reported;
    int checkin = 0;
    for (const auto& e : seams.events) {
        if (e.rfind("GET checkin?", 0) == 0) ++checkin;
        if (e == std::string("syslog ") + SUCCESS_LINE) reported.push_back(checkin);
    }
    EXPECT_THAT(reported, ElementsAre(1, 31, 60, 89));
    EXPECT_TRUE(seams.sleeps.empty());
    EXPECT_EQ(dir.read("watcher"), "OK");
    EXPECT_EQ(device.token, "tok");
    EXPECT_EQ(client.initCount, 1);
    ASSERT_GE(seams.events.size(), 4u);
    EXPECT_EQ(seams.events[0], "syslog Device id GB-LDN-D1 attempting to login");
    EXPECT_EQ(seams.events[2], "syslog Login Successful");
}

TEST_F(ServiceLoop, HeartbeatOnlyAfterSuccessfulCheckIn) {
    login();
    client.fail("Timeout was reached");
    stopScript();
    run();
    EXPECT_FALSE(fileExists(heartbeat()));
}

TEST_F(ServiceLoop, HeartbeatReplacesAnyOlderContentWithExactlyOK) {
    for (const std::string old : {"", "X", "OK", "stale heartbeat text"}) {
        dir.write("watcher", old);
        login();
        checkIns(1);
        stopScript();
        run();
        EXPECT_EQ(dir.read("watcher"), "OK") << old;
    }
}

// /tmp is writable by every account of the router.
TEST_F(ServiceLoop, HeartbeatNeverWritesThroughASymbolicLink) {
    dir.write("shadow", "root:x:0:0\n");
    ASSERT_EQ(::symlink(dir.file("shadow").c_str(), heartbeat().c_str()), 0);
    login();
    checkIns(2);
    stopScript();
    run();
    EXPECT_EQ(dir.read("shadow"), "root:x:0:0\n");
    EXPECT_EQ(count(SUCCESS_LINE), 1);
}

TEST_F(ServiceLoop, UnwritableHeartbeatIsIgnored) {
    login();
    checkIns(3);
    stopScript();
    EXPECT_THROW(runServiceLoop(services, client, TABLE, 3, dir.file("missing/watcher")), StopLoop);
    EXPECT_EQ(count(SUCCESS_LINE), 1);
    EXPECT_TRUE(seams.sleeps.empty());
}

// One failure of each class: its pause, its syslog line, and the level at
// which the loop resumes (a new transport init, or only a new login).
TEST_F(ServiceLoop, PauseSyslogAndResumptionPerExceptionClass) {
    struct Case {
        const char* name;
        std::function<void(ServiceLoop&)> script;
        std::vector<unsigned> sleeps;
        std::vector<std::string> errors;
        int inits;  // after the failure, before the next request
    };
    const Case cases[] = {
        {"tcp", [](ServiceLoop& t) { t.client.fail("Couldn't connect to server"); }, {15},
         {"TCP exception  : Couldn't connect to server"}, 2},
        {"http status", [](ServiceLoop& t) { t.client.fail("return code : 500"); }, {15},
         {"TCP exception  : return code : 500"}, 2},
        {"other", [](ServiceLoop& t) { t.client.reply("<html>"); }, {240},
         {"Other Exception  : Bad JSON format of response"}, 2},
        {"unexpected",
         [](ServiceLoop& t) {
             t.login();
             t.checkIns(1, "Broken");
         },
         {6}, {"Unexpected exception occurred : broken command"}, 2},
        {"empty check-in answer",
         [](ServiceLoop& t) {
             t.login();
             t.client.reply("");
         },
         {6}, {"Unexpected exception occurred : basic_string::substr: __pos (which is 1) > this->size() (which is 0)"},
         2},
        {"login error", [](ServiceLoop& t) { t.client.reply(R"({"ResponseMessage":"Nope"})"); }, {60},
         {"Login Error Response is : Nope"}, 1},
        {"login error from a command",
         [](ServiceLoop& t) {
             t.login();
             t.checkIns(1, "LosesLogin");
         },
         {60}, {"Login Error Response is : gone"}, 1},
        {"registration error", [](ServiceLoop& t) { t.client.raise([] { throw RegistrationException("Failed"); }); },
         {1800}, {"Registration Error Response is : Failed"}, 1},
        {"registration success", [](ServiceLoop& t) { t.client.raise([] { throw RegistrationException("Success"); }); },
         {}, {}, 1},
        {"invalid token",
         [](ServiceLoop& t) {
             t.login();
             t.checkIns(1, "InvalidToken");
         },
         {60}, {"CheckIn Invalid Token : InvalidToken"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seams.events.clear();
        seams.sleeps.clear();
        seams.syslogLines.clear();
        client.requests.clear();
        client.initCount = 0;
        c.script(*this);
        stopScript();
        run();
        EXPECT_EQ(seams.sleeps, c.sleeps);
        std::vector<std::string> errors;
        for (const auto& [priority, message] : seams.syslogLines) {
            if (priority == LOG_ERR) errors.push_back(message);
        }
        EXPECT_EQ(errors, c.errors);
        EXPECT_EQ(client.initCount, c.inits);
        // Whatever the level, the next request is a login.
        EXPECT_EQ(client.requests.back().rfind("login?", 0), 0u) << client.requests.back();
    }
}

TEST_F(ServiceLoop, TcpPauseIs15UntilASequenceEndedThen60) {
    client.fail("Couldn't connect to server");
    client.fail("Couldn't connect to server");
    login();
    checkIns(2);
    client.fail("Timeout was reached");  // ends the first sequence
    client.fail("Couldn't connect to server");  // at the next login
    client.reply(R"({"ResponseMessage":"x"})");
    client.fail("Couldn't connect to server");
    stopScript();
    run();
    EXPECT_THAT(seams.sleeps, ElementsAre(15, 15, 60, 60, 60, 60));
}

TEST_F(ServiceLoop, InvalidTokenLogsInAgainOnTheSameTransportEveryTimeReported) {
    login();
    checkIns(2);
    checkIns(1, "InvalidToken");
    login();
    checkIns(1);
    checkIns(1, "InvalidToken");
    login();
    client.fail("Couldn't connect to server");  // a sequence has ended: 60 s
    stopScript();
    run();
    EXPECT_THAT(seams.sleeps, ElementsAre(60, 60, 60));
    EXPECT_EQ(client.initCount, 2);  // only the TCP failure re-initialised
    EXPECT_EQ(count("CheckIn Invalid Token : InvalidToken"), 2);
    // The first check-in after each new login is reported again.
    EXPECT_EQ(count(SUCCESS_LINE), 2);
    EXPECT_EQ(count("Login Successful"), 3);
}

TEST_F(ServiceLoop, TcpAndOtherReportedOnOccurrences1_15_29) {
    for (int i = 0; i < 30; ++i) client.fail("Couldn't connect to server");
    stopScript();
    run();
    EXPECT_THAT(reportedFailures("TCP exception  : "), ElementsAre(1, 15, 29));
    EXPECT_EQ(seams.sleeps.size(), 30u);

    seams.events.clear();
    seams.sleeps.clear();
    for (int i = 0; i < 30; ++i) client.reply("not json");
    stopScript();
    run();
    EXPECT_THAT(reportedFailures("Other Exception  : "), ElementsAre(1, 15, 29));
}

TEST_F(ServiceLoop, UnexpectedReportedOnOccurrences1_3_5) {
    for (int i = 0; i < 6; ++i) {
        login();
        checkIns(1, "Broken");
    }
    stopScript();
    run();
    EXPECT_THAT(reportedFailures("Unexpected exception occurred : "), ElementsAre(1, 3, 5));
    EXPECT_THAT(seams.sleeps, ElementsAre(6, 6, 6, 6, 6, 6));
}

TEST_F(ServiceLoop, LoginAndRegistrationErrorsReportedOncePerOuterCycle) {
    for (int i = 0; i < 3; ++i) client.reply(R"({"ResponseMessage":"Locked"})");
    for (int i = 0; i < 2; ++i) client.raise([] { throw RegistrationException("NotInManufactured"); });
    client.fail("Couldn't connect to server");  // new outer cycle clears both counters
    for (int i = 0; i < 2; ++i) client.reply(R"({"ResponseMessage":"Locked"})");
    for (int i = 0; i < 2; ++i) client.raise([] { throw RegistrationException("NotInManufactured"); });
    stopScript();
    run();
    EXPECT_THAT(reportedFailures("Login Error Response is : Locked"), ElementsAre(1, 7));
    EXPECT_THAT(reportedFailures("Registration Error Response is : NotInManufactured"), ElementsAre(4, 9));
    EXPECT_THAT(seams.sleeps, ElementsAre(60, 60, 60, 1800, 1800, 15, 60, 60, 1800, 1800));
    EXPECT_EQ(client.initCount, 2);
}

}  // namespace
