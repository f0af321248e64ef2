#include <memory>

#include "commands/response.h"
#include "core/debug_log.h"
#include "core/exceptions.h"
#include "platform/cloud_services.h"
#include "platform/endpoints.h"

void CloudServices::checkIn(const CommandEntry* table, int count) {
    response = client->getRequest(std::string(endpoint::CHECKIN) + "?deviceuuid=" + aggregator->uuid +
                                  "&token=" + aggregator->token);
    // The answer is a JSON string; only its quotes are taken off.
    const std::string name = unquotedResponse();
    debugLog("Checkin response : " + name);

    // The table comes first: "InvalidToken" is only special when no command
    // of that name exists.
    for (int i = 0; i < count; ++i) {
        if (table[i].name == name) {
            // Owned here, so the command is destroyed also when execute() throws.
            const std::unique_ptr<Response> command(table[i].declare(aggregator, client));
            command->execute();
            return;
        }
    }
    if (name == "InvalidToken") throw InvalidTokenException("InvalidToken");
    // The name is echoed encoded: raw, a blank makes the report an invalid URL
    // (so the agent could never get past this answer) and a "&" adds
    // parameters. Plain names come back unchanged.
    commandCompleted(encodeQueryValue(name), false, "Unknown%20Command");
}
