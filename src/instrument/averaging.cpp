// The instrument averages a number of readings into every detector record. Its record words are
// scaled by the count it used, so the library multiplies each word by ReadingScale to bring all
// counts to one scale: 16 for a single reading, 4 up to 4 readings, 2 up to 8, 1 from 9 on.

#include "instrument/averaging.h"

#include <cstdint>

#include "link/exchange.h"
#include "state/state.h"

namespace zel {

void SetAveraging(int n) {
  state.frame.StatusCode = 0;
  if (n < 0 || n > 256) n = 1;
  if (n > 16 && state.ident.HighAvgAllowed == 0) n = 16;  // older firmware stops at 16
  state.measure.AvgCount = n;
  int scale = 1;
  if (n < 2) {
    scale = 16;
  } else if (n <= 4) {
    scale = 4;
  } else if (n <= 8) {
    scale = 2;
  }
  state.measure.ReadingScale = scale;
  // The count travels in one byte; 256 is sent as 200, the controller's code for its deepest
  // averaging.
  int byte = n < 2 ? 1 : (n == 256 ? 200 : n);
  const std::uint8_t cmd[2] = {'J', static_cast<std::uint8_t>(byte)};
  WriteCommand(cmd, 2);
}

}  // namespace zel
