#include "commands/install_new_app.h"

#include <sys/reboot.h>
#include <sys/wait.h>

#include "commands/add_module.h"
#include "commands/command_table.h"
#include "commands/name_check.h"
#include "core/debug_log.h"
#include "core/paths.h"
#include "core/seams.h"
#include "core/shell.h"
#include "platform/endpoints.h"

namespace {

const char* const WORD = "installnewapp";
const char* const NULL_GUID = "00000000-0000-0000-0000-000000000000";

class InstallNewApp : public Response {
public:
    InstallNewApp(Aggregator* aggregator, Client* client) : Response(aggregator, client) {}
    void execute() override;

private:
    void installFirmware();
    void installModulePackage();
};

void InstallNewApp::execute() {
    response = client->getRequest(std::string(endpoint::GET_NEW_APP_PACKAGE) + "?deviceuuid=" + aggregator->uuid +
                                  "&token=" + aggregator->token);
    debugLog("getnewapppackage response: " + unquotedResponse());

    for (const char* key : {"InstallationName", "InstallationGUID", "InstallationPackage", "AppName"}) {
        if (getJSONStringValue(key).empty()) {
            commandCompleted(WORD, false, "Invalid%20Message");
            return;
        }
    }
    if (getJSONStringValue("InstallationGUID") == NULL_GUID) {
        installFirmware();
    } else {
        installModulePackage();
    }
}

void InstallNewApp::installFirmware() {
    const std::string version = getJSONStringValue("AppVersion");
    // The version becomes part of a path and of a shell command line.
    if (!isSafeName(version, true)) {
        commandCompleted(WORD, false, "Invalid%20Message");
        return;
    }
    const std::string staging = TEMP_DIR + "firmware/";
    const std::string image = "firmware-" + version + ".bin";
    debugLog("Firmware to install: " + image);
    if (!fileExists(staging)) runShellCommand("mkdir -p " + shellWord(staging));

    // A failed download shows in the tool's verdict.
    downloadFile(getJSONStringValue("InstallationPackage"), staging + image);
    const int status = runShellCommand("fwupdate -i " + shellWord(staging + image) + " -n");
    debugLog("FW Update result is : " + std::to_string((status >> 8) & 0xFF));
    const FirmwareVerdict verdict = firmwareVerdict(status);

    runShellCommand("rm -rf " + shellWord(staging));
    // A report that fails raises, and the router is then left running.
    commandCompleted(WORD, verdict.success, verdict.message);
    seams().sync();
    seams().reboot(RB_AUTOBOOT);
}

void InstallNewApp::installModulePackage() {
    const std::string installation = getJSONStringValue("InstallationName");
    const std::string appName = getJSONStringValue("AppName");
    const std::string appType = getJSONStringValue("AppType");
    // All three become paths and shell words.
    if (!isSafeName(installation) || !isSafeName(appName) || !isSafeName(appType, true)) {
        commandCompleted(WORD, false, "Invalid%20Message");
        return;
    }
    install_name = installation;
    const std::string staging = TEMP_DIR + "module/";
    const std::string package = appName + "." + appType;
    debugLog("User Module to install: " + package);

    // Only the modules of this package may be deployed: whatever an earlier
    // command left in the staging directory (such as the unpacked agent of a
    // self-update) would otherwise be deployed over /opt with it.
    runShellCommand("rm -rf " + shellWord(staging));
    if (!fileExists(staging)) runShellCommand("mkdir -p " + shellWord(staging));

    bool success = false;
    std::string message;
    if (downloadFile(getJSONStringValue("InstallationPackage"), staging + package) != 0) {
        debugLog("User Module installation failed : ");
        message = "Application%20Failed%20to%20Download";
    } else {
        debugLog("Installing: " + staging + package);
        runShellCommand("tar -xzf " + shellWord(staging + package) + " -C " + shellWord(TEMP_DIR + "module" + "/"));

        int last = 0;
        bool deployed = false;
        if (const auto entries = listDirectory(TEMP_DIR + "module")) {
            for (const auto& entry : *entries) {
                if (!entry.isModule) continue;
                last = add_module(entry.name);
                deployed = true;
            }
        }
        if (deployed && last == 1) {
            debugLog("User Module installation done : ");
            success = true;
        } else {
            debugLog("User Module installation failed : ");
            message = "Application%20Did%20Not%20Install";
        }
    }
    runShellCommand("rm -rf " + shellWord(staging));
    commandCompleted(WORD, success, message);
}

}  // namespace

FirmwareVerdict firmwareVerdict(int waitStatus) {
    // A tool killed by a signal has no exit code; it did not succeed.
    if (waitStatus == -1 || !WIFEXITED(waitStatus)) return {false, "Unknown%20error"};
    switch (WEXITSTATUS(waitStatus)) {
        case 0:
            return {true, "Success"};
        case 1:
            return {false, "Operation%20Aborted"};
        case 2:
            return {false, "Internal%20Error"};
        case 3:
            return {false, "Image%20file%20not%20found"};
        case 4:
            return {false, "Invalid%20image%20file"};
        default:
            return {false, "Unknown%20error"};
    }
}

Response* declareInstallNewApp(Aggregator* aggregator, Client* client) { return new InstallNewApp(aggregator, client); }
