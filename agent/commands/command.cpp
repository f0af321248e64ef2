#include <sys/stat.h>

#include "commands/command_table.h"
#include "core/debug_log.h"
#include "core/paths.h"
#include "platform/endpoints.h"
#include "process_runner.h"
#include "settings_store.h"

namespace {

const std::string WHITELIST_FILE = "/opt/kivclient/etc/whitelist";

// Runs a program that the router's whitelist allows under the key the
// platform sends, with the platform's arguments, and returns its output.
class Command : public Response {
public:
    Command(Aggregator* aggregator, Client* client) : Response(aggregator, client) {}

    void execute() override {
        response = client->getRequest(std::string(endpoint::COMMAND) + "?deviceuuid=" + aggregator->uuid +
                                      "&token=" + aggregator->token);
        struct stat st {};
        if (::stat(WHITELIST_FILE.c_str(), &st) != 0) {
            const std::string message = "white list file not found, ignoring command";
            debugLog(message);
            commandCompleted("command", false, encodeQueryValue(message));
            return;
        }
        const SettingsStore whitelist(WHITELIST_FILE, MODULE_NAME);
        const std::string key = getJSONStringValue("key");
        const std::vector<std::string> args = getJSONArrayStringValue("args");
        if (!whitelist.has(key)) {
            const std::string message = "Command not in whitelist";
            debugLog(message);
            commandCompleted("command", false, encodeQueryValue(message));
            return;
        }
        const std::string program = whitelist.get(key);
        std::string line = "Executing command: " + program + " ";
        for (const auto& a : args) line += a + " ";
        debugLog(line);
        // No shell: each argument reaches the program as it came, blanks and
        // shell characters included.
        const ProcessResult result = runProcess(program, args);
        debugLog(result.status == 0 ? "Command executed successfully" : "Command failed");
        debugLog(result.output);
        commandCompleted("command", result.status == 0, encodeQueryValue(result.output));
    }
};

}  // namespace

Response* declareCommand(Aggregator* aggregator, Client* client) { return new Command(aggregator, client); }
