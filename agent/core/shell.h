// Agent-only additions to the process runner.
#pragma once

#include <string>

// ChildSignalGuard lives with the runner that needs it; the agent's own child
// processes (the password change) use the same guard.
#include "process_runner.h"

// Runs `command` through /bin/sh with its output sent to /dev/null and logs
// "SYS command is : ..." to the debug log. Returns the raw wait status.
int runShellCommand(const std::string& command);

// Quotes `word` for /bin/sh as one word: single quotes, embedded single
// quotes written as '\''.
std::string shellQuote(const std::string& word);
