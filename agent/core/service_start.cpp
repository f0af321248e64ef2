#include "core/service_start.h"

#include <syslog.h>

#include <exception>
#include <vector>

#include "commands/command_table.h"
#include "core/debug_log.h"
#include "core/paths.h"
#include "core/seams.h"
#include "core/service_loop.h"
#include "platform/cloud_services.h"
#include "platform/http.h"
#include "process_runner.h"

namespace {

// The version file's text as `cat` prints it (its error text when the file
// cannot be read), line end included; encoded for the query string.
std::string readVersion(const std::string& path, const std::string& label) {
    const ProcessResult r = runProcess("cat", {path});
    debugLog(label + r.output);
    return encodeQueryValue(r.output);
}

}  // namespace

int startServices(Aggregator& aggregator, const SettingsStore& agentSettings) {
    // Built once; they live as long as the process, since the loop never
    // returns. A failure before the loop ends the agent like a failed
    // start-up: a syslog line, then exit status 1 (the watchdog restarts it).
    try {
        debugLog("Creating Client Instance : ");
        debugLog("PORT:" + aggregator.port);
        debugLog("HOST:" + aggregator.hostedPlatform);
        debugLog("CONN:" + aggregator.connType);
        HTTP http(aggregator.hostedPlatform, aggregator.port, aggregator.connType);
        http.setTimeout(agentSettings.get("timeout"));
        if (agentSettings.has("cafile")) http.setCaFile(agentSettings.get("cafile"));

        debugLog("Creating Command lookup table : ");
        const std::vector<CommandEntry> table = buildCommandTable();

        CloudServices services(&aggregator, &http);
        services.firmwareVersion = readVersion(FIRMWARE_VERSION, "Firmware version is : ");
        services.orbletVersion = readVersion(VERSION, "KIVClient version is : ");

        runServiceLoop(services, http, table.data(), static_cast<int>(table.size()));
    } catch (const std::exception& e) {
        seams().syslog(LOG_ERR, std::string("Unexpected exception occurred : ") + e.what());
        debugLog(std::string("Unexpected exception occurred : ") + e.what());
    }
    return 1;
}
