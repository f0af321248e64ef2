#include "process_runner.h"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "temp_dir.h"

TEST(RunProcess, FindsBarePrograms) {
    TempDir dir;
    const std::string path = dir.write("version", "7.1.2\n");
    const ProcessResult r = runProcess("cat", {path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "7.1.2\n");
}

TEST(RunProcess, PassesArgumentsAsGivenWithTheProgramAsArgumentZero) {
    EXPECT_EQ(runProcess("printf", {"%s|", "a b", "", "$HOME", "*"}).output, "a b||$HOME|*|");
    EXPECT_EQ(runProcess("/bin/sh", {"-c", "echo $0"}).output, "/bin/sh\n");
}

TEST(RunProcess, ReportsTheRawWaitStatus) {
    const struct {
        const char* script;
        int status;
    } cases[] = {
        {"exit 0", 0},
        {"exit 1", 256},
        {"exit 2", 512},
        {"kill -9 $$", SIGKILL},
    };
    for (const auto& c : cases) EXPECT_EQ(runProcess("/bin/sh", {"-c", c.script}).status, c.status) << c.script;
}

TEST(RunProcess, MissingProgramGivesStatus256AndTheExecMessage) {
    const ProcessResult r = runProcess("kiv-no-such-program", {"x"});
    EXPECT_EQ(r.status, 256);
    EXPECT_EQ(r.output, "execvp: No such file or directory\n");
    EXPECT_EQ(runProcess("/nonexistent/tool", {}).status, 256);
}

TEST(RunProcess, InterleavesStandardErrorWithStandardOutput) {
    const ProcessResult r = runProcess("/bin/sh", {"-c", "echo out1; echo err1 >&2; echo out2; echo err2 >&2"});
    EXPECT_EQ(r.output, "out1\nerr1\nout2\nerr2\n");
}

// Long lines, lines without an end, NUL and high bytes: the output is the
// child's bytes, all of them.
TEST(RunProcess, KeepsEveryByteOfTheOutput) {
    std::string content;
    for (int round = 0; round < 40; ++round) {
        for (int b = 0; b < 256; ++b) content += static_cast<char>(b == '\n' ? 0 : b);
    }
    content += std::string(100000, 'x') + "\n" + std::string("a\0b", 3);
    TempDir dir;
    const ProcessResult r = runProcess("cat", {dir.write("binary", content)});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.size(), content.size());
    EXPECT_TRUE(r.output == content);
}

// End of output is when every holder of the pipe has closed it, background
// children included.
TEST(RunProcess, WaitsForBackgroundHoldersOfTheOutput) {
    const ProcessResult r = runProcess("/bin/sh", {"-c", "(sleep 0.3; echo late) & echo early"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "early\nlate\n");
}

namespace {
void noteChild(int) {}
}  // namespace

// Under SIG_IGN the kernel would reap the child and the status would be lost;
// afterwards the caller's disposition must be back, whatever it was.
TEST(RunProcess, GetsTheStatusUnderAnySigchldDispositionAndRestoresIt) {
    struct sigaction before {};
    ASSERT_EQ(::sigaction(SIGCHLD, nullptr, &before), 0);
    for (const auto handler : {SIG_IGN, SIG_DFL, &noteChild}) {
        struct sigaction set {};
        set.sa_handler = handler;
        sigemptyset(&set.sa_mask);
        ASSERT_EQ(::sigaction(SIGCHLD, &set, nullptr), 0);

        EXPECT_EQ(runProcess("/bin/sh", {"-c", "exit 2"}).status, 512);

        struct sigaction after {};
        ::sigaction(SIGCHLD, nullptr, &after);
        EXPECT_EQ(after.sa_handler, handler);
    }
    ::sigaction(SIGCHLD, &before, nullptr);
}

TEST(ChildSignalGuard, RestoresTheDispositionAlsoWhenAnExceptionPasses) {
    struct sigaction before {};
    ::sigaction(SIGCHLD, nullptr, &before);
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    ::sigaction(SIGCHLD, &ign, nullptr);
    try {
        ChildSignalGuard guard;
        struct sigaction inside {};
        ::sigaction(SIGCHLD, nullptr, &inside);
        EXPECT_EQ(inside.sa_handler, SIG_DFL);
        throw 1;
    } catch (int) {
    }
    struct sigaction after {};
    ::sigaction(SIGCHLD, nullptr, &after);
    EXPECT_EQ(after.sa_handler, SIG_IGN);
    ::sigaction(SIGCHLD, &before, nullptr);
}

// Children are started without copying the caller; what the exec does with
// odd files must not change with it.
TEST(RunProcess, ScriptWithoutInterpreterLineRunsThroughTheShellAndUnrunnableFilesFail) {
    TempDir dir;
    const std::string script = dir.write("plain-script", "echo \"plain $1\"\nexit 3\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    const ProcessResult plain = runProcess(script, {"x"});
    EXPECT_EQ(plain.status, 768);
    EXPECT_EQ(plain.output, "plain x\n");

    const std::string data = dir.write("not-executable", "#!/bin/sh\necho no\n");
    const ProcessResult denied = runProcess(data, {});
    EXPECT_EQ(denied.status, 256);
    EXPECT_EQ(denied.output, "execvp: Permission denied\n");
}
