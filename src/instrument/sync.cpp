// The sync output and the periodic command.
//
// Controllers that name "sync" in their identification (and every UHF one) give a pulse on their
// sync output when they receive "Z2"; the host asks for it before a point with ZEL_Sync:
//   --> 5A 32                         ("Z2", no reply)
// The periodic "Y" command goes out before every 1001st point of the process; the instrument
// takes its seven bytes as they are and answers nothing:
//   --> 59 25 64 29 63 1A 7F

#include "instrument/sync.h"

#include <cstdint>

#include "ZEL_863_DLL.h"
#include "link/exchange.h"
#include "state/state.h"

namespace zel {

namespace {

// The count of points after which the periodic command goes out again.
constexpr std::int32_t kPeriodicEveryPoints = 1000;
constexpr std::uint8_t kPeriodicCommand[7] = {0x59, 0x25, 0x64, 0x29, 0x63, 0x1A, 0x7F};

}  // namespace

void SetSyncMode(std::int32_t mode) {
  auto& l = state.link;
  if (l.SyncEnabled != 0) {
    l.SyncMode = mode;
    state.frame.StatusCode = 0;
  } else {
    l.SyncMode = 0;
    state.frame.StatusCode = ZEL_ERR_NO_SYNC;
  }
}

void SendPendingSync() {
  auto& l = state.link;
  if (l.SyncMode > 0 && l.SyncEnabled > 0) {
    WriteCommand("Z2");
    if (l.SyncMode == 1) l.SyncMode = 0;  // one pulse was asked for
  }
}

void CountPointForPeriodic() {
  if (++state.frame.PointCounter > kPeriodicEveryPoints) {
    state.frame.PointCounter = 0;
    WriteCommand(kPeriodicCommand, sizeof kPeriodicCommand);
  }
}

}  // namespace zel
