// The names the platform may send in a check-in answer, and their factories.
#pragma once

#include <vector>

#include "commands/response.h"

Response* declareNoActivity(Aggregator* aggregator, Client* client);
Response* declareReboot(Aggregator* aggregator, Client* client);
Response* declareInstallNewApp(Aggregator* aggregator, Client* client);
Response* declareUpdateOrblet(Aggregator* aggregator, Client* client);
Response* declareDownloadSettings(Aggregator* aggregator, Client* client);
Response* declareUninstallApp(Aggregator* aggregator, Client* client);
Response* declareUploadConfig(Aggregator* aggregator, Client* client);
Response* declareUploadSystemLog(Aggregator* aggregator, Client* client);
Response* declareCommand(Aggregator* aggregator, Client* client);
Response* declareSetConfig(Aggregator* aggregator, Client* client);
Response* declareChangePasswd(Aggregator* aggregator, Client* client);

// The table in the order the start-up builds it.
std::vector<CommandEntry> buildCommandTable();
