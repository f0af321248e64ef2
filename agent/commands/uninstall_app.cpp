#include "commands/add_module.h"
#include "commands/command_table.h"
#include "commands/name_check.h"
#include "core/debug_log.h"
#include "core/shell.h"
#include "platform/endpoints.h"

namespace {

const char* const WORD = "uninstallapp";

class UninstallApp : public Response {
public:
    UninstallApp(Aggregator* aggregator, Client* client) : Response(aggregator, client) {}
    void execute() override;
};

void UninstallApp::execute() {
    response = client->getRequest(std::string(endpoint::GET_UNINSTALL_APP) + "?deviceuuid=" + aggregator->uuid +
                                  "&token=" + aggregator->token);
    debugLog("getuninstallapp response: " + unquotedResponse());

    for (const char* key : {"AppName", "InstallationGUID"}) {
        if (getJSONStringValue(key).empty()) {
            commandCompleted(WORD, false, "Invalid%20Message");
            return;
        }
    }
    const std::string installation = getJSONStringValue("AppName");
    // The installation's directory is removed with "rm -r": a name such as
    // "../../" must never get that far.
    if (!isSafeName(installation)) {
        commandCompleted(WORD, false, "Invalid%20Message");
        return;
    }
    debugLog("User Module to remove: " + installation);
    const std::string appDir = APPLICATIONS_DIR + installation;
    const std::string registry = appDir + "/optdirs/";

    const auto entries = listDirectory(registry);
    if (!entries) {
        commandCompleted(WORD, false, "No%20Such%20App");
        return;
    }
    debugLog("Found a File  : ");
    for (const auto& entry : *entries) {
        debugLog("Found a Directory  : ");
        if (!entry.isModule) continue;
        const std::string& name = entry.name;
        debugLog("Directory is  : " + name);
        runInForeground(shellWord("/opt/" + name + "/etc/init") + " stop");
        runShellCommand(shellWord("/opt/" + name + "/etc/uninstall"));
        runShellCommand("rm -rf " + shellWord("/opt/" + name));
        runShellCommand("rm -rf " + shellWord("/var/data/" + name));
        runShellCommand("rm -rf " + shellWord("/var/www/" + name));
    }
    if (fileExists(appDir)) runShellCommand("rm -r " + shellWord(appDir));
    commandCompleted(WORD, true, "");
}

}  // namespace

Response* declareUninstallApp(Aggregator* aggregator, Client* client) { return new UninstallApp(aggregator, client); }
