#include "commands/command_table.h"
#include "core/paths.h"
#include "core/shell.h"
#include "platform/endpoints.h"

namespace {

// Uploads a fresh backup of the router's configuration.
class UploadConfig : public Response {
public:
    UploadConfig(Aggregator* aggregator, Client* client) : Response(aggregator, client) {}

    void execute() override {
        const std::string file = TEMP_DIR + "config.txt";
        // A file left by an upload that failed in the transport must not be
        // sent again in front of the new backup.
        runShellCommand("rm -f " + file);
        // backup writes the configuration to its standard output; the
        // redirection here wins over the runner's /dev/null.
        runShellCommand("backup >> " + file);
        const int rc = client->uploadFile(file, std::string(endpoint::UPLOAD_CONFIG) + "?deviceuuid=" +
                                                    aggregator->uuid + "&token=" + aggregator->token);
        runShellCommand("rm -f " + file);
        if (rc == 0) {
            commandCompleted("uploadconfig", true, "");
        } else {
            commandCompleted("uploadconfig", false, "File%20Upload%20Failed");
        }
    }
};

}  // namespace

Response* declareUploadConfig(Aggregator* aggregator, Client* client) { return new UploadConfig(aggregator, client); }
