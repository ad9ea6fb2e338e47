// The controller's side of the wire protocol.
//
// The host writes fixed-length commands with no framing; the controller recognises each by its
// first byte (and the second for "Z" commands):
//
//   --> 46 30 36 36 36 36 36 37 43            "F0666667C"   tuning word 0x0666667C: 10 MHz at 400
//   MHz
//   <-- 72 bytes (or 67 with "sfd ")          detector record, sent by itself after every frequency
//   --> 45 54 55 "66666666" "71C6D1E1"        UHF: multipliers 10/9, gain 1 + settling 20, two
//   words
//   --> 52                                    "R": the last record again, byte for byte
//   --> 4A 04 / 4B 2B / 4B AB / 5A 32         averaging 4, relay code 3 (two forms), sync pulse
//   --> 5A 34 / 5A 37 / 5A 54                 RF voltage, temperature (power), temperature (UHF)
//   <-- 2 bytes, high byte first              raw 12-bit converter count
//   --> 5A 52 44 "1000"                       read 4 flash words at 0x1000; <-- 8 bytes
//   --> 5A 57 44 41 "1000" 4 x "WWWW"         write them; <-- "K"
//   --> 56                                    "V"; <-- CR, identification text ending "?" or "@"
//
// A byte that starts no command, or a command whose fields are not what the controller expects,
// is logged and its first byte skipped, so the parser re-synchronises on the next command byte.
// A command left incomplete for longer than kCommandGapS is dropped: the host writes each
// command in one write, so its bytes never arrive that far apart.

#include "simulator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <sstream>

#include "text.h"

namespace zelsim {
namespace {

using Complex = std::complex<double>;

constexpr double kCommandGapS = 0.05;
constexpr double kTuningScale = 4294967296.0;  // 2^32, full scale of a tuning word
constexpr int kFlashWords = 65536;
constexpr std::uint16_t kErasedWord = 0xFFFF;
constexpr int kLinkRate = 57600;
constexpr int kHighLinkRate = 115000;  // the controller's high rate, not 115200
constexpr int kBitsPerByte = 10;       // start, 8 data, stop
constexpr int kPowerOnAvgCount = 4;    // what the library assumes before its first "J"
constexpr int kCountByte256 = 200;     // "J" carries 256 as this byte
constexpr int kMaxLevel = 1023;        // full output level of a synthesizer
constexpr int kLevelSynth2 = 0x4000;   // level word bit that addresses synthesizer 2
// Detector samples in the library's scaled units: a mid-range offset keeps every word within
// 0..65535 at any scale, and the load amplitude is capped below it.
constexpr double kDcCounts = 32768;
constexpr double kMaxAmplitude = 30000;
constexpr double kRefPhase = 0.5;   // radians; any constant, the library uses phase differences
constexpr double kNoiseCounts = 6;  // sample noise at count 1, falling as 1/sqrt(count)
constexpr std::uint16_t kRecordTag = 0xA55A;  // first header word of a long record
constexpr double kIfToleranceMHz = 1e-5;      // far above tuning-word resolution (about 1e-7 MHz)
constexpr std::uint8_t kYTail[6] = {0x25, 0x64, 0x29, 0x63, 0x1A, 0x7F};
constexpr int kGainBand1MHz = 515, kGainBand2MHz = 1150;

const ModelInfo kModels[] = {
    {Model::kLowRange, "lowrange", 120, 100.6, 150, 32, false, false, false,
     "ZELkq3 ver 4.85 jan 10 2005 14:32:10 sfd sync 5khz maxbaud115?"},
    {Model::kStandard, "standard", 400, 50.2, 100.9, 180, false, false, false,
     "ZELkqc ver 5.12 mar 02 2006 09:15:44 sn=00012345 sync 10khz fmax=180 maxbaud115?"},
    {Model::kUhf, "uhf", 0, 51.3, 95, 1000, false, false, true,
     "ZEL uhf ver 6.30 nov 21 2008 16:05:31 flash sync ddsclk=50.00000 dfr=00c350 5khz?"},
    {Model::kHighPower, "power", 400, 115, 100, 170, true, true, false,
     "PowerZEL ver 5.40 jun 15 2007 11:20:02 sn=00023456 df2khz sync 20khz?"},
};

bool IsHex(std::uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

std::uint32_t Hex(const std::uint8_t* p, int digits) {
  std::uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    std::uint8_t c = p[i];
    int d = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    v = v * 16 + static_cast<std::uint32_t>(d);
  }
  return v;
}

bool AllHex(const std::vector<std::uint8_t>& b, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i)
    if (!IsHex(b[i])) return false;
  return true;
}

std::string Printable(const std::uint8_t* p, std::size_t n) {
  std::string s;
  char buf[8];
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] >= 0x20 && p[i] < 0x7F) {
      s += static_cast<char>(p[i]);
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02X", p[i]);
      s += buf;
    }
  }
  return s;
}

int Clamp12(double raw) {
  return static_cast<int>(std::clamp(std::nearbyint(raw), 0.0, 4095.0));
}

void PutWord(std::vector<std::uint8_t>* out, std::uint16_t w) {
  out->push_back(static_cast<std::uint8_t>(w >> 8));
  out->push_back(static_cast<std::uint8_t>(w & 0xFF));
}

}  // namespace

bool ParseModel(const std::string& name, Model* out) {
  std::string n = zeltext::Lower(name);
  if (n == "highpower" || n == "high-power") n = "power";
  for (const auto& m : kModels) {
    if (n == m.name) {
      *out = m.model;
      return true;
    }
  }
  return false;
}

const ModelInfo& Info(Model model) {
  for (const auto& m : kModels)
    if (m.model == model) return m;
  return kModels[1];
}

const char* ModelName(Model model) {
  return Info(model).name;
}

Config DefaultConfig(Model model) {
  Config c;
  c.model = model;
  return c;
}

int ReadingScaleFor(int n) {
  if (n < 2) return 16;
  if (n <= 4) return 4;
  if (n <= 8) return 2;
  return 1;
}

int RfVoltsToRaw(double volts) {
  // The library reads (raw * 3.3 / 4096 + 0.052) * 20.12 volts, and 0 at or below 0.07 V.
  if (!(volts > 0)) return 0;
  return Clamp12((volts / 20.12 - 0.052) * 4096 / 3.3);
}

int PowerTempToRaw(double temp_f) {
  // 10 mV per degree Celsius above 0.5 V at 0 C; the library subtracts a 7 F correction.
  double c = (temp_f + 7 + 40) / 1.8 - 40;
  return Clamp12((c * 0.01 + 0.5) * 4096 / 3.3);
}

int UhfTempToRaw(double temp_f) {
  // 3.55 mV per degree Celsius above 0.986 V at 0 C; the library subtracts a 10 F correction.
  double c = (temp_f + 10 + 40) / 1.8 - 40;
  return Clamp12((c * 0.00355 + 0.986) * 4096 / 3.3);
}

Simulator::Simulator(Config config)
    : config_(std::move(config)),
      info_(Info(config_.model)),
      flash_(kFlashWords, kErasedWord),
      rng_(config_.seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {
  ident_ = config_.ident.empty() ? info_.ident : config_.ident;
  std::string low = zeltext::Lower(ident_);
  short_records_ = low.find("sfd ") != std::string::npos;
  if (auto p = low.find("ddsclk="); p != std::string::npos) {
    double v = zeltext::LeadingNumber(low.substr(p + 7, 8));
    if (v > 0) xtal_mhz_ = v;
  }
  if (auto p = low.find("dfr="); p != std::string::npos && p + 10 <= low.size()) {
    std::vector<std::uint8_t> f(low.begin() + static_cast<long>(p) + 4,
                                low.begin() + static_cast<long>(p) + 10);
    if (AllHex(f, 0, 6)) delta_mhz_ = Hex(f.data(), 6) * 1e-8;
  }
  state_.avg_count = kPowerOnAvgCount;
  state_.baud = kLinkRate;
  SetDut(config_.dut);
  LoadFlash();
}

void Simulator::SetDut(const Dut& dut) {
  config_.dut = dut;
  if (config_.dut.kind == Dut::Kind::kLoad && std::isnan(config_.dut.r))
    config_.dut.r = config_.rcal_ohms;
}

std::complex<double> Simulator::TrueImpedance(double f_mhz) const {
  return DutImpedance(config_.dut, f_mhz);
}

std::complex<double> Simulator::RawImpedance(double f_mhz) const {
  return ApplyErrorModel(config_.errors, TrueImpedance(f_mhz), f_mhz);
}

void Simulator::Log(double now_s, const std::string& line) {
  if (!log_) return;
  char t[32];
  std::snprintf(t, sizeof t, "%.6f ", now_s);
  log_(now_s, t + line);
}

std::uint64_t Simulator::NextRandom() {
  // splitmix64: the same sequence for a seed on every platform.
  std::uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double Simulator::Gaussian() {
  double u1 = (static_cast<double>(NextRandom() >> 11) + 1) / 9007199254740993.0;
  double u2 = static_cast<double>(NextRandom() >> 11) / 9007199254740992.0;
  return std::sqrt(-2 * std::log(u1)) * std::cos(2 * std::numbers::pi * u2);
}

bool Simulator::TakeUnplugRequest() {
  bool r = unplug_request_;
  unplug_request_ = false;
  return r;
}

void Simulator::DropLine() {
  in_.clear();
  out_.clear();
  line_free_at_ = 0;
}

void Simulator::HostLineRate(int baud) {
  if (baud <= 0) return;
  if (baud == state_.baud) {
    rate_switch_pending_ = false;  // the host has followed a "C"
    return;
  }
  // Right after "C" the host is still at the old rate until it reopens the port.
  if (rate_switch_pending_ && baud == rate_before_switch_) return;
  ++counters_.rate_mismatches;
  Log(last_now_, "host line at " + std::to_string(baud) + " baud, controller at " +
                     std::to_string(state_.baud) + ": following the host");
  state_.baud = baud;
}

std::uint16_t Simulator::FlashWord(int addr) const {
  return flash_[static_cast<std::size_t>(addr & (kFlashWords - 1))];
}

void Simulator::SetFlashWord(int addr, std::uint16_t word) {
  flash_[static_cast<std::size_t>(addr & (kFlashWords - 1))] = word;
  SaveFlash();
}

void Simulator::LoadFlash() {
  if (config_.flash_file.empty()) return;
  std::ifstream in(config_.flash_file);
  unsigned addr = 0, word = 0;
  std::string line;
  while (std::getline(in, line)) {
    if (std::sscanf(line.c_str(), "%x %x", &addr, &word) == 2 && addr < kFlashWords)
      flash_[addr] = static_cast<std::uint16_t>(word);
  }
}

void Simulator::SaveFlash() const {
  if (config_.flash_file.empty()) return;
  // Written beside and renamed, so a simulator killed mid-write leaves the old contents.
  std::string tmp = config_.flash_file + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    char buf[16];
    for (int a = 0; a < kFlashWords; ++a) {
      if (flash_[static_cast<std::size_t>(a)] == kErasedWord) continue;
      std::snprintf(buf, sizeof buf, "%04X %04X\n", a, flash_[static_cast<std::size_t>(a)]);
      out << buf;
    }
    if (!out) return;
  }
  std::rename(tmp.c_str(), config_.flash_file.c_str());
}

void Simulator::Receive(const std::uint8_t* bytes, std::size_t n, double now_s) {
  last_now_ = now_s;
  for (std::size_t i = 0; i < n; ++i) {
    if (!in_.empty() && now_s - in_since_ > kCommandGapS) {
      ++counters_.malformed;
      Log(now_s, "incomplete command dropped: " + Printable(in_.data(), in_.size()));
      in_.clear();
    }
    if (in_.empty()) in_since_ = now_s;
    in_.push_back(bytes[i]);
    for (;;) {
      if (in_.empty()) break;
      int len = 0;
      const CommandEntry* entry = Match(&len);
      if (len == 0) break;
      if (len > 0 && static_cast<int>(in_.size()) < len) break;
      if (len < 0 || !Valid(*entry, len)) {
        if (len == -1) {
          ++counters_.unknown_bytes;
          Log(now_s, "unknown byte skipped: " + Printable(in_.data(), 1));
        } else {
          ++counters_.malformed;
          Log(now_s, "malformed command, first byte skipped: " +
                         Printable(in_.data(), std::min<std::size_t>(in_.size(), 24)));
        }
        in_.erase(in_.begin());
        continue;
      }
      Execute(*entry, len, now_s);
      in_.erase(in_.begin(), in_.begin() + len);
    }
  }
}

namespace {

bool PowerDownFlag(const std::uint8_t* b) {
  return b[1] == '0' || b[1] == '1';
}
bool PeriodicTail(const std::uint8_t* b) {
  return std::equal(b + 1, b + 7, kYTail);
}
bool FlashReadCount(const std::uint8_t* b) {
  return b[2] >= 'A' && b[2] <= 'P';  // 1 to 16 words
}
bool FlashWriteTag(const std::uint8_t* b) {
  return b[3] == 'A';
}

constexpr int kMaxFlashWordsPerCommand = 16;

}  // namespace

// The controller's command table: first byte (and second for "Z"), length, field checks and the
// handler. A command byte that is not here starts no command.
const Simulator::CommandEntry Simulator::kCommands[] = {
    {'F', 0, 9, 1, nullptr, &Simulator::OnFrequency},
    {'U', 0, 9, 1, nullptr, &Simulator::OnFrequency},
    {'E', 0, 19, 3, nullptr, &Simulator::OnUhfFrequency},
    {'R', 0, 1, 0, nullptr, &Simulator::OnResend},
    {'M', 0, 5, 1, nullptr, &Simulator::OnLevel},
    {'J', 0, 2, 0, nullptr, &Simulator::OnAveraging},
    {'K', 0, 2, 0, nullptr, &Simulator::OnRelay},
    {'Y', 0, 7, 0, PeriodicTail, &Simulator::OnPeriodic},
    {'C', 0, 1, 0, nullptr, &Simulator::OnRateSwitch},
    {'D', 0, 2, 0, PowerDownFlag, &Simulator::OnPowerDown},
    {'V', 0, 1, 0, nullptr, &Simulator::OnIdent},
    {'Z', '2', 2, 0, nullptr, &Simulator::OnSync},
    {'Z', '4', 2, 0, nullptr, &Simulator::OnRfVoltage},
    {'Z', '7', 2, 0, nullptr, &Simulator::OnPowerTemp},
    {'Z', 'T', 2, 0, nullptr, &Simulator::OnUhfTemp},
    {'Z', 'R', 7, 3, FlashReadCount, &Simulator::OnFlashRead},
    {'Z', 'W', 0, 4, FlashWriteTag, &Simulator::OnFlashWrite},
};

const Simulator::CommandEntry* Simulator::Match(int* length) const {
  const bool two_bytes = in_[0] == 'Z';
  if (two_bytes && in_.size() < 2) {
    *length = 0;
    return nullptr;
  }
  for (const auto& entry : kCommands) {
    if (entry.first != in_[0] || (two_bytes && entry.second != in_[1])) continue;
    *length = entry.length;
    if (entry.length == 0) {  // "ZW": 8 bytes of head, then 4 hex digits per word
      if (in_.size() < 3) {
        *length = 0;
      } else {
        const int words = in_[2] - 64;
        *length = words < 1 || words > kMaxFlashWordsPerCommand ? -2 : 8 + 4 * words;
      }
    }
    return *length > 0 ? &entry : nullptr;
  }
  *length = two_bytes ? -2 : -1;
  return nullptr;
}

bool Simulator::Valid(const CommandEntry& entry, int len) const {
  if (entry.hex_from > 0 &&
      !AllHex(in_, static_cast<std::size_t>(entry.hex_from), static_cast<std::size_t>(len)))
    return false;
  return entry.fields_ok == nullptr || entry.fields_ok(in_.data());
}

void Simulator::Execute(const CommandEntry& entry, int len, double now_s) {
  const Cmd c{in_.data(), len, now_s, Printable(in_.data(), static_cast<std::size_t>(len))};
  ++counters_.commands;
  rate_switch_pending_ = c.b[0] == 'C';
  (this->*entry.run)(c);
  if (faults_.unplug_after_commands >= 0) {
    if (faults_.unplug_after_commands <= 1) {
      faults_.unplug_after_commands = -1;
      unplug_request_ = true;
      ++counters_.unplugs;
      Log(now_s, "fault: the port goes away");
    } else {
      --faults_.unplug_after_commands;
    }
  }
}

void Simulator::OnFrequency(const Cmd& c) {
  ++counters_.freq9;
  if (c.b[0] == 'U') ++counters_.freq_u;
  double clock = info_.dds_clock_mhz > 0 ? info_.dds_clock_mhz : xtal_mhz_;
  double f = Hex(c.b + 1, 8) / kTuningScale * clock;
  // Above half the clock the synthesizer's output is the alias below it.
  if (f > clock / 2) f = clock - f;
  last_freq_mhz_ = f;
  char note[64];
  std::snprintf(note, sizeof note, " f=%.6f MHz", f);
  Log(c.now_s, c.text + note);
  Measure(f, true, c.now_s, c.len);
}

void Simulator::OnUhfFrequency(const Cmd& c) {
  ++counters_.freq19;
  double f = 0;
  bool signal = RecoverUhf(c.b, &f);
  char note[160];
  if (signal) {
    last_freq_mhz_ = f;
    std::snprintf(note, sizeof note, " f=%.6f MHz x%d/x%d band %d settling %d", f,
                  state_.signal_mult, state_.offset_mult, state_.gain_band, state_.settling);
  } else {
    ++counters_.no_signal_records;
    std::snprintf(note, sizeof note, " no IF: the synthesizers are not %.6f MHz apart", delta_mhz_);
  }
  Log(c.now_s, c.text + note);
  Measure(f, signal, c.now_s, c.len);
}

void Simulator::OnResend(const Cmd& c) {
  ++counters_.resends;
  Log(c.now_s, c.text);
  if (last_record_.empty()) {
    ++counters_.unanswered;
    Log(c.now_s, "no record to send again");
  } else {
    QueueReply(last_record_, c.now_s, c.len, true);
  }
}

void Simulator::OnLevel(const Cmd& c) {
  ++counters_.levels;
  auto w = static_cast<int>(Hex(c.b + 1, 4));
  int level = std::min(w & 0x3FF, kMaxLevel);
  (w & kLevelSynth2 ? state_.level2 : state_.level1) = level;
  Log(c.now_s, c.text);
}

void Simulator::OnAveraging(const Cmd& c) {
  ++counters_.averaging;
  int n = c.b[1] == kCountByte256 ? 256 : std::max<int>(c.b[1], 1);
  state_.avg_count = n;
  Log(c.now_s, c.text + " averaging " + std::to_string(n));
}

void Simulator::OnRelay(const Cmd& c) {
  ++counters_.relay;
  state_.relay_byte = c.b[1];
  // First form 0x28 + code, second form 0xA8 + code (bit 7 set).
  int code = (c.b[1] & 0x7F) - 0x28;
  char note[64];
  if (code >= 0 && code <= 7) {
    state_.relay_code = code;
    std::snprintf(note, sizeof note, " relay code %d", code);
  } else {
    std::snprintf(note, sizeof note, " relay byte 0x%02X not understood", c.b[1]);
  }
  Log(c.now_s, c.text + note);
}

void Simulator::OnPeriodic(const Cmd& c) {
  ++counters_.y_commands;
  Log(c.now_s, c.text);
}

void Simulator::OnRateSwitch(const Cmd& c) {
  ++counters_.rate_switches;
  rate_before_switch_ = state_.baud;
  state_.baud = kHighLinkRate;
  Log(c.now_s, c.text + " link rate 115000");
}

void Simulator::OnPowerDown(const Cmd& c) {
  ++counters_.power_down_cmds;
  state_.power_down = c.b[1] == '1';
  Log(c.now_s, c.text);
}

void Simulator::OnIdent(const Cmd& c) {
  ++counters_.idents;
  Log(c.now_s, c.text);
  std::vector<std::uint8_t> reply{'\r'};
  reply.insert(reply.end(), ident_.begin(), ident_.end());
  QueueReply(std::move(reply), c.now_s, c.len, false);
}

void Simulator::OnSync(const Cmd& c) {
  Log(c.now_s, c.text);
  ++counters_.sync_pulses;
}

void Simulator::OnRfVoltage(const Cmd& c) {
  Log(c.now_s, c.text);
  ++counters_.rf_reads;
  AnswerSensor(
      c, info_.has_rf_sensor,
      config_.rf_raw_override >= 0 ? config_.rf_raw_override : RfVoltsToRaw(config_.rf_volts));
}

void Simulator::OnPowerTemp(const Cmd& c) {
  Log(c.now_s, c.text);
  ++counters_.temp_reads;
  AnswerSensor(c, info_.has_power_temp, PowerTempToRaw(config_.temp_f));
}

void Simulator::OnUhfTemp(const Cmd& c) {
  Log(c.now_s, c.text);
  ++counters_.temp_reads;
  AnswerSensor(c, info_.has_uhf_temp, UhfTempToRaw(config_.temp_f));
}

void Simulator::AnswerSensor(const Cmd& c, bool fitted, int raw) {
  if (!fitted) {
    ++counters_.unanswered;
    Log(c.now_s, "no such sensor on this model: no reply");
    return;
  }
  std::vector<std::uint8_t> reply;
  PutWord(&reply, static_cast<std::uint16_t>(raw));
  QueueReply(std::move(reply), c.now_s, c.len, false);
}

void Simulator::OnFlashRead(const Cmd& c) {
  Log(c.now_s, c.text);
  ++counters_.flash_reads;
  int n = c.b[2] - 64;
  int addr = static_cast<int>(Hex(c.b + 3, 4));
  std::vector<std::uint8_t> reply;
  for (int k = 0; k < n; ++k) PutWord(&reply, FlashWord(addr + k));
  QueueReply(std::move(reply), c.now_s, c.len, false);
}

void Simulator::OnFlashWrite(const Cmd& c) {
  Log(c.now_s, c.text);
  ++counters_.flash_writes;
  int n = c.b[2] - 64;
  int addr = static_cast<int>(Hex(c.b + 4, 4));
  for (int k = 0; k < n; ++k)
    flash_[static_cast<std::size_t>((addr + k) & (kFlashWords - 1))] =
        static_cast<std::uint16_t>(Hex(c.b + 8 + 4 * k, 4));
  SaveFlash();
  QueueReply({'K'}, c.now_s, c.len, false);
}

bool Simulator::RecoverUhf(const std::uint8_t* c, double* f_mhz) {
  int sm = (c[1] >> 4) + 5;
  int om = (c[1] & 0x0F) + 5;
  state_.signal_mult = sm;
  state_.offset_mult = om;
  state_.gain_band = c[2] / 64;
  state_.settling = c[2] % 64 - 1;
  double clk1 = xtal_mhz_ * sm, clk2 = xtal_mhz_ * om;
  double x1 = Hex(c + 3, 8) / kTuningScale;
  double x2 = Hex(c + 11, 8) / kTuningScale;
  // Each synthesizer puts out its word's frequency and every image of it, m * clock +/- f, up to
  // the eighth zone. The detectors see the device only where a signal image and an offset image
  // lie DeltaFreq apart (the IF); when several pairs do, the gain band's filter picks, then the
  // lowest image.
  auto images = [](double x) {
    std::vector<double> v;
    for (int m = 0; m <= 5; ++m) {
      for (double y : {m + x, m - x})
        if (y >= 0 && y < 4.5) v.push_back(y);
    }
    return v;
  };
  auto in_band = [&](double f) {
    switch (state_.gain_band) {
      case 0:
        return f < kGainBand1MHz;
      case 1:
        return f >= kGainBand1MHz;
      default:
        return f > kGainBand2MHz;
    }
  };
  bool found = false;
  double best = 0;
  for (double y1 : images(x1)) {
    double f1 = y1 * clk1;
    for (double y2 : images(x2)) {
      if (std::abs(y2 * clk2 - f1 - delta_mhz_) > kIfToleranceMHz) continue;
      bool better =
          !found || (in_band(f1) && !in_band(best)) || (in_band(f1) == in_band(best) && f1 < best);
      if (better) best = f1;
      found = true;
    }
  }
  *f_mhz = best;
  return found;
}

void Simulator::Measure(double f_mhz, bool signal, double now_s, int cmd_len) {
  int count = state_.avg_count;
  int scale = ReadingScaleFor(count);
  double ref_amp = 0, load_amp = 0, load_phase = kRefPhase;
  if (signal) {
    // The library takes Zarm = Rref * MagRef / MagLoad at the phase difference, and Rs + jXs =
    // Zarm - Rgen: the load detector falls as the bridge arm's impedance grows.
    Complex zarm = info_.rgen_ohms + RawImpedance(f_mhz);
    ref_amp = config_.ref_counts * state_.level1 / kMaxLevel;
    double mag = std::abs(zarm);
    if (std::isfinite(mag) && mag > 0) {
      load_amp = std::min(info_.rref_ohms * ref_amp / mag, kMaxAmplitude);
      load_phase += std::arg(zarm);
    }
  }
  double sigma = config_.noise * kNoiseCounts / std::sqrt(static_cast<double>(count));
  std::uint16_t words[33];
  auto block = [&](int first, double amp, double phase) {
    for (int i = 0; i < 16; ++i) {
      double s = kDcCounts + amp * std::sin(2 * std::numbers::pi * i / 16 + phase);
      if (sigma > 0) s += sigma * Gaussian();
      // The library multiplies each word by its ReadingScale: send the sample divided by it.
      words[first + i] =
          static_cast<std::uint16_t>(std::clamp(std::nearbyint(s / scale), 0.0, 65535.0));
    }
  };
  block(0, load_amp, load_phase);
  block(16, ref_amp, kRefPhase);
  // Word 32, unused by the library: relay code in the low byte, bit 8 = IF present.
  words[32] = static_cast<std::uint16_t>((state_.relay_code & 0xFF) | (signal ? 0x100 : 0));

  std::vector<std::uint8_t> rec;
  unsigned sum = 0;
  if (short_records_) {
    for (auto w : words) {
      PutWord(&rec, w);
      sum += w;
    }
    rec.push_back(static_cast<std::uint8_t>((sum >> 4) & 0xFF));
  } else {
    std::uint16_t header[2] = {kRecordTag, ++record_seq_};
    for (auto w : header) {
      PutWord(&rec, w);
      sum += w;
    }
    for (auto w : words) {
      PutWord(&rec, w);
      sum += w;
    }
    PutWord(&rec, static_cast<std::uint16_t>(sum & 0xFFFF));
  }
  last_record_ = rec;
  QueueReply(std::move(rec), now_s, cmd_len, true);
}

void Simulator::QueueReply(std::vector<std::uint8_t> bytes, double now_s, int cmd_len,
                           bool record) {
  if (faults_.silent_replies > 0) {
    --faults_.silent_replies;
    ++counters_.replies_silenced;
    Log(now_s, "fault: reply withheld");
    return;
  }
  if (record) {
    ++counters_.records_sent;
    if (faults_.bad_checksums > 0) {
      --faults_.bad_checksums;
      ++counters_.bad_checksums_sent;
      bytes.back() ^= 0x01;  // the last byte is (part of) the checksum in both formats
      Log(now_s, "fault: wrong checksum");
    }
  }
  if (faults_.cut_replies > 0) {
    --faults_.cut_replies;
    ++counters_.replies_cut;
    if (faults_.cut_after_bytes >= 0 &&
        static_cast<std::size_t>(faults_.cut_after_bytes) < bytes.size())
      bytes.resize(static_cast<std::size_t>(faults_.cut_after_bytes));
    Log(now_s, "fault: reply cut after " + std::to_string(bytes.size()) + " bytes");
  }
  if (faults_.garbage_replies > 0) {
    --faults_.garbage_replies;
    int n = std::max(faults_.garbage_bytes, 0);
    std::vector<std::uint8_t> junk;
    for (int i = 0; i < n; ++i) junk.push_back(static_cast<std::uint8_t>(NextRandom() & 0xFF));
    bytes.insert(bytes.begin(), junk.begin(), junk.end());
    counters_.garbage_bytes_sent += n;
    Log(now_s, "fault: " + std::to_string(n) + " garbage bytes before the reply");
  }
  double delay_ms = config_.latency_ms + faults_.extra_latency_ms;
  const bool late = faults_.late_replies > 0;
  if (late) {
    --faults_.late_replies;
    ++counters_.replies_late;
    delay_ms += faults_.late_ms;
    Log(now_s, "fault: reply held back " + std::to_string(faults_.late_ms) + " ms");
  }
  double bit_s = static_cast<double>(kBitsPerByte) / state_.baud;
  double t = now_s + delay_ms / 1000;
  // Paced, the command's own bytes reach the controller only after their wire time.
  if (config_.paced) t += cmd_len * bit_s;
  t = std::max(t, line_free_at_);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (config_.paced) t += bit_s;
    out_.push_back({bytes[i], t, late && i == 0});
  }
  line_free_at_ = t;
}

int Simulator::NextByte(double now_s) {
  if (out_.empty() || out_.front().at > now_s) return -1;
  int b = out_.front().byte;
  out_.pop_front();
  return b;
}

double Simulator::NextByteTime() const {
  return out_.empty() ? -1 : out_.front().at;
}

int Simulator::LateRepliesQueued() const {
  return static_cast<int>(
      std::count_if(out_.begin(), out_.end(), [](const Pending& p) { return p.late_start; }));
}

double Simulator::ChunkEndTime(double until_s) const {
  if (out_.empty()) return -1;
  double end = out_.front().at;
  for (const Pending& p : out_) {
    if (p.at > until_s) break;
    end = p.at;
  }
  return end;
}

}  // namespace zelsim
