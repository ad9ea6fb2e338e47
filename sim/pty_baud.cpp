// Kept apart from the rest of the transport because <asm/termbits.h> (termios2, any rate such as
// 115000) cannot share a file with <termios.h>.

#include "pty_baud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace zelsim {

int SlaveLineRate(int master_fd) {
  termios2 t{};
  if (master_fd < 0 || ::ioctl(master_fd, TCGETS2, &t) != 0) return 0;
  return static_cast<int>(t.c_ospeed);
}

}  // namespace zelsim
