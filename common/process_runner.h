// Runs router programs with an explicit argument list (no shell) and captures
// what they write to standard output and standard error.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

struct ProcessResult {
    int status = -1;     // raw wait status, -1 when waiting failed
    std::string output;  // stdout and stderr, every byte, in pipe order
};

struct ProcessPipe {
    FILE* stream = nullptr;  // read end of the child's stdout/stderr
    pid_t pid = -1;
};

// Starts `program` (PATH lookup) with argv[0] = program. A failed fork prints
// "fork: ..." and ends the calling program with status 1, as the router tools
// cannot be run at all then.
ProcessPipe openProcessPipe(const std::string& program, const std::vector<std::string>& args);
// Closes the stream and reaps the child; returns the raw status or -1.
int closeProcessPipe(FILE* stream, pid_t pid);

// Blocks until the child and everything that inherited its output are done.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args);
