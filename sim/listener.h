// The listening socket of the simulator.
#pragma once

#include <cstdint>
#include <string>

namespace zaq::sim {

// Binds a non-blocking TCP socket to `address`:`port` (port 0 = any free one) and listens.
// Returns the socket and the port actually bound, or -1 with a reason in `error`.
int openListener(const std::string& address, uint16_t port, uint16_t& bound_port,
                 std::string& error);

// Accepts one pending connection as a non-blocking socket with TCP_NODELAY (so that split
// writes leave as separate segments). -1 when none is pending or on error (errno tells).
int acceptClient(int listener);

}  // namespace zaq::sim
