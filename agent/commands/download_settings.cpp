#include "commands/download_settings.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <syslog.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "commands/command_table.h"
#include "commands/name_check.h"
#include "core/debug_log.h"
#include "core/paths.h"
#include "core/seams.h"
#include "core/shell.h"
#include "platform/endpoints.h"

namespace {

const std::string NULL_GUID = "00000000-0000-0000-0000-000000000000";

struct BioFreeAll {
    void operator()(BIO* bio) const { BIO_free_all(bio); }
};
using BioChain = std::unique_ptr<BIO, BioFreeAll>;

std::string decodeBase64(const std::string& content) {
    std::string decoded;
    if (content.size() > static_cast<size_t>(INT_MAX)) return decoded;
    BioChain source(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    BioChain filter(BIO_new(BIO_f_base64()));
    if (!source || !filter) return decoded;
    BIO_set_flags(filter.get(), BIO_FLAGS_BASE64_NO_NL);
    // From here the filter owns the source: freeing the chain frees both.
    BioChain chain(BIO_push(filter.release(), source.release()));
    char block[512];
    for (;;) {
        const int n = BIO_read(chain.get(), block, sizeof block);
        if (n <= 0) break;
        decoded.append(block, static_cast<size_t>(n));
    }
    return decoded;
}

void runScript(const std::string& line) {
    debugLog("Running : " + line);
    (void)std::system(line.c_str());
}

// Stores a settings file from the platform, applies it with the router's
// restore tool and restarts what the file concerns: a router service named
// by the file's extension, or the user module named by the file.
class DownloadSettings : public Response {
public:
    DownloadSettings(Aggregator* aggregator, Client* client) : Response(aggregator, client) {}

    void execute() override {
        response = client->getRequest(std::string(endpoint::GET_SETTINGS_FILE) + "?deviceuuid=" + aggregator->uuid +
                                      "&token=" + aggregator->token);
        debugLog("getsettingsfile response: " + unquotedResponse());

        bool complete = true;
        for (const char* key : {"InstallationName", "InstallationGUID", "SettingsFileName", "SettingsFile"}) {
            if (getJSONStringValue(key).empty()) {
                complete = false;
                break;
            }
        }
        const std::string name = complete ? getJSONStringValue("SettingsFileName") : std::string();
        // The name becomes part of paths and shell lines: "x;reboot" or
        // "../../etc/passwd" must not run or overwrite anything.
        if (!complete || !isSafeName(name)) {
            commandCompleted("downloadsettings", false, "Invalid%20Message");
            return;
        }

        const std::string dir = TEMP_DIR + "settings/";
        if (::access(dir.c_str(), F_OK) != 0) runShellCommand("mkdir -p " + dir);
        if (!saveDecodedFile(getJSONStringValue("SettingsFile"), dir + name)) {
            debugLog("Can't write settings file " + dir + name);
        }
        debugLog("Device settings: " + name);
        runShellCommand("restore " + dir + name);

        if (getJSONStringValue("InstallationGUID") == NULL_GUID) {
            const auto dot = name.find('.');
            const std::string extension = dot == std::string::npos ? name : name.substr(dot + 1);
            debugLog("Settings File Extension: " + extension);
            // The restarts may take the link down: report first.
            commandCompleted("downloadsettings", true, "");
            if (extension == "eth" || extension == "ppp" || extension == "pppoe" || extension == "wifi") {
                seams().syslog(LOG_NOTICE, "restart service: backrt");
                runScript(aggregator->suScriptDir + "backrt restart");
                seams().sleep(2);
            }
            seams().syslog(LOG_NOTICE, "restart service: " + extension);
            runScript(aggregator->suScriptDir + extension + " restart");
        } else {
            runScript("/opt/" + name + "/etc/init restart 2> /dev/null");
            commandCompleted("downloadsettings", true, "");
        }

        debugLog("Finished configuring");
        runShellCommand("rm -rf " + dir);
    }
};

}  // namespace

bool saveDecodedFile(const std::string& content, const std::string& path) {
    const std::string bytes = decodeBase64(content);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

Response* declareDownloadSettings(Aggregator* aggregator, Client* client) {
    return new DownloadSettings(aggregator, client);
}
