// The password change on the router: the command with the real HTTP transport
// against the test platform, a scripted passwd at /usr/bin/passwd, and the
// real BusyBox passwd on a test account of the sandbox's /etc/passwd and
// /etc/shadow, also through a whole check-in of the installed agent.
#include <crypt.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>

#include "unit/lines.h"
#include "commands/change_passwd.h"
#include "commands/command_table.h"
#include "platform/http.h"
#include "platform/test_platform.h"
#include "sandbox/sandbox.h"

namespace {

using namespace std::chrono_literals;
using sandbox::exists;
using sandbox::readFile;
using testplatform::Reply;
using testplatform::Request;

const std::string RECORD = "/var/log/kiv-passwd";
const std::string ACCOUNT = "kivtest";
const std::string FAILED = "deviceuuid=U-1&token=T-1&command=changepassword&issuccess=false&errormessage="
                           "Password%20not%20changed";
const std::string SUCCEEDED = "deviceuuid=U-1&token=T-1&command=changepassword&issuccess=true&errormessage=";

// A passwd that plays the router's dialogue, records its arguments and the
// two lines it read, and ends with `exitCode`.
void installScriptedPasswd(int exitCode) {
    sandbox::writeFile(PASSWD_PROGRAM,
                       "#!/bin/sh\n"
                       "printf 'Changing password for %s\\n' \"$1\"\n"
                       "printf 'New password: '\nIFS= read -r a\n"
                       "printf 'Retype password: '\nIFS= read -r b\n"
                       "{ echo \"$0 $*\"; echo \"$a\"; echo \"$b\"; echo \"$$\"; } > " +
                           RECORD + "\nexit " + std::to_string(exitCode) + "\n",
                       0755);
}

// Replaces the line of `account` in an account file (or adds it).
void setAccountLine(const std::string& file, const std::string& line) {
    std::string kept;
    for (const auto& l : lines(readFile(file))) {
        if (l.rfind(ACCOUNT + ":", 0) != 0) kept += l + "\n";
    }
    sandbox::writeFile(file, kept + line + "\n", file == "/etc/shadow" ? 0640 : 0644);
}

// The test account, with a locked password, and BusyBox as passwd.
void installBusyBoxPasswd() {
    sandbox::removeAll(PASSWD_PROGRAM);
    ASSERT_EQ(::symlink("/usr/bin/busybox", PASSWD_PROGRAM.c_str()), 0) << std::strerror(errno);
    setAccountLine("/etc/passwd", ACCOUNT + ":x:1500:1500::/home/" + ACCOUNT + ":/bin/sh");
    setAccountLine("/etc/shadow", ACCOUNT + ":!:19000:0:99999:7:::");
}

// The hash field of the test account in /etc/shadow.
std::string shadowHash() {
    for (const auto& line : lines(readFile("/etc/shadow"))) {
        if (line.rfind(ACCOUNT + ":", 0) != 0) continue;
        const auto start = ACCOUNT.size() + 1;
        return line.substr(start, line.find(':', start) - start);
    }
    return std::string();
}

bool verifies(const std::string& password, const std::string& hash) {
    crypt_data data{};
    const char* out = ::crypt_r(password.c_str(), hash.c_str(), &data);
    return out != nullptr && hash == out;
}

std::string answer(const std::string& account, const std::string& password) {
    return "{\"Username\":\"" + account + "\",\"Password\":\"" + password + "\"}";
}

class ChangePasswdE2E : public ::testing::Test {
protected:
    void SetUp() override {
        KIV_REQUIRE_SANDBOX();
        sandbox::resetRouter();
        sandbox::removeAll(RECORD);
        aggregator.uuid = "U-1";
        aggregator.token = "T-1";
        platform.answer("commandcompleted", {{200, "\"ok\""}});
        http = std::make_unique<HTTP>("127.0.0.1", std::to_string(platform.port()), "http");
        http->init();
    }

    // Runs the command as the command table creates it, or with a short bound.
    std::string change(const std::string& reply, std::chrono::milliseconds bound = PASSWD_DIALOGUE_BOUND) {
        platform.answer("changepassword", {{200, reply}});
        std::unique_ptr<Response> command(bound == PASSWD_DIALOGUE_BOUND
                                              ? declareChangePasswd(&aggregator, http.get())
                                              : new ChangePasswd(&aggregator, http.get(), PASSWD_PROGRAM, bound));
        command->execute();
        EXPECT_EQ(platform.requests("changepassword").back().query, "deviceuuid=U-1&token=T-1");
        const auto reports = platform.requests("commandcompleted");
        return reports.empty() ? std::string() : reports.back().query;
    }

    testplatform::TestPlatform platform;
    Aggregator aggregator;
    std::unique_ptr<HTTP> http;
};

TEST_F(ChangePasswdE2E, ScriptedPasswdReceivesThePasswordAtBothPrompts) {
    std::string longPassword;
    for (int i = 0; i < 300; ++i) longPassword += static_cast<char>('A' + i % 26);
    const struct {
        int exitCode;
        std::string password;
        std::string report;
    } cases[] = {
        {0, "N3w pass!", SUCCEEDED},
        {1, "N3w pass!", FAILED},
        {0, longPassword, SUCCEEDED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exitCode);
        installScriptedPasswd(c.exitCode);
        EXPECT_EQ(change(answer("operator", c.password)), c.report);
        const auto got = lines(readFile(RECORD));
        ASSERT_EQ(got.size(), 4u);
        EXPECT_EQ(got[0], PASSWD_PROGRAM + " operator");
        EXPECT_EQ(got[1], c.password);
        EXPECT_EQ(got[2], c.password);
    }
}

TEST_F(ChangePasswdE2E, APasswdThatNeverAnswersIsKilledAfterTheBound) {
    sandbox::writeFile(PASSWD_PROGRAM,
                       "#!/bin/sh\necho $$ > " + RECORD + "\nprintf 'Current password: '\nread x\nexit 0\n", 0755);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(change(answer("operator", "pw"), 500ms), FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    const pid_t pid = std::stoi(readFile(RECORD));
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(ChangePasswdE2E, BusyBoxPasswdStoresAHashOfTheNewPassword) {
    installBusyBoxPasswd();
    const std::string password = "Wq7#pump-station-42";
    EXPECT_EQ(change(answer(ACCOUNT, password)), SUCCEEDED);
    const std::string hash = shadowHash();
    ASSERT_EQ(hash.rfind("$", 0), 0u) << hash;
    EXPECT_TRUE(verifies(password, hash)) << hash;
    EXPECT_FALSE(verifies(password + "x", hash));

    // An account passwd does not know: its refusal is reported.
    EXPECT_EQ(change(answer("nosuchuser", password)), FAILED);
    EXPECT_EQ(shadowHash(), hash);
}

// The installed agent logs in, is told to change the password, plays the
// dialogue with BusyBox passwd and reports before its next check-in.
TEST_F(ChangePasswdE2E, AgentChangesAPasswordThroughACheckIn) {
    installBusyBoxPasswd();
    sandbox::AgentLayout layout;
    layout.port = std::to_string(platform.port());
    layout.sleep = "1";
    layout.withIdentity = true;
    layout.uuid = "U-1";
    sandbox::writeAgentLayout(layout, KIV_AGENT_BINARY);
    const std::string password = "Rt5!valve-house-9";
    platform.answer("login", {{200, "{\"ResponseMessage\":\"Success\",\"AuthenticationToken\":\"T-9\"}"}});
    platform.answer("checkin", {{200, "\"ChangePassword\""}, {200, "\"NoActivity\""}});
    platform.answer("changepassword", {{200, answer(ACCOUNT, password)}});

    sandbox::Process agent({"/opt/kivclient/kivclient"}, {{"LD_PRELOAD", KIV_SHIM_LIBRARY},
                                                          {"KIV_SHIM_LOG", "/var/log/kiv-shim"},
                                                          {"KIV_SHIM_SLEEP_MS", "20"}});
    const bool reported =
        sandbox::eventually([&] { return platform.requests("checkin").size() >= 2; }, std::chrono::seconds(20));
    agent.stop();
    ASSERT_TRUE(reported) << agent.outputSoFar();

    const auto reports = platform.requests("commandcompleted");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].query,
              "deviceuuid=U-1&token=T-9&command=changepassword&issuccess=true&errormessage=");
    EXPECT_EQ(platform.requests("changepassword").at(0).query, "deviceuuid=U-1&token=T-9");
    EXPECT_TRUE(verifies(password, shadowHash())) << shadowHash();
}

}  // namespace
