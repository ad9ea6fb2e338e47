// The twelve exported frames (api/frame.h). Each one marks that a call is in progress, runs one
// engine routine, clears the mark and hands back the status code (or a value). Every frame holds
// the call lock for its whole length.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ZEL_863_DLL.h"
#include "api/call_lock.h"
#include "api/frame.h"
#include "cal/cal_loader.h"
#include "ident/identify.h"
#include "instrument/averaging.h"
#include "instrument/relay.h"
#include "instrument/sensors.h"
#include "instrument/sync.h"
#include "link/port.h"
#include "measure/point.h"
#include "platform/platform.h"
#include "state/defaults.h"
#include "state/state.h"
#include "state/text.h"

using zel::state;

namespace {

// NaN, an infinity or a negative value would be turned into a tuning word of all zeros or all
// ones; 0 and values above the range keep their handling.
bool IsFrequency(double mhz) {
  return mhz >= 0 && !std::isinf(mhz);
}

// What ZEL_GetSerialNum reports when the identification failed.
constexpr std::int32_t kSerialNumFailed = 6;

std::int64_t DoubleBits(double v) {
  std::int64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

}  // namespace

extern "C" {

ZEL_API int32_t ZEL_CALL ZEL_InitVars(int32_t) {
  const zel::CallLock lock;
  zel::EnterFrame();
  zel::InitDefaults();
  zel::ExitFrame();
  return 0;
}

ZEL_API int32_t ZEL_CALL ZEL_Sync(int32_t mode) {
  const zel::CallLock lock;
  // Not a frame: it only records the request, and the pulse goes out with the next point.
  zel::SetSyncMode(mode);
  return state.frame.StatusCode;
}

ZEL_API int32_t ZEL_CALL ZEL_ScanPoint(int32_t mode, double freq_mhz, double* out1, double* out2) {
  const zel::CallLock lock;
  zel::EnterFrame();
  if (!IsFrequency(freq_mhz)) {
    // Refused before anything changes: nothing is sent and the outputs are left as they are.
    state.frame.StatusCode = ZEL_ERR_BAD_FREQUENCY;
    return zel::LeaveFrame();
  }
  state.measure.ScanIndex = 0;
  state.frame.ConstantFreqActive = 0;
  state.measure.ScanRunning = 1;
  state.frame.StatusCode = 0;
  if (mode > 0 && state.cal.CalLoaded == 0) {
    state.frame.StatusCode = ZEL_ERR_NOT_CALIBRATED;
    return zel::LeaveFrame();
  }
  if (state.link.RelayState == 0) zel::ProgramRelay(3);
  // Nothing reached the instrument, so nothing was measured: the outputs are left as they are.
  if (state.link.SendFailed != 0) return zel::LeaveFrameCheckingSent();
  state.synth.TestFreqMHz = freq_mhz;
  zel::SendPendingSync();
  zel::CountPointForPeriodic();
  if (state.link.SendFailed == 0) zel::MeasurePoint(1);
  if (state.link.SendFailed != 0) return zel::LeaveFrameCheckingSent();
  if (mode == 1) {
    if (out1) *out1 = state.measure.CorR;
    if (out2) *out2 = state.measure.CorX;
  } else if (mode == 0) {
    if (out1) *out1 = state.measure.Rs;
    if (out2) *out2 = state.measure.Xs;
  }
  return zel::LeaveFrame();
}

ZEL_API int32_t ZEL_CALL ZEL_AvgReadings(int32_t count) {
  const zel::CallLock lock;
  zel::EnterFrame();
  zel::SetAveraging(count);
  return zel::LeaveFrameCheckingSent();
}

ZEL_API int32_t ZEL_CALL ZEL_CommPort(int32_t open, int32_t port, int32_t rate) {
  const zel::CallLock lock;
  zel::EnterFrame();
  const bool fast = rate > 100000;
  if (open != 0) {
    state.link.PortNumber = port < 1 ? 1 : port;
    state.link.BaudRate = 57600;
    state.frame.StatusCode = 0;
    zel::OpenPort();
    if (fast && state.frame.StatusCode == 0) {
      state.link.HighSpeedComm = 1;
      zel::HighSpeedSwitch();
    }
  } else {
    state.frame.StatusCode = zel::ClosePortHandle() ? 0 : ZEL_ERR_PORT_CLOSE;
  }
  if (state.frame.StatusCode == 0) {
    zel::SendAutoPowerDown(0);
    state.link.AutoPowerDown = 0;
  }
  return zel::LeaveFrame();
}

ZEL_API int32_t ZEL_CALL ZEL_LoadCalFile(const char* path) {
  const zel::CallLock lock;
  zel::EnterFrame();
  // A path that does not fit the 255-character buffer is refused, not cut: a cut path may name
  // another file. The calibration in use stays as it is.
  std::size_t len = path ? std::strlen(path) : 0;
  if (len > zel::kTextSize - 1) {
    state.frame.StatusCode = ZEL_ERR_CAL_PATH;
    return zel::LeaveFrame();
  }
  zel::SetText(state.cal.CalFilePath, path ? std::string_view(path, len) : std::string_view());
  zel::ReadCalFile();
  return zel::LeaveFrame();
}

ZEL_API int32_t ZEL_CALL ZEL_ProgRelay(int32_t on) {
  const zel::CallLock lock;
  zel::EnterFrame();
  state.frame.ConstantFreqActive = 0;
  state.link.RelayControl = 1;
  zel::ProgramRelay(on != 0 ? 3 : 0);
  return zel::LeaveFrameCheckingSent();
}

ZEL_API int32_t ZEL_CALL ZEL_ConstantFreq(int32_t on, double freq_mhz) {
  const zel::CallLock lock;
  state.frame.StatusCode = 0;
  zel::EnterFrame();
  if (on != 0) {
    auto& s = state.synth;
    // A frequency that is not a number counts as below the minimum.
    s.TestFreqMHz = freq_mhz;
    if (!(s.TestFreqMHz >= s.MinFreqMHz)) s.TestFreqMHz = s.MinFreqMHz;
    if (s.TestFreqMHz > s.MaxFreqMHz) s.TestFreqMHz = s.MaxFreqMHz;
    zel::ProgramRelay(1);
    if (state.link.SendFailed != 0) return zel::LeaveFrameCheckingSent();
    state.frame.ConstantFreqActive = 1;
    zel::MeasurePoint(2);
  } else {
    state.frame.ConstantFreqActive = 0;
    zel::ProgramRelay(0);
  }
  return zel::LeaveFrameCheckingSent();
}

ZEL_API char* ZEL_CALL ZEL_GetVersion(int32_t) {
  const zel::CallLock lock;
  zel::EnterFrame();
  zel::IdentifyController();
  zel::ExitFrame();
  // A failed identification hands back the code's number as its text.
  if (state.frame.StatusCode != 0)
    zel::SetText(state.frame.TextBuf, std::to_string(ZEL_ERR_RF_OVERVOLTAGE));
  std::size_t n = std::strlen(state.frame.TextBuf);
  char* block = static_cast<char*>(std::malloc(n + 1));
  if (block) std::memcpy(block, state.frame.TextBuf, n + 1);
  return block;
}

ZEL_API int32_t ZEL_CALL ZEL_GetSerialNum(int32_t) {
  const zel::CallLock lock;
  zel::EnterFrame();
  zel::IdentifyController();
  zel::ExitFrame();
  if (state.frame.StatusCode != 0) return kSerialNumFailed;
  return zel::UnitSerialNumber();
}

ZEL_API int64_t ZEL_CALL ZEL_GetRFVoltage(int32_t) {
  const zel::CallLock lock;
  zel::EnterFrame();
  zel::ReadRFVoltage();
  if (state.frame.StatusCode != 0)
    state.ident.RFVolts = static_cast<double>(state.frame.StatusCode);
  zel::ExitFrame();
  return DoubleBits(state.ident.RFVolts);
}

ZEL_API int64_t ZEL_CALL ZEL_GetTemperature(int32_t units) {
  const zel::CallLock lock;
  zel::EnterFrame();
  zel::ReadTemperature();
  double result = state.ident.TempF;
  if (units == 0) result = (result + 40) * 5 / 9 - 40;
  zel::ExitFrame();
  if (state.frame.StatusCode != 0) result = static_cast<double>(state.frame.StatusCode);
  return DoubleBits(result);
}

ZEL_API void ZEL_CALL ZEL_SetNoticeHandler(ZEL_NoticeHandler handler) {
  const zel::CallLock lock;
  zel::platform::SetNoticeHandler(handler);
}

}  // extern "C"
