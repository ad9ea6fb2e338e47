// The line rate the host set on a pseudo-terminal's slave, read through its master.
#pragma once

namespace zelsim {

// The output rate in baud (any rate, such as 115000, not only the B* constants), or 0 when the
// descriptor is closed or the rate cannot be read.
int SlaveLineRate(int master_fd);

}  // namespace zelsim
