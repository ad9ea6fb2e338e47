#pragma once

namespace zel {

// "J" + count byte. Reads HighAvgAllowed; writes AvgCount, ReadingScale, StatusCode (0).
void SetAveraging(int n);

}  // namespace zel
