#include <json-c/json.h>

#include <memory>

#include "commands/command_table.h"
#include "core/debug_log.h"
#include "core/shell.h"
#include "platform/endpoints.h"
#include "process_runner.h"

namespace {

const std::string SET_CONFIG_FILE = "/tmp/set_config.txt";
const std::string RESTORE_TOOL = "/usr/sbin/restore";

struct JsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};

// The platform sends the URL either bare or as a JSON string. A JSON string
// is decoded, so that escapes such as \/ or \u0026 reach curl as the
// characters they stand for; a quoted text that is not valid JSON loses just
// its enclosing quotes. Blanks and line ends around the body (a server that
// ends its text with a newline) are no part of the URL: curl refuses a URL
// that holds them.
std::string downloadUrl(const std::string& received) {
    const char* const around = " \t\r\n";
    const size_t first = received.find_first_not_of(around);
    if (first == std::string::npos) return std::string();
    const std::string body = received.substr(first, received.find_last_not_of(around) - first + 1);
    if (body.size() < 2 || body.front() != '"' || body.back() != '"') return body;
    const std::unique_ptr<json_object, JsonPut> parsed(json_tokener_parse(body.c_str()));
    if (parsed && json_object_is_type(parsed.get(), json_type_string)) {
        return std::string(json_object_get_string(parsed.get()),
                           static_cast<size_t>(json_object_get_string_len(parsed.get())));
    }
    return body.substr(1, body.size() - 2);
}

// Downloads a configuration file from the URL the platform names and applies
// it with the router's restore tool.
class SetConfig : public Response {
public:
    SetConfig(Aggregator* aggregator, Client* client) : Response(aggregator, client) {}

    void execute() override {
        response = client->getRequest(std::string(endpoint::SET_CONFIG) + "?deviceuuid=" + aggregator->uuid +
                                      "&token=" + aggregator->token);
        const std::string body = response;
        ChildSignalGuard guard;
        if (downloadFile(downloadUrl(body), SET_CONFIG_FILE) != 0) {
            // The message names the body as received, quotes included.
            commandCompleted("setconfig", false, encodeQueryValue("Could not download file from " + body));
            return;
        }
        const ProcessResult restored = runProcess(RESTORE_TOOL, {SET_CONFIG_FILE});
        debugLog("Restore of " + SET_CONFIG_FILE + " returned " + std::to_string(restored.status));
        commandCompleted("setconfig", restored.status == 0, encodeQueryValue(restored.output));
    }
};

}  // namespace

Response* declareSetConfig(Aggregator* aggregator, Client* client) { return new SetConfig(aggregator, client); }
