// The admin interface below /admin/: JSON in and out, for tests, demos and
// people driving the simulator by hand with curl.
#pragma once

#include "server_context.h"

namespace kivsim {

void installAdminApi(httplib::Server& server, ServerContext& ctx);

// A plain-text account of every device: what it was sent and what it reported.
std::string summaryText(PlatformState& state);

}  // namespace kivsim
