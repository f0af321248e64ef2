#include "commands/change_passwd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "commands/command_table.h"
#include "commands/name_check.h"
#include "core/debug_log.h"
#include "core/shell.h"
#include "platform/endpoints.h"

namespace {

const std::string PROMPTS[] = {"New password:", "Retype password:"};
constexpr size_t LONGEST_PROMPT = 16;  // "Retype password:"

class Fd {
public:
    Fd() = default;
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// A pipe whose ends are close-on-exec and above the standard descriptors, so
// that the child's dup2 onto 0 and 1 never clobbers the other end (an agent
// started with closed standard streams gets pipes at 0 to 2).
bool makePipe(Fd& readEnd, Fd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    for (int i = 0; i < 2; ++i) {
        Fd& end = i == 0 ? readEnd : writeEnd;
        if (fds[i] > STDERR_FILENO) {
            end.reset(fds[i]);
            continue;
        }
        end.reset(::fcntl(fds[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
        ::close(fds[i]);
    }
    return readEnd.get() >= 0 && writeEnd.get() >= 0;
}

// Writing to a passwd that has already ended must give EPIPE, not end the
// agent by SIGPIPE.
class IgnoreBrokenPipe {
public:
    IgnoreBrokenPipe() {
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        sigemptyset(&ign.sa_mask);
        ::sigaction(SIGPIPE, &ign, &saved_);
    }
    ~IgnoreBrokenPipe() { ::sigaction(SIGPIPE, &saved_, nullptr); }
    IgnoreBrokenPipe(const IgnoreBrokenPipe&) = delete;
    IgnoreBrokenPipe& operator=(const IgnoreBrokenPipe&) = delete;

private:
    struct sigaction saved_ {};
};

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

int exitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

// Looks for prompts in what passwd printed so far and queues one answer per
// prompt. Text that may be the start of a prompt split over two reads is kept.
void answerPrompts(std::string& seen, std::string& toWrite, const std::string& answer) {
    for (;;) {
        size_t at = std::string::npos;
        size_t length = 0;
        for (const auto& prompt : PROMPTS) {
            const size_t p = seen.find(prompt);
            if (p < at) {
                at = p;
                length = prompt.size();
            }
        }
        if (at == std::string::npos) break;
        toWrite += answer;
        seen.erase(0, at + length);
    }
    if (seen.size() >= LONGEST_PROMPT) seen.erase(0, seen.size() - (LONGEST_PROMPT - 1));
}

}  // namespace

int changePassword(const std::string& account, const std::string& password, const std::string& program,
                   std::chrono::milliseconds bound) {
    Fd outRead, outWrite, inRead, inWrite;  // out: passwd to agent; in: agent to passwd
    if (!makePipe(outRead, outWrite) || !makePipe(inRead, inWrite)) return 1;

    // Everything the child touches is prepared here: after vfork it shares
    // the agent's memory and must not allocate.
    std::string arg0 = program;
    std::string arg1 = account;
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    char* envp[] = {nullptr};
    struct sigaction dflPipe {};
    dflPipe.sa_handler = SIG_DFL;
    sigemptyset(&dflPipe.sa_mask);
    const int childIn = inRead.get();
    const int childOut = outWrite.get();

    IgnoreBrokenPipe noSigpipe;
    const pid_t pid = ::vfork();
    if (pid < 0) return 1;
    if (pid == 0) {
        // dup2 clears close-on-exec on the copies; the originals close at exec.
        ::dup2(childIn, STDIN_FILENO);
        ::dup2(childOut, STDOUT_FILENO);
        // An ignored SIGPIPE would survive execve; passwd gets the default.
        ::sigaction(SIGPIPE, &dflPipe, nullptr);
        ::execve(argv[0], argv, envp);
        ::_exit(1);
    }
    outWrite.reset();
    inRead.reset();
    // The agent's end never blocks: a passwd that stops reading must not stop
    // the agent past the bound.
    ::fcntl(inWrite.get(), F_SETFL, ::fcntl(inWrite.get(), F_GETFL) | O_NONBLOCK);

    const std::string answer = password + "\n";
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::string seen;     // output not yet matched against the prompts
    std::string toWrite;  // answers not yet taken by passwd
    bool outputOpen = true;
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid) return exitCodeOf(status);
        if (ended < 0 && errno != EINTR) {
            debugLog("passwd can no longer be waited for");
            return 1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            debugLog("passwd did not finish in time, killing it");
            ::kill(pid, SIGKILL);
            reap(pid);
            return -1;
        }

        pollfd fds[2];
        nfds_t count = 0;
        int outIndex = -1, inIndex = -1;
        if (outputOpen) {
            outIndex = static_cast<int>(count);
            fds[count++] = {outRead.get(), POLLIN, 0};
        }
        if (!toWrite.empty()) {
            inIndex = static_cast<int>(count);
            fds[count++] = {inWrite.get(), POLLOUT, 0};
        }
        // With nothing to watch this is a 1 ms pause before asking again.
        if (::poll(count > 0 ? fds : nullptr, count, 1) <= 0) continue;

        if (outIndex >= 0 && fds[outIndex].revents != 0) {
            char buffer[256];
            const ssize_t n = ::read(outRead.get(), buffer, sizeof buffer);
            if (n > 0) {
                seen.append(buffer, static_cast<size_t>(n));
                answerPrompts(seen, toWrite, answer);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                outputOpen = false;  // passwd closed its output; wait for its end
            }
        }
        if (inIndex >= 0 && fds[inIndex].revents != 0) {
            const ssize_t n = ::write(inWrite.get(), toWrite.data(), toWrite.size());
            if (n > 0) {
                toWrite.erase(0, static_cast<size_t>(n));
            } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                toWrite.clear();  // passwd stopped reading for good
            }
        }
    }
}

void ChangePasswd::execute() {
    response = client->getRequest(std::string(endpoint::CHANGE_PASSWORD) + "?deviceuuid=" + aggregator->uuid +
                                  "&token=" + aggregator->token);
    const std::string account = getJSONStringValue("Username");
    const std::string password = getJSONStringValue("Password");
    debugLog("Changing password for " + account);

    int result = 1;
    // An account such as "-d" would reach passwd as an option (remove the
    // password of the agent's own user, root). An empty password would leave
    // the account open to anyone, and one with a line break or a zero byte
    // cannot be typed at the prompts as one line: passwd would set only a
    // part of it and still report success.
    if (!isSafeName(account) || account.front() == '-') {
        debugLog("Refusing account name for passwd");
    } else if (password.empty() || password.find_first_of(std::string("\n\r\0", 3)) != std::string::npos) {
        debugLog("Refusing a password that is empty or not one line");
    } else {
        ChildSignalGuard guard;
        result = changePassword(account, password, program_, bound_);
    }
    if (result == 0) {
        commandCompleted("changepassword", true, "");
    } else {
        commandCompleted("changepassword", false, "Password%20not%20changed");
    }
}

Response* declareChangePasswd(Aggregator* aggregator, Client* client) { return new ChangePasswd(aggregator, client); }
