#include "core/debug_log.h"
#include "platform/cloud_services.h"
#include "platform/endpoints.h"

void CloudServices::commandCompleted(const std::string& command, bool success, const std::string& message) {
    const std::string query = std::string(endpoint::COMMAND_COMPLETED) + "?deviceuuid=" + aggregator->uuid +
                              "&token=" + aggregator->token + "&command=" + command +
                              "&issuccess=" + (success ? "true" : "false") + "&errormessage=" + message;
    response = client->getRequest(query);
    debugLog("RESPONSE FROM COMMAND COMPLETED");
    debugLog(unquotedResponse());
    debugLog("END OF RESPONSE FROM COMMAND COMPLETED");
}
