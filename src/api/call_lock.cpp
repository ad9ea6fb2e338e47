#include "api/call_lock.h"

namespace zel {

std::recursive_mutex& CallMutex() {
  // Built on first use, so a call made while the host's other static objects are still being
  // constructed finds it ready.
  static std::recursive_mutex mutex;
  return mutex;
}

}  // namespace zel
