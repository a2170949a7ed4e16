#pragma once

#include <cstdint>
#include <string>

namespace veltrox::proxy {

// "name:pid" of the local program that owns the TCP connection from
// clientPort to serverPort, found through /proc; "" when none is found (the
// client is on another machine, or belongs to another user).
std::string DescribeLocalProcess(std::uint16_t clientPort, std::uint16_t serverPort);

}  // namespace veltrox::proxy
