// The analyzer's controller, simulated: it takes the host's command bytes, keeps the instrument's
// state, measures a device under test through a bridge with its own imperfections, and answers
// with the bytes the real controller sends. It knows only the wire protocol, never the library.
//
// Time is the caller's: every byte received carries the time it arrived (seconds, any origin), and
// a reply byte becomes available at the time the instrument would have it on the line. The
// in-process transport feeds a virtual clock, the pseudo-terminal one the monotonic clock.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace zelsim {

enum class Model { kLowRange, kStandard, kUhf, kHighPower };

// "lowrange", "standard", "uhf", "power" (also "highpower").
bool ParseModel(const std::string& name, Model* out);
const char* ModelName(Model model);

// Constants of one model: the bridge, the synthesizer and the sensors it carries.
struct ModelInfo {
  Model model;
  const char* name;
  double dds_clock_mhz;  // single-synthesizer models; the UHF model takes "ddsclk=" of its ident
  double rgen_ohms;
  double rref_ohms;
  double max_mhz;
  bool has_rf_sensor;   // "Z4"
  bool has_power_temp;  // "Z7"
  bool has_uhf_temp;    // "ZT"
  const char* ident;    // identification text, sent after a leading CR
};
const ModelInfo& Info(Model model);

// One measured impedance of a Touchstone file.
struct TablePoint {
  double f_mhz;
  std::complex<double> s;  // reflection coefficient against ref_ohms
};

// The device under test. A zero or missing element of a series or parallel circuit is absent.
struct Dut {
  enum class Kind { kFixed, kSeries, kParallel, kAntenna, kShort, kOpen, kLoad, kTouchstone };
  Kind kind = Kind::kFixed;
  double r = 50;         // ohms; for kLoad NaN means "the simulator's Rcal"
  double x = 0;          // ohms, kFixed
  double l = 0;          // henry
  double c = 0;          // farad
  double f0_mhz = 14.2;  // antenna resonance
  double q = 10;         // antenna Q
  double ref_ohms = 50;  // Touchstone reference
  std::vector<TablePoint> table;
  std::string text = "r=50,x=0";  // as given, for the log
};

// "r=50,x=10", "series:r=..,l=..,c=..", "parallel:r=..,l=..,c=..", "antenna:f0=14.2,r=50,q=10",
// "short", "open", "load", "load:r=100", "s1p:PATH". Numbers take SI suffixes p n u m k M G.
bool ParseDut(const std::string& text, Dut* out, std::string* error);
// One-port Touchstone text (S parameters; HZ/KHZ/MHZ/GHZ; RI/MA/DB; "R" reference).
bool ParseTouchstone(const std::string& content, Dut* out, std::string* error);
// Impedance at f; an open circuit (or a pole) is complex(+inf, 0).
std::complex<double> DutImpedance(const Dut& dut, double f_mhz);

// The bridge's own imperfections as a one-port error network between the device and the
// detectors: a gain with a delay, a series residual and a shunt admittance. Every part varies
// slowly with frequency, so calibration tables on a 1 MHz grid interpolate it closely, and the
// whole is a bilinear map, so a short/open/load calibration removes it exactly.
struct ErrorModel {
  double gain = 0.95;         // |G|
  double delay_ps = 40;       // arg G = -2 pi f delay
  double series_ohms = 0.35;  // residual in series with the device
  double series_nh = 6;       // its inductance
  double shunt_kohm = 6;      // leakage across the port
  double shunt_pf = 0.6;      // stray capacitance across the port
  static ErrorModel None() { return {1, 0, 0, 0, 0, 0}; }
};
// The raw impedance (Rs + jXs) that an ideal demodulation of the bridge reports for z at f.
std::complex<double> ApplyErrorModel(const ErrorModel& em, std::complex<double> z, double f_mhz);

struct Config {
  Model model = Model::kStandard;
  std::string ident;  // identification text (sent after a leading CR); empty = model default
  Dut dut;            // default 50 + j0
  double rcal_ohms = 50;
  ErrorModel errors;
  std::uint64_t seed = 1;
  double noise = 1.0;  // noise scale; 0 = noiseless
  double rf_volts = 0;
  double temp_f = 72;
  int rf_raw_override = -1;  // >= 0: "Z4" answers this raw value as it stands
  bool paced = false;        // bytes take their wire time, 10 bits each at the link rate
  double latency_ms = 0;     // from a command's arrival to its first reply byte
  std::string flash_file;    // flash words kept across restarts
  double ref_counts = 4000;  // reference detector amplitude at full output level
};
Config DefaultConfig(Model model);

// Faults on demand. Each counter is consumed as the fault is injected; Counters report them.
struct Faults {
  int bad_checksums = 0;   // the next k records (resends included) leave with a wrong checksum
  int silent_replies = 0;  // the next n answered commands are carried out but get no reply
  int cut_replies = 0;     // the next k replies stop after cut_after_bytes bytes
  int cut_after_bytes = 0;
  int garbage_replies = 0;  // the next k replies are preceded by garbage_bytes random bytes
  int garbage_bytes = 8;
  double extra_latency_ms = 0;  // added before every reply
  // The next k replies leave late_ms after their command: later than the host's time-out, as
  // from an instrument that stalls for a moment or an adapter that flushes late. The line stays
  // in order: replies to later commands follow them.
  int late_replies = 0;
  double late_ms = 0;
  int unplug_after_commands = -1;  // the port goes away after this many more commands
};

// The controller's live state: what its commands set and what its replies then depend on.
struct InstrumentState {
  int relay_code = 0;   // last relay code (either form)
  int relay_byte = -1;  // last "K" byte as received
  int avg_count = 4;    // averaging count in force (the count byte 200 means 256)
  int baud = 57600;
  bool power_down = false;           // automatic power-down enabled ("D1")
  int level1 = 1023, level2 = 1023;  // output level words, synthesizer 1 and 2
  int signal_mult = 0, offset_mult = 0, gain_band = 0, settling = 0;  // last "E" command
};

// What the tests count: commands by kind, bytes the parser skipped, replies, faults injected.
struct Counters {
  // Commands by kind.
  int freq9 = 0;            // "F" / "U"
  int freq_u = 0;           // of them "U"
  int freq19 = 0;           // "E"
  int resends = 0;          // "R"
  int levels = 0;           // "M"
  int averaging = 0;        // "J"
  int relay = 0;            // "K"
  int sync_pulses = 0;      // "Z2"
  int y_commands = 0;       // "Y" + 6
  int rate_switches = 0;    // "C"
  int power_down_cmds = 0;  // "D0" / "D1"
  int rf_reads = 0;         // "Z4"
  int temp_reads = 0;       // "Z7" / "ZT"
  int idents = 0;           // "V"
  int flash_reads = 0;      // "ZR"
  int flash_writes = 0;     // "ZW"
  int commands = 0;         // all of the above
  int unknown_bytes = 0;    // bytes that start no command, skipped
  int malformed = 0;        // commands with bad fields, or cut off by a pause; first byte skipped
  int unanswered = 0;       // commands the model does not answer (a sensor it lacks, "R" first)
  int records_sent = 0;
  int no_signal_records = 0;  // UHF commands whose two synthesizers give no IF
  int rate_mismatches = 0;    // the host opened the line at a rate the controller was not at
  // Faults injected.
  int bad_checksums_sent = 0;
  int replies_silenced = 0;
  int replies_cut = 0;
  int garbage_bytes_sent = 0;
  int replies_late = 0;
  int unplugs = 0;
};

class Simulator {
 public:
  explicit Simulator(Config config);

  // Bytes from the host, arriving at now_s.
  void Receive(const std::uint8_t* bytes, std::size_t n, double now_s);
  // Next reply byte on the line at now_s, or -1 when none is ready (yet).
  int NextByte(double now_s);
  // Time the next reply byte is ready, or a negative value when nothing is queued.
  double NextByteTime() const;
  // Replies held back by the late fault whose first byte has not left yet.
  int LateRepliesQueued() const;
  // Time the last queued byte that is ready by until_s is ready, or the next byte's time when
  // none is (the end of a chunk of bytes written at once); negative when nothing is queued.
  double ChunkEndTime(double until_s) const;
  // The host (re)opened its end of the line at this rate. The controller follows it, as the
  // host would otherwise read only garbage; a rate other than the controller's is counted.
  void HostLineRate(int baud);

  void SetDut(const Dut& dut);  // the control path: switch standards during a calibration run
  const Dut& dut() const { return config_.dut; }
  std::complex<double> TrueImpedance(double f_mhz) const;
  // The uncorrected Rs + jXs the library should compute at f: the error model applied to the DUT,
  // before noise and quantisation.
  std::complex<double> RawImpedance(double f_mhz) const;
  double LastFrequencyMHz() const { return last_freq_mhz_; }
  // Sent after a leading CR in answer to "V".
  const std::string& IdentText() const { return ident_; }
  bool ShortRecords() const { return short_records_; }
  const ModelInfo& info() const { return info_; }
  Config& config() { return config_; }

  const Counters& counters() const { return counters_; }
  const InstrumentState& state() const { return state_; }
  Faults& faults() { return faults_; }
  // True once after the unplug fault fired; the transport then takes the port away.
  bool TakeUnplugRequest();
  // The line went away: bytes in flight both ways are lost. The instrument keeps its state.
  void DropLine();

  std::uint16_t FlashWord(int addr) const;
  void SetFlashWord(int addr, std::uint16_t word);

  // Every command received, with its time: "0.105000 F0666667C f=10.000000 MHz".
  void SetLog(std::function<void(double now_s, const std::string& line)> sink) {
    log_ = std::move(sink);
  }

 private:
  struct Pending {
    std::uint8_t byte;
    double at;
    bool late_start = false;  // first byte of a reply the late fault held back
  };
  // A command as received: its bytes, their printable text for the log, and when it arrived.
  struct Cmd {
    const std::uint8_t* b;
    int len;
    double now_s;
    std::string text;
  };
  using Handler = void (Simulator::*)(const Cmd& c);
  // One row of the controller's command table (simulator.cpp).
  struct CommandEntry {
    std::uint8_t first;
    std::uint8_t second;  // "Z" commands: the byte that tells them apart; 0 for the others
    int length;           // bytes; 0 for "ZW", whose count byte gives its length
    int hex_from;         // the bytes from here to the end are hex digits (0: none)
    bool (*fields_ok)(const std::uint8_t* b);  // further checks of the fields, or null
    Handler run;
  };
  static const CommandEntry kCommands[];
  // The command that starts the input. *length: > 0 its length, 0 more bytes needed, -1 no
  // command starts with this byte, -2 a "Z" command with a second byte it does not know.
  const CommandEntry* Match(int* length) const;
  bool Valid(const CommandEntry& entry, int length) const;
  void Execute(const CommandEntry& entry, int length, double now_s);
  // The handlers, one per command.
  void OnFrequency(const Cmd& c);     // "F", "U"
  void OnUhfFrequency(const Cmd& c);  // "E"
  void OnResend(const Cmd& c);        // "R"
  void OnLevel(const Cmd& c);         // "M"
  void OnAveraging(const Cmd& c);     // "J"
  void OnRelay(const Cmd& c);         // "K"
  void OnPeriodic(const Cmd& c);      // "Y"
  void OnRateSwitch(const Cmd& c);    // "C"
  void OnPowerDown(const Cmd& c);     // "D"
  void OnIdent(const Cmd& c);         // "V"
  void OnSync(const Cmd& c);          // "Z2"
  void OnRfVoltage(const Cmd& c);     // "Z4"
  void OnPowerTemp(const Cmd& c);     // "Z7"
  void OnUhfTemp(const Cmd& c);       // "ZT"
  void OnFlashRead(const Cmd& c);     // "ZR"
  void OnFlashWrite(const Cmd& c);    // "ZW"
  // A sensor's two-byte reply, or none on a model without that sensor.
  void AnswerSensor(const Cmd& c, bool fitted, int raw);
  void Measure(double f_mhz, bool signal, double now_s, int cmd_len);
  void QueueReply(std::vector<std::uint8_t> bytes, double now_s, int cmd_len, bool record);
  void SendRecord(const std::vector<std::uint8_t>& record, double now_s, int cmd_len);
  bool RecoverUhf(const std::uint8_t* cmd, double* f_mhz);
  void Log(double now_s, const std::string& line);
  double Gaussian();
  std::uint64_t NextRandom();
  void LoadFlash();
  void SaveFlash() const;

  Config config_;
  ModelInfo info_;
  std::string ident_;
  bool short_records_ = false;
  double xtal_mhz_ = 50;      // UHF reference clock
  double delta_mhz_ = 0.002;  // UHF offset synthesizer above the signal synthesizer
  Faults faults_;
  Counters counters_;
  InstrumentState state_;
  std::vector<std::uint8_t> in_;
  double in_since_ = 0;
  double last_now_ = 0;  // time of the last bytes received, for the log
  std::deque<Pending> out_;
  double line_free_at_ = 0;
  std::vector<std::uint8_t> last_record_;
  std::uint16_t record_seq_ = 0;
  std::vector<std::uint16_t> flash_;
  std::uint64_t rng_;
  double last_freq_mhz_ = 0;
  bool unplug_request_ = false;
  bool rate_switch_pending_ = false;  // the last command was "C"
  int rate_before_switch_ = 0;
  std::function<void(double, const std::string&)> log_;
};

// Helpers shared with the tests: the scale the library applies to record words at an averaging
// count, and the sensor encodings.
int ReadingScaleFor(int avg_count);
int RfVoltsToRaw(double volts);
int PowerTempToRaw(double temp_f);  // "Z7"
int UhfTempToRaw(double temp_f);    // "ZT"

}  // namespace zelsim
