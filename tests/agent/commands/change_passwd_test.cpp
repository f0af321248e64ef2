// The password dialogue against scripted passwd programs in a private
// directory: what passwd receives, how its end is read, and that a passwd
// that stops answering cannot hold the agent.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>

#include "../../common/temp_dir.h"
#include "commands/change_passwd.h"
#include "unit/fake_client.h"

namespace {

using namespace std::chrono_literals;

// A passwd that prints a heading and the two prompts, records its argument
// count, argument 0, argument 1, an environment variable and the two lines it
// read, and then runs `tail` (its exit).
std::string fakePasswd(const TempDir& dir, const std::string& tail = "exit 0",
                       const std::string& prompts = "printf 'New password: '") {
    const std::string record = dir.file("record");
    const std::string path = dir.write("passwd",
                                       "#!/bin/sh\n"
                                       "printf 'Changing password for %s\\n' \"$1\"\n" +
                                           prompts +
                                           "\n"
                                           "IFS= read -r a\n"
                                           "printf 'Retype password: '\n"
                                           "IFS= read -r b\n"
                                           "{ echo \"$#|$0|$1|${KIV_PASSWD_PROBE-unset}\"; echo \"$a\"; echo \"$b\"; } > '" +
                                           record + "'\n" + tail + "\n");
    ::chmod(path.c_str(), 0755);
    return path;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        const size_t nl = text.find('\n', start);
        out.push_back(text.substr(start, nl - start));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return out;
}

TEST(ChangePassword, AnswersBothPromptsWithAnEmptyEnvironment) {
    TempDir dir;
    const std::string passwd = fakePasswd(dir);
    ::setenv("KIV_PASSWD_PROBE", "leaked", 1);
    EXPECT_EQ(changePassword("operator", "S3cret pass", passwd), 0);
    ::unsetenv("KIV_PASSWD_PROBE");
    EXPECT_EQ(lines(dir.read("record")),
              (std::vector<std::string>{"1|" + passwd + "|operator|unset", "S3cret pass", "S3cret pass"}));
}

TEST(ChangePassword, ReturnsPasswdsExitCode) {
    const struct {
        std::string tail;
        int expected;
    } cases[] = {{"exit 0", 0}, {"exit 1", 1}, {"exit 3", 3}, {"kill -9 $$", 128 + SIGKILL}};
    for (const auto& c : cases) {
        TempDir dir;
        EXPECT_EQ(changePassword("operator", "pw", fakePasswd(dir, c.tail)), c.expected) << c.tail;
    }
}

TEST(ChangePassword, SendsLongPasswordsWholeWithTheirNewline) {
    for (const size_t length : {254u, 255u, 300u, 5000u}) {
        TempDir dir;
        std::string password;
        for (size_t i = 0; i < length; ++i) password += static_cast<char>('a' + i % 26);
        ASSERT_EQ(changePassword("operator", password, fakePasswd(dir), 10s), 0) << length;
        const auto got = lines(dir.read("record"));
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[1], password);
        EXPECT_EQ(got[2], password);
    }
}

TEST(ChangePassword, RecognisesAPromptSplitOverTwoReads) {
    TempDir dir;
    const std::string passwd = fakePasswd(dir, "exit 0", "printf 'New pass'; sleep 0.2; printf 'word: '");
    EXPECT_EQ(changePassword("operator", "pw", passwd, 10s), 0);
    EXPECT_EQ(lines(dir.read("record")).at(1), "pw");
}

TEST(ChangePassword, KillsAndReapsAPasswdThatNeverEndsAfterTheBound) {
    TempDir dir;
    // Asks something the agent does not answer, and waits for ever.
    const std::string passwd = dir.write("passwd",
                                         "#!/bin/sh\necho $$ > '" + dir.file("pid") +
                                             "'\nprintf 'Current password: '\nread x\nexit 0\n");
    ::chmod(passwd.c_str(), 0755);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(changePassword("operator", "pw", passwd, 300ms), -1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 5s);
    const pid_t pid = std::stoi(dir.read("pid"));
    // Reaped, not a zombie: the pid no longer exists.
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(ChangePassword, SurvivesAPasswdThatEndsWithoutReading) {
    TempDir dir;
    // Closes its input, prompts, and ends successfully: writing the answer
    // meets a pipe nobody reads.
    const std::string passwd =
        dir.write("passwd", "#!/bin/sh\nexec 0<&-\nprintf 'New password: '\nsleep 0.2\nexit 0\n");
    ::chmod(passwd.c_str(), 0755);
    EXPECT_EQ(changePassword("operator", "pw", passwd, 10s), 0);
    struct sigaction now {};
    ::sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

TEST(ChangePassword, ReportsAProgramThatCannotStart) {
    TempDir dir;
    EXPECT_NE(changePassword("operator", "pw", dir.file("missing")), 0);
}

// The command: request, checks, report.
class ChangePasswdCommand : public ::testing::Test {
protected:
    void SetUp() override {
        aggregator.uuid = "U-1";
        aggregator.token = "T-1";
        client.setDefaultReply("\"OK\"");
    }
    std::string run(const std::string& answer, const std::string& program,
                    std::chrono::milliseconds bound = PASSWD_DIALOGUE_BOUND) {
        client.reply(answer);
        ChangePasswd command(&aggregator, &client, program, bound);
        command.execute();
        EXPECT_EQ(client.requests.size(), 2u);
        EXPECT_EQ(client.requests.at(0), "changepassword?deviceuuid=U-1&token=T-1");
        return client.requests.back();
    }

    Aggregator aggregator;
    FakeClient client;
    const std::string failed =
        "commandcompleted?deviceuuid=U-1&token=T-1&command=changepassword&issuccess=false&errormessage="
        "Password%20not%20changed";
    const std::string succeeded =
        "commandcompleted?deviceuuid=U-1&token=T-1&command=changepassword&issuccess=true&errormessage=";
};

TEST_F(ChangePasswdCommand, ReportsPasswdsOutcome) {
    TempDir ok, refused;
    EXPECT_EQ(run(R"({"Username":"operator","Password":"N3w pass"})", fakePasswd(ok)), succeeded);
    EXPECT_EQ(lines(ok.read("record")).at(2), "N3w pass");
    client.requests.clear();
    EXPECT_EQ(run(R"({"Username":"operator","Password":"N3w pass"})", fakePasswd(refused, "exit 1")), failed);
}

TEST_F(ChangePasswdCommand, ReportsAPasswdKilledAfterTheBound) {
    TempDir dir;
    const std::string passwd = dir.write("passwd", "#!/bin/sh\nprintf 'Old password: '\nread x\n");
    ::chmod(passwd.c_str(), 0755);
    EXPECT_EQ(run(R"({"Username":"operator","Password":"pw"})", passwd, 200ms), failed);
}

// Accounts that passwd would take as options or that are no account name, and
// passwords that cannot be typed as one line: passwd is not started at all.
TEST_F(ChangePasswdCommand, RefusesAccountsAndPasswordsPasswdWouldMisread) {
    const std::string answers[] = {
        R"({"Username":"-d","Password":"N3w pass"})",
        R"({"Username":"--delete","Password":"N3w pass"})",
        R"({"Username":"op erator","Password":"N3w pass"})",
        R"({"Username":"../root","Password":"N3w pass"})",
        R"({"Password":"N3w pass"})",
        R"({"Username":"operator","Password":""})",
        R"({"Username":"operator"})",
        R"({"Username":"operator","Password":"first\nsecond"})",
        R"({"Username":"operator","Password":"cut\u0000here"})",
    };
    for (const auto& answer : answers) {
        TempDir dir;
        client.requests.clear();
        EXPECT_EQ(run(answer, fakePasswd(dir)), failed) << answer;
        EXPECT_FALSE(std::ifstream(dir.file("record")).good()) << answer;
    }
}

// The agent may run with SIGCHLD ignored; the child's status must still be
// seen, and the disposition comes back afterwards.
TEST_F(ChangePasswdCommand, SeesPasswdsEndWhileTheAgentIgnoresSigchld) {
    TempDir dir;
    struct sigaction ign {}, before {}, after {};
    ign.sa_handler = SIG_IGN;
    ::sigaction(SIGCHLD, &ign, &before);
    const std::string report = run(R"({"Username":"operator","Password":"pw"})", fakePasswd(dir));
    ::sigaction(SIGCHLD, &before, &after);
    EXPECT_EQ(report, succeeded);
    EXPECT_EQ(after.sa_handler, SIG_IGN);
}

}  // namespace
