#include "commands/command_table.h"

// The platform's names and the factories, in the order the platform's
// command set was defined. Two names differ from their classes:
// "SystemLog" runs UploadSystemLog and "ChangePassword" runs ChangePasswd.
std::vector<CommandEntry> buildCommandTable() {
    return {
        {"NoActivity", declareNoActivity},
        {"Reboot", declareReboot},
        {"InstallNewApp", declareInstallNewApp},
        {"UpdateOrblet", declareUpdateOrblet},
        {"DownloadSettings", declareDownloadSettings},
        {"UninstallApp", declareUninstallApp},
        {"UploadConfig", declareUploadConfig},
        {"SystemLog", declareUploadSystemLog},
        {"Command", declareCommand},
        {"SetConfig", declareSetConfig},
        {"ChangePassword", declareChangePasswd},
    };
}
