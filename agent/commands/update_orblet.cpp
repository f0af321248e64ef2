#include "commands/add_module.h"
#include "commands/command_table.h"
#include "commands/name_check.h"
#include "core/debug_log.h"
#include "core/paths.h"
#include "core/shell.h"
#include "platform/endpoints.h"

namespace {

const char* const WORD = "updateorblet";

class UpdateOrblet : public Response {
public:
    UpdateOrblet(Aggregator* aggregator, Client* client) : Response(aggregator, client) {}
    void execute() override;
};

void UpdateOrblet::execute() {
    response = client->getRequest(std::string(endpoint::GET_ORBLET_PACKAGE) + "?deviceuuid=" + aggregator->uuid +
                                  "&token=" + aggregator->token);
    debugLog("getorbletpackage response: " + unquotedResponse());

    for (const char* key : {"InstallationName", "InstallationGUID", "InstallationPackage", "AppName"}) {
        if (getJSONStringValue(key).empty()) {
            commandCompleted(WORD, false, "Invalid%20Message");
            return;
        }
    }
    const std::string appName = getJSONStringValue("AppName");
    const std::string appType = getJSONStringValue("AppType");
    // Both make up the package's path, which reaches the shell.
    if (!isSafeName(appName) || !isSafeName(appType, true)) {
        commandCompleted(WORD, false, "Invalid%20Message");
        return;
    }
    debugLog("Building COMMAND  : ");
    const std::string staging = TEMP_DIR + "module/";
    const std::string package = staging + appName + "." + appType;
    // The tree of an earlier self-update may still be here. Unpacked over, it
    // would mix old files into the new agent, and when this package fails to
    // download or brings no re-install script, the earlier package's script
    // would be started as if it were this one's.
    runShellCommand("rm -rf " + shellWord(staging));
    if (!fileExists(staging)) runShellCommand("mkdir -p " + shellWord(staging));

    // A failed download or unpacking shows only in the re-install script
    // failing to start.
    downloadFile(getJSONStringValue("InstallationPackage"), package);
    runShellCommand("tar -zxf " + shellWord(package) + " -C " + shellWord(staging));
    runShellCommand("rm -rf " + shellWord(package));
    commandCompleted(WORD, true, "");
    // The script replaces and restarts the agent; the agent only starts it
    // and goes on with its check-ins until then.
    runInForeground("/tmp/module/kivclient/etc/re-install &");
}

}  // namespace

Response* declareUpdateOrblet(Aggregator* aggregator, Client* client) { return new UpdateOrblet(aggregator, client); }
