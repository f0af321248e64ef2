#include <string>

#include "commands/command_table.h"
#include "core/debug_log.h"
#include "core/paths.h"
#include "core/seams.h"
#include "settings_store.h"

namespace {

// Nothing to do: wait the configured interval before the next check-in.
// The interval is re-read every time, so a changed setting applies at once.
class NoActivity : public Response {
public:
    NoActivity(Aggregator* aggregator, Client* client) : Response(aggregator, client) {}

    void execute() override {
        const SettingsStore settings(MODULE_SETTINGS, MODULE_NAME);
        const std::string text = settings.get("sleep");
        debugLog("Sleeping for (seconds) : " + text);
        const int seconds = std::stoi(text);
        // Nothing to wait for at 0 (sleep(0) still costs a timer round
        // trip), and a negative interval would become a pause of decades.
        if (seconds > 0) seams().sleep(static_cast<unsigned>(seconds));
    }
};

}  // namespace

Response* declareNoActivity(Aggregator* aggregator, Client* client) { return new NoActivity(aggregator, client); }
