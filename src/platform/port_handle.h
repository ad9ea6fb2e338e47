// The handle of an open serial port, as the platform hands it out and the link keeps it
// (LinkState::CommHandle): wide enough for a file descriptor and a Win32 HANDLE. 0 is no port.
#pragma once

#include <cstdint>

namespace zel {

using PortHandle = std::int64_t;

}  // namespace zel
