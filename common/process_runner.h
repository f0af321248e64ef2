// Runs router programs with an explicit argument list (no shell) and captures
// what they write to standard output and standard error.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

struct ProcessResult {
    int status = -1;     // raw wait status, -1 when waiting failed
    std::string output;  // stdout and stderr, every byte, in pipe order
};

struct ProcessPipe {
    FILE* stream = nullptr;  // read end of the child's stdout/stderr
    pid_t pid = -1;          // -1 when no child was started
};

// Sets SIGCHLD to SIG_DFL for its lifetime, so that waitpid gets the child's
// status (under SIG_IGN the kernel reaps it and the status is lost), and puts
// back whatever was in force before, also when an exception passes.
class ChildSignalGuard {
public:
    ChildSignalGuard();
    ~ChildSignalGuard();
    ChildSignalGuard(const ChildSignalGuard&) = delete;
    ChildSignalGuard& operator=(const ChildSignalGuard&) = delete;

private:
    struct sigaction saved_ {};
};

// Starts `program` (PATH lookup) with argv[0] = program. A failed fork prints
// "fork: ..." and ends the calling program with status 1, as the router tools
// cannot be run at all then. When no pipe can be made, no child is started.
ProcessPipe openProcessPipe(const std::string& program, const std::vector<std::string>& args);
// Closes the stream and reaps the child; returns the raw status or -1.
int closeProcessPipe(FILE* stream, pid_t pid);

// Blocks until the child and everything that inherited its output are done.
// A program that cannot be started gives status 256 and the output
// "execvp: <reason>\n".
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args);
