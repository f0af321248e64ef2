#include <sys/reboot.h>

#include "commands/command_table.h"
#include "core/seams.h"

namespace {

// Reports first: after the restart there is nobody left to report. A report
// that fails throws before anything is flushed or restarted.
class Reboot : public Response {
public:
    Reboot(Aggregator* aggregator, Client* client) : Response(aggregator, client) {}

    void execute() override {
        commandCompleted("reboot", true, "");
        seams().sync();
        // A refused restart returns; the check-in then simply counts as done.
        seams().reboot(RB_AUTOBOOT);
    }
};

}  // namespace

Response* declareReboot(Aggregator* aggregator, Client* client) { return new Reboot(aggregator, client); }
