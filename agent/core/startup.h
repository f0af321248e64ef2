// The agent's entry: opens syslog, loads settings and identity into the
// device record, then hands over to the service loop.
#pragma once

#include <string>

#include "core/aggregator.h"
#include "settings_store.h"

// The whole start-up; returns the process exit status for a handled
// start-up failure (the service loop itself never returns).
int runAgent(int argc, char** argv);

// First-start identity: 15 characters of the 62-letter alphabet, drawn from
// the kernel's random source without modulo bias.
std::string gen_random(size_t length);
