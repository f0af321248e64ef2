// The endpoints a device talks to, below /api/devices/, and the download
// directory below /files/.
#pragma once

#include "server_context.h"

namespace kivsim {

void installDeviceApi(httplib::Server& server, ServerContext& ctx);

}  // namespace kivsim
