// Opening the serial port, the high-speed switch and the auto power-down command.
//
// The controller talks 8N1 at 57600 baud after power-on. "C" tells it to move to 115000 baud
// (exactly 115000: the controller's clock divides to that rate, not to 115200). "D0" keeps it from
// powering itself down while a host is driving it; "D1" lets a battery unit switch off when idle.

#include "link/port.h"

#include "ZEL_863_DLL.h"
#include "link/exchange.h"
#include "platform/platform.h"
#include "state/state.h"

namespace zel {

namespace {
// The controller needs a moment after the line settles before it takes the first command.
constexpr int kOpenSettleMs = 100;
// "D0"/"D1" have no reply; the controller is given time to act on them.
constexpr int kPowerDownCommandMs = 50;
constexpr int kHighRate = 115000;
}  // namespace

namespace {

void OpenPortPurging(int purge) {
  auto& p = platform::Current();
  auto& l = state.link;
  p.ClosePort(l.CommHandle);  // whatever it held; a closed or never-opened handle is refused
  PortHandle h = 0;
  if (!p.OpenPort(l.PortNumber, &h)) {
    l.CommHandle = 0;  // no handle: writes go nowhere and reads time out
    state.frame.StatusCode = ZEL_ERR_PORT_OPEN;
    p.PauseMs(kOpenSettleMs);
    return;
  }
  l.CommHandle = h;
  p.SetTimeouts(h, {100, 0, 1});
  platform::LineSettings line{};
  if (p.GetLine(h, &line)) {
    line.BaudRate = l.BaudRate;
    line.DataBits = 8;
    line.Parity = 0;
    line.StopBits = 1;
    p.SetLine(h, line);
    p.SetLine(h, line);  // written twice, as some USB adapters drop the first change
    p.RaiseRts(h);       // a port without modem lines refuses this; the link works without it
  }
  p.Purge(h, purge);
  l.PortStatus = 1;
  p.PauseMs(kOpenSettleMs);
}

}  // namespace

void OpenPort() {
  // A new session starts on a clean line: nothing left from an earlier one (a record that came
  // after the last program gave up on it) is read as a reply, nothing unsent goes out.
  OpenPortPurging(platform::kPurgeInput | platform::kPurgeOutput);
}

void HighSpeedSwitch() {
  auto& l = state.link;
  if (l.HighSpeedComm == 0) return;
  WriteCommand("C");
  l.BaudRate = kHighRate;
  // The "C" just written may not have left yet: only the input is dropped.
  OpenPortPurging(platform::kPurgeInput);
}

void SendAutoPowerDown(int setting) {
  if (state.frame.StatusCode > 0) state.frame.StatusCode = 0;
  WriteCommand(setting ? "D1" : "D0");
  platform::Current().PauseMs(kPowerDownCommandMs);
}

bool ClosePortHandle() {
  return platform::Current().ClosePort(state.link.CommHandle);
}

}  // namespace zel
