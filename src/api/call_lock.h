// One lock for every exported call. The library's state is process-wide and the line carries one
// exchange at a time, so calls from several threads of a host run one after another, each whole.
// The lock is recursive: a notice handler, called by the library in the middle of a call, may
// call back in on the same thread.
#pragma once

#include <mutex>

namespace zel {

std::recursive_mutex& CallMutex();

class CallLock {
 public:
  CallLock() : lock_(CallMutex()) {}

 private:
  std::lock_guard<std::recursive_mutex> lock_;
};

}  // namespace zel
