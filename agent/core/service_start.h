// Second half of the start-up: transport, command table, platform-call
// object and versions, then the service loop.
#pragma once

#include "core/aggregator.h"
#include "settings_store.h"

// Returns only when the agent is to end (the service loop never does).
int startServices(Aggregator& aggregator, const SettingsStore& agentSettings);
