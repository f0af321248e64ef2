// What the agent does once started: initialise the transport, log in, check
// in again and again, and recover from every failure with a pause that
// depends on the failure's class. Never returns.
#pragma once

#include <string>

#include "commands/response.h"
#include "core/paths.h"
#include "platform/cloud_services.h"

// `services` makes the login and check-in calls on `client`; its device
// record names the device in syslog. After every successful check-in
// `heartbeatFile` is rewritten to hold exactly "OK".
//
// Only exceptions derived from std::exception are handled; anything else
// leaves the loop (tests stop it that way).
[[noreturn]] void runServiceLoop(CloudServices& services, Client& client, const CommandEntry* table, int count,
                                 const std::string& heartbeatFile = WATCHER_FILE);
