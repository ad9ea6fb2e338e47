// termios2 lives apart from <termios.h>: the two headers define the same structures.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "integration/support/pty_peer.h"

namespace zeltest {

bool PtyPeer::SlaveLine(unsigned* ospeed, unsigned* cflag, unsigned* lflag) const {
  termios2 t{};
  if (ioctl(guard_, TCGETS2, &t) != 0) return false;
  *ospeed = t.c_ospeed;
  *cflag = t.c_cflag;
  *lflag = t.c_lflag;
  return true;
}

}  // namespace zeltest
