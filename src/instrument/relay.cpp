// The RF relay and output switching. The controller takes the code in two forms, "K" 40+code and
// "K" 168+code (the same code with bit 7 set, for the high-power model's low-current driver);
// both are always sent. Codes: 0 off, 1 constant-frequency output, 3 measurement.
//
// The high-power model must not switch its relay with RF on the input: above 30.1 V peak the
// contacts would be damaged, so the switch is refused.

#include "instrument/relay.h"

#include <cstdint>

#include "ZEL_863_DLL.h"
#include "instrument/averaging.h"
#include "instrument/sensors.h"
#include "link/exchange.h"
#include "platform/platform.h"
#include "state/state.h"
#include "state/status.h"

namespace zel {

namespace {
constexpr double kRelayVoltLimit = 30.1;
// The relay contacts bounce for a few tens of milliseconds.
constexpr int kRelaySettleMs = 100;
}  // namespace

void ProgramRelay(int code) {
  auto& l = state.link;
  state.frame.StatusCode = 0;
  if (state.frame.ConstantFreqActive != 0) return;
  if (l.RelayControl != 0) {
    // The voltage is read again only when the relay goes to another nonzero code.
    if (state.ident.PowerModel == 0) {
      state.ident.RFVolts = 0;
    } else if (state.ident.PowerModel > 0 && code > 0 && code != l.PrevRelayCode) {
      ReadRFVoltage();
    }
  }
  const std::int32_t state_before = l.RelayState;
  l.RelayState = code;
  if (state.ident.RFVolts <= kRelayVoltLimit) {
    if (l.RelayControl != 0) {
      const std::uint8_t first[2] = {'K', static_cast<std::uint8_t>(40 + code)};
      const std::uint8_t second[2] = {'K', static_cast<std::uint8_t>(168 + code)};
      // A command that did not go out switched nothing: the relay is where it was, so the next
      // point switches it again rather than measuring with the relay off. There is nothing to
      // settle and no averaging command to repeat.
      if (!WriteCommand(first, 2) || !WriteCommand(second, 2)) {
        l.RelayState = state_before;
        return;
      }
    }
    l.PrevRelayCode = code;
    state.synth.LastMultCode = 0;
    platform::Current().PauseMs(kRelaySettleMs);
    // The controller forgets its count on a relay change. A voltage read that got no reply is
    // still reported: the switch went ahead on the last voltage held, which the host must know.
    KeepStatusAcross([] { SetAveraging(state.measure.AvgCount); });
  } else if (l.RelayControl != 0) {
    state.frame.StatusCode = ZEL_ERR_RF_OVERVOLTAGE;
  }
}

}  // namespace zel
