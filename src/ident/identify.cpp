// The controller's identification.
//
// "V" is answered with one line of text; the first byte is not part of it, and the line ends with
// "?" or "@":
//
//   --> 56                                                  ("V")
//   <-- 0d "ZELKQB ver 4.75 Jan 10 2005 14:32:10 ddsclk=400 sync sn=123456 ?"
//
// Everything the library knows about the attached unit comes from the tokens of that line, read
// in lower case: the model (and with it the frequency limits, bridge resistances and synthesizer
// clock), the detector record format, the sync output, the UHF synthesizer values and the unit
// identification (the serial number, a date code kept in flash, or a number derived from the
// line itself).

#include "ident/identify.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ZEL_863_DLL.h"
#include "link/exchange.h"
#include "platform/platform.h"
#include "state/state.h"
#include "state/text.h"
#include "synth/mult_table.h"

namespace zel {

namespace {

// The controller finishes its start-up banner within a second of the port opening; it is given
// IdentDelayMs before "V", and the same again plus a margin for the reply itself.
constexpr int kIdentReplyMarginMs = 100;
// The controller's old firmware sometimes loses the terminator; a line that names its build year
// has come through in full.
constexpr std::string_view kCompleteMark = "2005";
// Firmware from 4.70 on averages more than 16 readings.
constexpr double kHighAvgFirmware = 4.69;
// Clock multiplier of the UHF synthesizers: SignalMult = kMultClockMHz / ddsclk.
constexpr int kMultClockMHz = 400;
constexpr int kMinDdsClockMHz = 20;
constexpr double kDfrScale = 1e-8;  // MHz per unit of the "dfr=" field
constexpr double kDefaultDeltaFreq = 0.002;
constexpr double kDefaultMinFreqMHz = 0.002;

bool IsTerminator(int b) {
  return b == '?' || b == '@';
}

// (tick - deadline) as a signed difference, so the 49-day wrap of the tick counter does no harm.
bool TickPast(std::uint32_t tick, std::uint32_t deadline) {
  return static_cast<std::int32_t>(tick - deadline) > 0;
}

// The number in the `count` characters that follow a token, or 0 when the token is absent.
double NumberAfter(std::string_view text, std::string_view token, int count) {
  const int p = TextFind(text, token);
  if (p == 0) return 0.0;
  return TextToNumber(TextMid(text, p + static_cast<int>(token.size()), count));
}

// Collects the reply to "V": the first byte dropped, at most 255 characters kept (the first
// ones), until a terminator or until a tick reading taken after an empty read is past the
// deadline. Returns whether the last byte read was a terminator.
bool CollectIdentReply(std::uint32_t deadline, std::string* text) {
  auto& p = platform::Current();
  std::uint32_t tick = p.TickMs();
  bool first = true;
  int last = -1;
  for (;;) {
    const int b = ReadReplyByte();
    if (b >= 0) {
      last = b;
      if (first) {
        first = false;
      } else if (text->size() < kTextSize - 1) {
        text->push_back(static_cast<char>(b));
      } else {
        // The buffer is full and the line still runs: a babbling line must not hold the call
        // beyond the deadline, so the clock is read after every byte from here on.
        tick = p.TickMs();
      }
      if (IsTerminator(b)) break;
    } else {
      state.link.PortStatus = 0;
      tick = p.TickMs();
    }
    if (TickPast(tick, deadline)) break;
  }
  return IsTerminator(last);
}

void ToLower(std::string* text) {
  for (char& ch : *text) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
}

// Hexadecimal as the controller's own parser reads it: a character c counts c - 48 below "a" and
// c - 87 from "a" on, so "0".."9" and "a".."f" give their digits and anything else some value,
// never undefined.
std::int64_t DfrValue(std::string_view field) {
  std::int64_t v = 0;
  for (char ch : field) {
    const int c = static_cast<unsigned char>(ch);
    v = v * 16 + (c < 97 ? c - 48 : c - 87);
  }
  return v;
}

// One row of the model table; an empty field keeps the value the variable has.
struct ModelParams {
  std::int32_t IdentState::*flag;
  int Code;  // ZEL_MODEL_* of the public header
  const char* Name;
  std::optional<double> MaxFreqMHz;
  std::optional<double> NominalMaxFreqMHz;
  std::optional<double> MinFreqMHz;
  std::optional<double> DdsClockMHz;
  std::optional<double> Rgen;
  std::optional<double> Rref;
};

// Applied in this order; when several flags are set the later row wins for what it sets.
constexpr ModelParams kModels[] = {
    {.flag = &IdentState::LowRangeModel,
     .Code = ZEL_MODEL_LOW_RANGE,
     .Name = "low-range",
     .MaxFreqMHz = 32,
     .NominalMaxFreqMHz = 32,
     .MinFreqMHz = 0.1,
     .DdsClockMHz = 120,
     .Rgen = 100.6,
     .Rref = 150},
    {.flag = &IdentState::StandardModel,
     .Code = ZEL_MODEL_STANDARD,
     .Name = "standard",
     .MaxFreqMHz = 180,
     .NominalMaxFreqMHz = 180,
     .MinFreqMHz = std::nullopt,
     .DdsClockMHz = 400,
     .Rgen = 50.2,
     .Rref = 100.9},
    {.flag = &IdentState::UhfModel,
     .Code = ZEL_MODEL_UHF,
     .Name = "UHF",
     .MaxFreqMHz = 1000,
     .NominalMaxFreqMHz = 1000,
     .MinFreqMHz = 0.002,
     .DdsClockMHz = std::nullopt,
     .Rgen = 51.3,
     .Rref = 95},
    {.flag = &IdentState::PowerModel,
     .Code = ZEL_MODEL_HIGH_POWER,
     .Name = "high-power",
     .MaxFreqMHz = 170,
     .NominalMaxFreqMHz = 170,
     .MinFreqMHz = 0.01,
     .DdsClockMHz = 400,
     .Rgen = 115,
     .Rref = 100},
};

void Apply(const std::optional<double>& value, double* target) {
  if (value) *target = *value;
}

// Model tokens of the (lower-case) reply.
void ScanModelTokens(std::string_view text) {
  auto& id = state.ident;
  id.LowRangeModel = TextFind(text, "zelkq3") ? 1 : 0;
  id.StandardModel =
      (TextFind(text, "kqc") || TextFind(text, "kqb") || TextFind(text, "kqa")) ? 1 : 0;
  id.UhfModel = TextFind(text, " uhf") ? 1 : 0;
  id.PowerModel = TextFind(text, "powerzel") ? 1 : 0;
}

// The lowest usable frequency; the last token present wins.
void ApplyMinFreqTokens(std::string_view text) {
  struct MinFreqToken {
    std::string_view token;
    double mhz;
  };
  static constexpr MinFreqToken kTokens[] = {
      {" 5khz", 0.002}, {" 10khz", 0.002}, {" 20khz", 0.01}, {" 50khz", 0.05}};
  state.synth.MinFreqMHz = kDefaultMinFreqMHz;
  for (const auto& t : kTokens) {
    if (TextFind(text, t.token)) state.synth.MinFreqMHz = t.mhz;
  }
}

}  // namespace

ModelName IdentifiedModel() {
  ModelName m{ZEL_MODEL_UNKNOWN, "unknown"};
  for (const auto& row : kModels) {
    if (state.ident.*row.flag != 0) m = {row.Code, row.Name};
  }
  return m;
}

void ApplyModelParameters() {
  auto& s = state.synth;
  auto& id = state.ident;
  for (const auto& m : kModels) {
    if (id.*m.flag == 0) continue;
    Apply(m.MaxFreqMHz, &s.MaxFreqMHz);
    Apply(m.NominalMaxFreqMHz, &id.NominalMaxFreqMHz);
    Apply(m.MinFreqMHz, &s.MinFreqMHz);
    Apply(m.DdsClockMHz, &s.DdsClockMHz);
    Apply(m.Rgen, &id.Rgen);
    Apply(m.Rref, &id.Rref);
  }
}

void IdentifyController() {
  auto& f = state.frame;
  auto& l = state.link;
  auto& s = state.synth;
  auto& id = state.ident;
  auto& p = platform::Current();

  l.PortStatus = -1;
  l.DataValid = 0;
  f.TextBuf[0] = '\0';
  id.ControllerText[0] = '\0';
  id.UnitIdText[0] = '\0';
  id.FlashProgrammed = 0;

  // The wait polls the clock without handing on window messages.
  const std::uint32_t delay = static_cast<std::uint32_t>(id.IdentDelayMs > 0 ? id.IdentDelayMs : 0);
  const std::uint32_t start = p.TickMs();
  while (p.TickMs() - start <= delay) p.SleepMs(1);
  const std::uint32_t deadline = p.TickMs() + delay + kIdentReplyMarginMs;
  // The start-up banner and anything else that came before "V" is not its reply.
  const bool sent = WriteRequest("V");

  std::string reply;
  const bool terminated = sent && CollectIdentReply(deadline, &reply);
  SetText(f.TextBuf, reply);
  std::string text = f.TextBuf;  // what the buffer holds (a NUL byte in the reply ends it)

  if (!terminated && TextFind(text, kCompleteMark) == 0) {
    f.StatusCode = ZEL_ERR_NO_IDENT;
    id.IdentReplyOk = 0;
  } else {
    f.StatusCode = 0;
    id.IdentReplyOk = 1;
    ToLower(&text);
    ScanModelTokens(text);
    if (!id.LowRangeModel && !id.StandardModel && !id.UhfModel && !id.PowerModel) {
      platform::ShowNotice(" Invalid program", "This program is only for the ZEL",
                           platform::kNoticeTopmost);
    }
    SetText(id.ControllerText, text);
    l.ShortRecord = TextFind(text, "sfd ");

    const double ddsclk = NumberAfter(text, "ddsclk=", 8);
    std::int32_t c = RoundToInt(ddsclk);
    if (c < kMinDdsClockMHz) c = kMinDdsClockMHz;
    s.SignalMult = kMultClockMHz / c;
    s.OffsetMult = s.SignalMult - 1;

    if (TextFind(text, " sn=") || !TextFind(text, " flash")) {
      ParseUnitId();
    } else {
      ReadFlashId();
      ReadFlashId();  // reads back what the first run may have programmed
    }

    // "ver 4.75": the three characters that begin four after the token.
    const int vp = TextFind(text, "ver");
    const double ver = vp ? TextToNumber(TextMid(text, vp + 4, 3)) : 0.0;
    id.FirmwareVersion100 = RoundToInt(ver * 100);
    id.DfOption = (TextFind(text, "df3khz") || TextFind(text, "df2khz")) ? 1 : 0;
    id.HighAvgAllowed = (ver > kHighAvgFirmware || id.DfOption == 1) ? 1 : 0;

    // A UHF unit without its offset field is not run as one.
    const int dp = TextFind(text, "dfr=");
    if (dp) {
      s.DeltaFreq = static_cast<double>(DfrValue(TextMid(text, dp + 4, 6))) * kDfrScale;
    } else {
      id.UhfModel = 0;
      s.DeltaFreq = kDefaultDeltaFreq;
    }
    l.SyncEnabled = TextFind(text, "sync");
    if (id.UhfModel) {
      l.SyncEnabled = 1;
      // The grid step divides frequencies later on: a missing or zero clock keeps the one held.
      if (ddsclk > 0) s.XtalOsc = ddsclk;
      state.measure.StepGridMHz = s.XtalOsc / 4;
    }
    ApplyMinFreqTokens(text);
  }

  ApplyModelParameters();
  BuildMultTable();
  SetText(f.TextBuf, id.ControllerText);
}

}  // namespace zel
