// The commands that go out beside a point without a reply: the sync pulse and the periodic "Y".
#pragma once

#include <cstdint>

namespace zel {

// The sync mode a host asks for: 1 one pulse before the next point, 2 or more before every point,
// 0 none. Reads SyncEnabled; writes SyncMode and StatusCode (0, or ZEL_ERR_NO_SYNC with mode 0
// when the controller has no sync output).
void SetSyncMode(std::int32_t mode);
// "Z2" when a pulse is pending (SyncMode above 0 on a controller with a sync output); a single
// pulse is used up. Reads SyncEnabled; writes SyncMode.
void SendPendingSync();
// Counts one point and sends the periodic "Y" command on every 1001st. Writes PointCounter.
void CountPointForPeriodic();

}  // namespace zel
