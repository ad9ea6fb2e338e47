// One lock for every exported call. The library's state is process-wide and the line carries one
// exchange at a time, so calls from several threads of a host run one after another, each whole.
// The lock is recursive: a notice handler, called by the library in the middle of a call, may
// call back in on the same thread.
#pragma once

#include "platform/platform.h"

namespace zel {

class CallLock {
 public:
  CallLock() { platform::LockCalls(); }
  ~CallLock() { platform::UnlockCalls(); }
  CallLock(const CallLock&) = delete;
  CallLock& operator=(const CallLock&) = delete;
};

}  // namespace zel
