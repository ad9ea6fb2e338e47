// The averaging command: how many readings the controller averages into each detector record.
#pragma once

namespace zel {

// "J" + count byte. Clears StatusCode (sets it to 0, never to a failure): a caller that must keep
// a failure across it uses KeepStatusAcross (state/status.h). Reads HighAvgAllowed; writes
// AvgCount, ReadingScale.
void SetAveraging(int n);

}  // namespace zel
