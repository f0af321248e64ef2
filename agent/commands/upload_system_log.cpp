#include "commands/command_table.h"
#include "core/paths.h"
#include "platform/endpoints.h"

namespace {

// Uploads the router's system log as it stands.
class UploadSystemLog : public Response {
public:
    UploadSystemLog(Aggregator* aggregator, Client* client) : Response(aggregator, client) {}

    void execute() override {
        const std::string file = LOG_DIR + "messages";
        const int rc = client->uploadFile(file, std::string(endpoint::SYSTEM_LOG) + "?deviceuuid=" + aggregator->uuid +
                                                    "&token=" + aggregator->token);
        if (rc == 0) {
            commandCompleted("systemlog", true, "");
        } else {
            commandCompleted("systemlog", false, "File%20Upload%20Failed");
        }
    }
};

}  // namespace

Response* declareUploadSystemLog(Aggregator* aggregator, Client* client) {
    return new UploadSystemLog(aggregator, client);
}
