// Agent-only additions to the process runner.
#pragma once

#include <csignal>
#include <string>

// Runs `command` through /bin/sh with its output sent to /dev/null and logs
// "SYS command is : ..." to the debug log. Returns the raw wait status.
int runShellCommand(const std::string& command);

// Quotes `word` for /bin/sh as one word: single quotes, embedded single
// quotes written as '\''.
std::string shellQuote(const std::string& word);

// Sets SIGCHLD to SIG_DFL for its lifetime so that children can be reaped,
// and puts back whatever was in force before, also on exceptions.
class ChildSignalGuard {
public:
    ChildSignalGuard();
    ~ChildSignalGuard();
    ChildSignalGuard(const ChildSignalGuard&) = delete;
    ChildSignalGuard& operator=(const ChildSignalGuard&) = delete;

private:
    struct sigaction saved_ {};
};
