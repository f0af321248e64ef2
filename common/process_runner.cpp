#include "process_runner.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Runs in the child of a vfork: it shares the caller's memory until the exec,
// so it touches nothing but its own stack and makes only system calls.
[[noreturn]] void execChild(char* const argv[], const int fds[2]) {
    ::close(fds[0]);
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    if (fds[1] != STDOUT_FILENO && fds[1] != STDERR_FILENO) ::close(fds[1]);
    ::execvp(argv[0], argv);
    // What perror("execvp") prints, without stdio: it goes to the pipe, so
    // the caller receives it as the program's output.
    const char* reason = std::strerror(errno);
    const char prefix[] = "execvp: ";
    ssize_t ignored = ::write(STDERR_FILENO, prefix, sizeof prefix - 1);
    ignored = ::write(STDERR_FILENO, reason, std::strlen(reason));
    ignored = ::write(STDERR_FILENO, "\n", 1);
    (void)ignored;
    ::_exit(1);
}

}  // namespace

ChildSignalGuard::ChildSignalGuard() {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(SIGCHLD, &dfl, &saved_);
}

ChildSignalGuard::~ChildSignalGuard() { ::sigaction(SIGCHLD, &saved_, nullptr); }

ProcessPipe openProcessPipe(const std::string& program, const std::vector<std::string>& args) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    // The argument vector is built before the fork: allocating in the child of
    // a threaded test process is not safe.
    std::vector<std::string> copies;
    copies.reserve(args.size() + 1);
    copies.push_back(program);
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : copies) argv.push_back(s.data());
    argv.push_back(nullptr);

    // vfork rather than fork: the caller's page tables are not copied, which
    // matters when kivstatus starts nine scripts for one report, and the
    // child reports a failed exec itself in every environment.
    const pid_t pid = ::vfork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(1);
    }
    if (pid == 0) execChild(argv.data(), fds);
    ::close(fds[1]);
    FILE* stream = ::fdopen(fds[0], "r");
    if (stream == nullptr) ::close(fds[0]);
    return {stream, pid};
}

int closeProcessPipe(FILE* stream, pid_t pid) {
    if (stream != nullptr) std::fclose(stream);
    int status = 0;
    for (;;) {
        if (::waitpid(pid, &status, 0) == pid) return status;
        if (errno != EINTR) return -1;
    }
}

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args) {
    ChildSignalGuard guard;
    ProcessResult result;
    const ProcessPipe child = openProcessPipe(program, args);
    if (child.pid < 0) return result;
    if (child.stream != nullptr) {
        // Binary-safe: every byte is kept, NUL bytes included.
        char chunk[4096];
        for (;;) {
            const size_t n = std::fread(chunk, 1, sizeof chunk, child.stream);
            result.output.append(chunk, n);
            if (n == sizeof chunk) continue;
            if (std::ferror(child.stream) && errno == EINTR) {
                std::clearerr(child.stream);
                continue;
            }
            break;
        }
    }
    result.status = closeProcessPipe(child.stream, child.pid);
    return result;
}
