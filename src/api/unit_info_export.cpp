// What the library knows of the attached unit, for hosts: the identification keeps it in the
// process-wide state, and this extension hands a copy out without talking to the instrument.

#include <cstring>
#include <string>
#include <string_view>

#include "ZEL_863_DLL.h"
#include "api/call_lock.h"
#include "ident/identify.h"
#include "instrument/sensors.h"
#include "link/exchange.h"
#include "platform/platform.h"
#include "state/state.h"
#include "state/text.h"

using zel::state;

namespace {

template <std::size_t N>
void CopyText(char (&dst)[N], std::string_view src) {
  const std::size_t n = src.size() < N - 1 ? src.size() : N - 1;
  if (n > 0) std::memcpy(dst, src.data(), n);  // an empty view may hold no pointer at all
  dst[n] = '\0';
}

// "ver 4.75 ...": the field after the token and one separator, up to the next blank.
std::string_view FirmwareField(std::string_view text) {
  const int p = zel::TextFind(text, "ver");
  if (p == 0) return {};
  std::string_view field = zel::TextMid(text, p + 4, 15);
  const std::size_t end = field.find_first_of(" ?@\t\r\n");
  return end == std::string_view::npos ? field : field.substr(0, end);
}

// The controller names the fast link among its capabilities.
constexpr std::string_view kFastLinkToken = "maxbaud115";
constexpr int kFastLinkBaud = 115000;
constexpr int kNormalBaud = 57600;

}  // namespace

extern "C" {

ZEL_API int32_t ZEL_CALL ZEL_GetUnitInfo(ZEL_UnitInfo* info) {
  const zel::CallLock lock;
  if (info == nullptr) return -1;
  const auto& id = state.ident;
  const std::string_view text = id.ControllerText;
  *info = ZEL_UnitInfo{};
  info->identified = id.IdentReplyOk != 0 ? 1 : 0;
  const zel::ModelName model = zel::IdentifiedModel();
  info->model = model.Code;
  CopyText(info->model_name, model.Name);
  CopyText(info->firmware, FirmwareField(text));
  info->firmware_version100 = id.FirmwareVersion100;
  info->serial_number = zel::UnitSerialNumber();
  CopyText(info->unit_id, id.UnitIdText);
  info->flash_id = zel::TextFind(text, " flash") != 0 && zel::TextFind(text, " sn=") == 0;
  info->flash_programmed = id.FlashProgrammed != 0 ? 1 : 0;
  info->min_freq_mhz = state.synth.MinFreqMHz;
  info->max_freq_mhz = state.synth.MaxFreqMHz;
  info->rgen_ohms = id.Rgen;
  info->rref_ohms = id.Rref;
  info->record_bytes = state.link.ShortRecord != 0 ? zel::kRecordBytesShort : zel::kRecordBytesLong;
  info->sync = state.link.SyncEnabled != 0 ? 1 : 0;
  info->rf_sensor = zel::HasRFSensor() ? 1 : 0;
  info->temp_sensor = zel::HasTempSensor() ? 1 : 0;
  info->max_baud = zel::TextFind(text, kFastLinkToken) != 0 ? kFastLinkBaud : kNormalBaud;
  // The rate the line is set to: BaudRate is only the rate of the next open (and ZEL_InitVars
  // sets it to a placeholder).
  auto& platform = zel::platform::Current();
  const std::string device = platform.PortDevice(state.link.CommHandle);
  zel::platform::LineSettings line{};
  if (!device.empty() && platform.GetLine(state.link.CommHandle, &line)) {
    info->baud_rate = line.BaudRate;
  }
  CopyText(info->device, device);
  CopyText(info->ident_text, text);
  return 0;
}

}  // extern "C"
