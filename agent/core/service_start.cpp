#include "core/service_start.h"

// Until the platform side is in place, a successful start-up ends here.
int startServices(Aggregator& /*aggregator*/, const SettingsStore& /*agentSettings*/) { return 0; }
