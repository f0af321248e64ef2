#include "process_runner.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace {

// Starts the child the cheap way: posix_spawnp shares the caller's memory
// until the exec instead of copying its page tables (kivstatus starts nine
// scripts for one report). The child gets the same descriptors as below.
// False when it could not be started this way; the caller then forks, so
// that every failure (and the shell fallback for scripts without "#!")
// looks exactly as it always did.
bool spawnChild(char* const argv[], const int fds[2], pid_t* pid) {
    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0) return false;
    bool ok = ::posix_spawn_file_actions_addclose(&actions, fds[0]) == 0 &&
              ::posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO) == 0 &&
              ::posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO) == 0;
    if (ok && fds[1] != STDOUT_FILENO && fds[1] != STDERR_FILENO) {
        ok = ::posix_spawn_file_actions_addclose(&actions, fds[1]) == 0;
    }
    ok = ok && ::posix_spawnp(pid, argv[0], &actions, nullptr, argv, environ) == 0;
    ::posix_spawn_file_actions_destroy(&actions);
    return ok;
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

    pid_t pid = -1;
    if (!spawnChild(argv.data(), fds, &pid)) pid = ::fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(1);
    }
    if (pid == 0) {  // only when spawning failed: reproduces its failure here
        ::close(fds[0]);
        ::dup2(fds[1], STDOUT_FILENO);
        ::dup2(fds[1], STDERR_FILENO);
        if (fds[1] != STDOUT_FILENO && fds[1] != STDERR_FILENO) ::close(fds[1]);
        ::execvp(argv[0], argv.data());
        std::perror("execvp");
        ::_exit(1);
    }
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
