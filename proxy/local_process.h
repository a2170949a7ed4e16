#pragma once

#include <string>

#include "asio.h"

namespace veltrox::proxy {

// "name:pid" of the local program that owns the client end of the TCP
// connection between `client` and `server` (the two ends as the proxy's
// socket sees them), found through the kernel's socket diagnostics and /proc;
// "" when none is found (the client is on another machine, belongs to another
// user, or holds so many descriptors that the search gave up).
std::string DescribeLocalProcess(const tcp::endpoint& client, const tcp::endpoint& server);

}  // namespace veltrox::proxy
