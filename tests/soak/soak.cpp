// Fault soak: the library through its C interface against the simulator on a pseudo-terminal, all
// four models, with one of the simulator's faults armed at random (seeded) before each call: bad
// checksums (1 to 4, 5 to 8), silence, cut replies, garbage before a reply, extra latency, replies
// later than the library's time-out, the port unplugged and plugged in again, and a second program
// opening the port while the call runs.
//
// For every call it checks that it returned within the time-out the library documents for it and
// that its status is the one specified for the fault injected. Its oracle: every point reported
// with status 0 lies within the simulator's noise of the true impedance of its device under test,
// and every sensor value with status 0 within its tolerance, whatever was injected. One case the
// line cannot reveal is counted apart: a late reply that lands while a later call waits for its
// own (the line carries no sequence number). After the faults stop, the calibrated reference
// points must measure as they did before.
//
//   zel_soak [--points N] [--seed S] [--verbose]
// N calls in all (default 2000), shared by the four models; exit status 1 on any violation.
//   zel_soak --second-program COM MHZ
// is the second program: it opens COM<COM> through the library and, when it gets the port, makes
// two raw points at MHZ. Its first line on stdout is ZEL_CommPort's status.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ZEL_863_DLL.h"
#include "integration/support/pty_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

// Custom calibration grid: record i at kCalStartMHz + (i - 2) * kCalStepMHz.
constexpr int kCalPoints = 30;
constexpr double kCalStartMHz = 10;
constexpr double kCalStepMHz = 2;
// Soak points lie well inside the grid.
constexpr double kLowMHz = 12;
constexpr double kHighMHz = 56;
constexpr double kRefFreqs[] = {14.2, 25.1, 50.0};

// The documented waits: about 2 s for a detector record (a point may read two), 5 s for the RF
// voltage, 1 s for the temperature. Each bound has room for the pauses of a call and a busy
// machine.
constexpr double kPointLimitS = 2 * 2.5 + 0.5;
constexpr double kRfLimitS = 5 * 1.25 + 0.5;
constexpr double kTempLimitS = 1 * 1.25 + 0.5;
constexpr double kQuickLimitS = 1.0;
// A late reply leaves this long after its command: past the wait for it (2000, 5000 or 1000 empty
// reads of about 1 ms) with a margin, plus up to kLateSpreadS.
constexpr double kLateRecordS = 2.8;
constexpr double kLateRfS = 6.2;
constexpr double kLateTempS = 1.6;
constexpr double kLateSpreadS = 0.5;

// The simulator's detector noise is off in the soak (the calibration is made the same way), so a
// point that carries its own record lies within the detector's quantisation and the grid's
// interpolation of the device: 0.5 ohm + 2 %. The device is a series RLC circuit whose reactance
// changes fast with frequency, so a point computed from another point's record lies far outside.
double Tolerance(std::complex<double> z) {
  return 0.5 + 0.02 * std::abs(z);
}
// The sensors: a few steps of their 12-bit converters (20.12 * 3.3 / 4096 = 16 mV of RF voltage;
// 0.15 F on the high-power model's sensor, 0.41 F on the UHF model's).
constexpr double kRfVolts = 3.5, kRfToleranceV = 0.05;
constexpr double kTempF = 77, kTempToleranceF = 1.0;

enum class Fault {
  kNone,
  kLatency,
  kBadFew,   // 1..4 bad checksums, then a good record
  kBadMany,  // 5..8 bad checksums
  kGarbage,
  kSilence,
  kCut,
  kLate,
  kUnplug,
  kSecondProgram,
  kCount
};
const char* const kFaultNames[] = {"none",    "latency", "bad 1-4", "bad 5-8", "garbage",
                                   "silence", "cut",     "late",    "unplug",  "2nd program"};
// Chances in percent, in the order above.
constexpr int kFaultChance[] = {45, 7, 10, 5, 7, 5, 5, 6, 5, 5};

enum class Call { kPoint, kRawPoint, kHold, kRf, kTemp, kRelay, kCount };
const char* const kCallNames[] = {"ScanPoint 1",  "ScanPoint 0",    "ConstantFreq",
                                  "GetRFVoltage", "GetTemperature", "ProgRelay"};

// What a violation broke.
enum class Broke { kValue, kStatus, kTimeOut, kOther, kCount };

struct Stats {
  std::map<std::pair<int, int>, int> outcomes;  // (fault, status) -> calls
  int calls[static_cast<int>(Call::kCount)] = {};
  double longest[static_cast<int>(Call::kCount)] = {};
  int injected[static_cast<int>(Fault::kCount)] = {};
  int checked[static_cast<int>(Fault::kCount)] = {};  // status-0 values held against the truth
  int broke[static_cast<int>(Fault::kCount)][static_cast<int>(Broke::kCount)] = {};
  int bad_checksums = 0, silenced = 0, cut = 0, garbage_bytes = 0, late = 0, unplugs = 0;
  int second_refused = 0, second_opened = 0;
  int after_stale = 0;  // violations on calls that began with stale bytes on the line or coming
  // Counted apart: a late reply landed while the call waited for its own.
  int landed_mid_call = 0, landed_value_off = 0, landed_status_off = 0;
  int refused_on_code = 0;  // 34506 on a failure code held as the RF voltage
  // Counted apart: garbage before a sensor's two-byte reply read as a reading a 12-bit
  // converter can give (the reply has no checksum).
  int garbage_sensor = 0;
  int violations = 0;
  int points = 0;
};

struct ModelRun {
  zelsim::Model model;
  const char* name;
  bool rf;
  bool temp;
};
constexpr ModelRun kRuns[] = {{zelsim::Model::kLowRange, "low-range", false, false},
                              {zelsim::Model::kStandard, "standard", false, false},
                              {zelsim::Model::kUhf, "UHF", false, true},
                              {zelsim::Model::kHighPower, "high-power", true, true}};

bool verbose = false;
// ZEL_GetRFVoltage leaves its failure code (34517, 34518) in the RF voltage the relay switch
// compares with its 30.1 V limit, and ZEL_InitVars keeps it: until the next good reading, a
// switch that reads no new voltage is refused with 34506, as specified.
bool rf_code_held = false;
// Bytes waiting on the line when the call under test began (read on the soak's own descriptor of
// the slave: a terminal's input queue is shared by every descriptor open on it).
int stale_bytes = 0;
bool reply_on_its_way = false;  // the simulator still held a reply back when the call began

void Violation(Stats& s, const char* model, Fault fault, Broke broke, const std::string& what) {
  ++s.violations;
  ++s.broke[static_cast<int>(fault)][static_cast<int>(broke)];
  if (stale_bytes > 0 || reply_on_its_way) ++s.after_stale;
  std::printf("VIOLATION [%s] %s", model, what.c_str());
  if (stale_bytes > 0) std::printf(" (%d stale bytes on the line before the call)", stale_bytes);
  if (reply_on_its_way) std::printf(" (an earlier reply still on its way when the call began)");
  std::printf("\n");
}

// A descriptor of the slave that only looks at its input queue; opened before the library's, so
// the library's exclusive open does not keep it out.
int OpenLine(const std::string& slave) {
  return ::open(slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}
int Waiting(int fd) {
  int n = 0;
  return fd >= 0 && ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Measures the three standards on the grid through the library and loads the calibration.
bool Calibrate(zeltest::PtySim& pty, const char* path) {
  std::vector<double> re[3], im[3];
  const char* standards[] = {"short", "open", "load"};
  for (int k = 0; k < 3; ++k) {
    pty.SetDut(standards[k]);
    for (int i = 0; i < kCalPoints; ++i) {
      double r = 0, x = 0;
      const double f = kCalStartMHz + (i - 2) * kCalStepMHz;
      // A raw point still runs the correction of the calibration in use (the previous model's),
      // which complains outside its grid; the raw values come back all the same.
      if (const int st = ZEL_ScanPoint(0, f, &r, &x); st != 0 && st != ZEL_ERR_CAL_RANGE) {
        std::printf("calibration: %s at %.3f MHz: status %d\n", standards[k], f, st);
        return false;
      }
      re[k].push_back(r);
      im[k].push_back(x);
    }
  }
  ZEL_CalSpec desc{};
  desc.rcal_ohms = 50;
  desc.temperature_f = 72;
  desc.custom = 1;
  desc.points = kCalPoints;
  desc.start_mhz = kCalStartMHz;
  desc.end_mhz = kCalStartMHz + (kCalPoints - 3) * kCalStepMHz;
  desc.step_mhz = kCalStepMHz;
  desc.comment = "soak";
  desc.uhf =
      pty.WithSim([](zelsim::Simulator& s) { return s.info().model == zelsim::Model::kUhf; });
  desc.from_mode0 = 1;
  if (const int st = ZEL_WriteCalFile(path, &desc, re[0].data(), im[0].data(), re[1].data(),
                                      im[1].data(), re[2].data(), im[2].data());
      st != 0) {
    std::printf("calibration: the writer refused (%d)\n", st);
    return false;
  }
  if (const int st = ZEL_LoadCalFile(path); st != 0) {
    std::printf("calibration: the loader refused (%d)\n", st);
    return false;
  }
  return true;
}

Fault PickFault(std::mt19937_64& rng) {
  int roll = static_cast<int>(rng() % 100);
  for (int k = 0; k < static_cast<int>(Fault::kCount); ++k) {
    if (roll < kFaultChance[k]) return static_cast<Fault>(k);
    roll -= kFaultChance[k];
  }
  return Fault::kNone;
}

// The second program: this soak run again with --second-program, on the same ZEL_COM<n>.
struct SecondProgram {
  pid_t pid = -1;
  int open_status = -1;  // ZEL_CommPort's status in the second program; -1 none came

  void Start(int com, double f_mhz) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    const std::string com_text = std::to_string(com), f_text = std::to_string(f_mhz);
    pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], 1);
      ::execl("/proc/self/exe", "zel_soak", "--second-program", com_text.c_str(), f_text.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    // Its open takes at least 150 ms; the call under test starts once it has an answer.
    std::string line;
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (line.find('\n') == std::string::npos && Clock::now() < end) {
      pollfd p{out[0], POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[64];
      const ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (line.find('\n') != std::string::npos) open_status = std::atoi(line.c_str());
  }

  void Finish() {
    if (pid <= 0) return;
    const auto end = Clock::now() + std::chrono::seconds(10);
    int st = 0;
    while (::waitpid(pid, &st, WNOHANG) == 0) {
      if (Clock::now() > end) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &st, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid = -1;
  }
};

int RunSecondProgram(int com, double f_mhz) {
  ZEL_SetNoticeHandler([](const char*, const char*, int) { return 0; });
  const int st = ZEL_CommPort(1, com, 57600);
  std::printf("%d\n", st);
  std::fflush(stdout);
  if (st != 0) return 0;
  ZEL_InitVars(0);
  double r = 0, x = 0;
  for (int i = 0; i < 2; ++i) ZEL_ScanPoint(0, f_mhz, &r, &x);
  ZEL_CommPort(0, com, 0);
  return 0;
}

// A sensor value that no reading of the sensor's 12-bit converter gives: at or past its top.
bool BeyondConverter(const ModelRun& run, Call call, double value) {
  const int raw = call == Call::kRf                  ? zelsim::RfVoltsToRaw(value)
                  : run.model == zelsim::Model::kUhf ? zelsim::UhfTempToRaw(value)
                                                     : zelsim::PowerTempToRaw(value);
  return raw >= 4095;
}

// Replies the late fault held back that have not reached the line yet.
int LateQueued(zeltest::PtySim& pty) {
  return pty.WithSim([](zelsim::Simulator& sim) { return sim.LateRepliesQueued(); });
}

void RunModel(const ModelRun& run, int points, std::uint64_t seed, Stats& s) {
  std::mt19937_64 rng(seed);
  zelsim::Config cfg = zelsim::DefaultConfig(run.model);
  cfg.paced = false;
  cfg.latency_ms = 0.2;
  cfg.noise = 0;
  cfg.seed = seed;
  cfg.rf_volts = kRfVolts;
  cfg.temp_f = kTempF;
  stale_bytes = 0;
  zeltest::PtySim pty(cfg, 1);
  if (!pty.ok()) {
    Violation(s, run.name, Fault::kNone, Broke::kOther, "simulator: " + pty.error());
    return;
  }
  int line = OpenLine(pty.slave_path());
  if (ZEL_CommPort(1, 1, 57600) != 0) {
    Violation(s, run.name, Fault::kNone, Broke::kOther, "the port did not open");
    return;
  }
  ZEL_InitVars(0);
  std::free(ZEL_GetVersion(0));
  char path[] = "/tmp/zel-soak-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd >= 0) ::close(fd);
  if (!Calibrate(pty, path)) {
    Violation(s, run.name, Fault::kNone, Broke::kOther, "the calibration failed");
    ZEL_CommPort(0, 1, 0);
    return;
  }
  ::unlink(path);
  if (verbose) {
    const auto c = pty.counters();
    std::printf(
        "[%s] calibrated: %d commands, %d unknown bytes, %d malformed, %d rf reads, %d relay, %d "
        "y\n",
        run.name, c.commands, c.unknown_bytes, c.malformed, c.rf_reads, c.relay, c.y_commands);
  }
  pty.SetDut("series:r=35,l=400n,c=60p");
  auto truth = [&](double f) {
    return pty.WithSim([f](zelsim::Simulator& sim) { return sim.TrueImpedance(f); });
  };

  std::vector<std::complex<double>> before;
  for (double f : kRefFreqs) {
    double r = 0, x = 0;
    stale_bytes = Waiting(line);
    reply_on_its_way = false;
    const int st = ZEL_ScanPoint(1, f, &r, &x);
    before.emplace_back(r, x);
    if ((st != 0 && !(run.rf && rf_code_held && st == ZEL_ERR_RF_OVERVOLTAGE)) ||
        std::abs(std::complex<double>(r, x) - truth(f)) > Tolerance(truth(f))) {
      char buf[200];
      std::snprintf(buf, sizeof buf, "reference %.1f MHz: status %d, %.3f%+.3fj, device %.3f%+.3fj",
                    f, st, r, x, truth(f).real(), truth(f).imag());
      Violation(s, run.name, Fault::kNone, Broke::kOther, buf);
    }
  }

  std::uniform_real_distribution<double> freq(kLowMHz, kHighMHz);
  std::uniform_real_distribution<double> spread(0, kLateSpreadS);
  bool unplugged = false;
  for (int n = 0; n < points; ++n) {
    // Mostly points; now and then the other calls that talk to the instrument.
    const int pick = static_cast<int>(rng() % 100);
    const Call call = pick < 70   ? Call::kPoint
                      : pick < 80 ? Call::kRawPoint
                      : pick < 86 ? Call::kHold
                      : pick < 92 ? Call::kTemp
                      : pick < 96 ? Call::kRf
                                  : Call::kRelay;
    const bool is_point = call == Call::kPoint || call == Call::kRawPoint;
    // On the high-power model a call that switches the relay on (a point after the relay went
    // off, a held frequency, ZEL_ProgRelay) reads the RF voltage first: it may take the voltage's
    // wait before the record's, and a fault may land on the voltage reply instead of the record.
    const bool rf_first = run.rf && call != Call::kRf && call != Call::kTemp;
    const bool relay_off = pty.state().relay_code == 0;
    const int relay_on = static_cast<int>(rng() % 2);

    // Whatever the last fault left behind on the line is part of the soak; the faults are reset
    // so that each call gets only its own.
    const Fault fault = PickFault(rng);
    int cut_after = 0;
    const double late_s = (call == Call::kTemp                            ? kLateTempS
                           : call == Call::kRf || (rf_first && relay_off) ? kLateRfS
                                                                          : kLateRecordS) +
                          spread(rng);
    const auto c0 = pty.counters();
    pty.WithSim([&](zelsim::Simulator& sim) {
      zelsim::Faults& f = sim.faults();
      f = {};
      switch (fault) {
        case Fault::kLatency:
          f.extra_latency_ms = 1 + static_cast<double>(rng() % 200);
          break;
        case Fault::kBadFew:
          f.bad_checksums = 1 + static_cast<int>(rng() % 4);
          break;
        case Fault::kBadMany:
          f.bad_checksums = 5 + static_cast<int>(rng() % 4);
          break;
        case Fault::kGarbage:
          f.garbage_replies = 1;
          f.garbage_bytes = 1 + static_cast<int>(rng() % 16);
          break;
        case Fault::kSilence:
          f.silent_replies = 1;
          break;
        case Fault::kCut:
          f.cut_replies = 1;
          f.cut_after_bytes = cut_after = 1 + static_cast<int>(rng() % 66);
          break;
        case Fault::kLate:
          f.late_replies = 1;
          f.late_ms = 1000 * late_s;
          break;
        default:
          break;
      }
      return 0;
    });
    if (fault == Fault::kUnplug) {
      pty.Unplug();
      unplugged = true;
    }
    const double f = freq(rng);
    SecondProgram second;
    if (fault == Fault::kSecondProgram) {
      second.Start(1, freq(rng));
      if (second.open_status == 0) {
        ++s.second_opened;
      } else {
        ++s.second_refused;
      }
    }
    ++s.injected[static_cast<int>(fault)];
    const int late_before = LateQueued(pty);

    double r = NAN, x = NAN, value = NAN;
    int status = 0;
    stale_bytes = Waiting(line);
    reply_on_its_way = pty.WithSim([](zelsim::Simulator& sim) { return sim.NextByteTime() >= 0; });
    const auto t0 = Clock::now();
    switch (call) {
      case Call::kPoint:
        status = ZEL_ScanPoint(1, f, &r, &x);
        break;
      case Call::kRawPoint:
        status = ZEL_ScanPoint(0, f, &r, &x);
        break;
      case Call::kHold:
        status = ZEL_ConstantFreq(1, f);
        ZEL_ConstantFreq(0, f);
        break;
      case Call::kRf: {
        value = ZEL_BitsToDouble(ZEL_GetRFVoltage(0));
        status = (value == double{ZEL_ERR_NO_RF_SENSOR} || value == double{ZEL_ERR_RF_TIMEOUT})
                     ? static_cast<int>(value)
                     : 0;
        rf_code_held = status != 0;
        break;
      }
      case Call::kTemp: {
        value = ZEL_BitsToDouble(ZEL_GetTemperature(1));
        status = (value == double{ZEL_ERR_NO_TEMP_SENSOR} || value == double{ZEL_ERR_TEMP_TIMEOUT})
                     ? static_cast<int>(value)
                     : 0;
        break;
      }
      case Call::kRelay:
        status = ZEL_ProgRelay(relay_on);
        break;
      case Call::kCount:
        break;
    }
    const double took = Seconds(t0, Clock::now());
    second.Finish();
    // A late reply that was still queued when the call began and is gone now landed while the
    // call waited for its own reply: the one case the line cannot reveal.
    const auto c1 = pty.counters();
    const bool landed_mid_call =
        !unplugged && LateQueued(pty) < late_before + (c1.replies_late - c0.replies_late);
    if (landed_mid_call) {
      ++s.landed_mid_call;
    }
    const int ci = static_cast<int>(call);
    ++s.calls[ci];
    s.longest[ci] = std::max(s.longest[ci], took);
    ++s.outcomes[{static_cast<int>(fault), status}];
    if (is_point) ++s.points;

    s.bad_checksums += c1.bad_checksums_sent - c0.bad_checksums_sent;
    s.silenced += c1.replies_silenced - c0.replies_silenced;
    s.cut += c1.replies_cut - c0.replies_cut;
    s.garbage_bytes += c1.garbage_bytes_sent - c0.garbage_bytes_sent;
    s.late += c1.replies_late - c0.replies_late;
    s.unplugs += unplugged ? 1 : 0;

    char what[320];
    std::snprintf(what, sizeof what, "call %d %s at %.4f MHz, fault %s: status %d in %.3f s", n,
                  kCallNames[ci], f, kFaultNames[static_cast<int>(fault)], status, took);
    if (verbose) std::printf("[%s] %s\n", run.name, what);

    const double limit = (is_point || call == Call::kHold ? kPointLimitS
                          : call == Call::kRf             ? (run.rf ? kRfLimitS : kQuickLimitS)
                          : call == Call::kTemp           ? (run.temp ? kTempLimitS : kQuickLimitS)
                                                          : kQuickLimitS) +
                         (rf_first ? kRfLimitS : 0);
    if (took > limit)
      Violation(s, run.name, fault, Broke::kTimeOut, std::string(what) + ": past its time-out");

    // The status the library specifies for the call and its fault.
    std::vector<int> allowed;
    const bool record_lost =
        fault == Fault::kSilence || fault == Fault::kCut || fault == Fault::kLate || unplugged;
    // A two-byte sensor reply cut after two bytes or more is whole.
    const bool reply_lost = record_lost && !(fault == Fault::kCut && cut_after >= 2);
    if (call == Call::kRf && !run.rf) {
      allowed = {ZEL_ERR_NO_RF_SENSOR};
    } else if (call == Call::kTemp && !run.temp) {
      allowed = {ZEL_ERR_NO_TEMP_SENSOR};
    } else if (call == Call::kRf) {
      allowed = {reply_lost ? ZEL_ERR_RF_TIMEOUT : 0};
    } else if (call == Call::kTemp) {
      allowed = {reply_lost ? ZEL_ERR_TEMP_TIMEOUT : 0};
    } else if (unplugged) {
      // Nothing can be sent: said at once, never a false "done".
      allowed = {ZEL_ERR_NOT_SENT};
      if (call != Call::kRelay) allowed.push_back(ZEL_ERR_NO_RECORD);
    } else if (call == Call::kRelay) {
      // The high-power model reads the RF voltage before it switches; a sensor reply has no
      // checksum, so noise before it may read as an overvoltage, and the switch is refused.
      allowed = {0};
      if (run.rf && fault == Fault::kGarbage) allowed.push_back(ZEL_ERR_RF_OVERVOLTAGE);
    } else if (record_lost) {
      allowed = {ZEL_ERR_NO_RECORD};
    } else if (fault == Fault::kBadMany) {
      allowed = {ZEL_ERR_RECORD_CHECKSUM};
      // A held frequency reads its record only to clear the line.
      if (call == Call::kHold) allowed.push_back(0);
    } else {
      allowed = {0};
    }
    // Unplugged, the voltage read before a relay switch fails and its code is held as the RF
    // voltage, which the switch then refuses.
    if (rf_first && unplugged) allowed.push_back(ZEL_ERR_RF_OVERVOLTAGE);
    if (rf_first && record_lost) {
      // The voltage reply lost: its time-out code stays (the record then comes whole); a cut that
      // leaves both bytes costs nothing.
      allowed.push_back(ZEL_ERR_RF_TIMEOUT);
      if (fault == Fault::kCut) allowed.push_back(0);
    }
    // A late reply still held back stalls the line: the replies of this call come after it, and
    // may come after the call has given up on them.
    if (late_before > 0 && call != Call::kRelay && !(call == Call::kRf && !run.rf) &&
        !(call == Call::kTemp && !run.temp))
      allowed.push_back(call == Call::kRf     ? ZEL_ERR_RF_TIMEOUT
                        : call == Call::kTemp ? ZEL_ERR_TEMP_TIMEOUT
                                              : ZEL_ERR_NO_RECORD);
    if (late_before > 0 && rf_first) allowed.push_back(ZEL_ERR_RF_TIMEOUT);
    // Garbage before a sensor's reply may read as a count past the converter's top: a garbled
    // reply fails like a lost one (also the voltage read before a relay switch).
    if (fault == Fault::kGarbage && ((call == Call::kRf && run.rf) || rf_first))
      allowed.push_back(ZEL_ERR_RF_TIMEOUT);
    if (fault == Fault::kGarbage && call == Call::kTemp && run.temp)
      allowed.push_back(ZEL_ERR_TEMP_TIMEOUT);
    // A silenced or cut sensor-less call, a relay switch or a sensor read without a record has
    // nothing to lose: the fault stays armed for a reply that never comes, which is why every
    // call starts with the faults reset.
    const bool may_switch = call != Call::kRf && call != Call::kTemp;
    const bool second_in = fault == Fault::kSecondProgram && second.open_status == 0;
    if (fault == Fault::kSecondProgram && second.open_status != ZEL_ERR_PORT_OPEN) {
      char buf[96];
      std::snprintf(buf, sizeof buf, ": the second program's open gave %d, not %d",
                    second.open_status, ZEL_ERR_PORT_OPEN);
      Violation(s, run.name, fault, Broke::kOther, std::string(what) + buf);
    }
    bool status_off = false;
    if (run.rf && rf_code_held && may_switch && status == ZEL_ERR_RF_OVERVOLTAGE) {
      ++s.refused_on_code;
    } else if (std::find(allowed.begin(), allowed.end(), status) == allowed.end()) {
      // With a second program on the line any status may come; its opening is the violation.
      status_off = !second_in;
    }

    // The oracle: a value reported with status 0 is the device's (or the sensor's).
    bool value_off = false;
    char got[160] = "";
    if (status == 0 &&
        (is_point || ((call == Call::kRf || call == Call::kTemp) && std::isfinite(value)))) {
      ++s.checked[static_cast<int>(fault)];
      if (is_point) {
        const std::complex<double> z(r, x);
        const std::complex<double> want =
            call == Call::kPoint
                ? truth(f)
                : pty.WithSim([f](zelsim::Simulator& sim) { return sim.RawImpedance(f); });
        value_off = !(std::abs(z - want) <= Tolerance(want));
        std::snprintf(got, sizeof got, ": status 0 on %.3f%+.3fj, device %.3f%+.3fj", r, x,
                      want.real(), want.imag());
      } else {
        const bool rf = call == Call::kRf;
        value_off =
            !(std::abs(value - (rf ? kRfVolts : kTempF)) <= (rf ? kRfToleranceV : kTempToleranceF));
        std::snprintf(got, sizeof got, ": status 0 on %.3f, sensor at %.3f", value,
                      rf ? kRfVolts : kTempF);
      }
    }
    if (landed_mid_call) {
      s.landed_value_off += value_off ? 1 : 0;
      s.landed_status_off += status_off ? 1 : 0;
      if (verbose && (value_off || status_off))
        std::printf("[%s] %s%s: a late reply landed mid-call (counted apart)\n", run.name, what,
                    got);
    } else if (value_off && !is_point && fault == Fault::kGarbage &&
               !BeyondConverter(run, call, value)) {
      // A sensor's two-byte reply carries no checksum: garbage before it that reads as a value
      // the converter can give cannot be told from a reading.
      ++s.garbage_sensor;
      if (verbose)
        std::printf("[%s] %s%s: garbage read as a reading (counted apart)\n", run.name, what, got);
      if (status_off)
        Violation(s, run.name, fault, Broke::kStatus,
                  std::string(what) + ": not the specified status");
    } else {
      if (value_off) Violation(s, run.name, fault, Broke::kValue, std::string(what) + got);
      if (status_off)
        Violation(s, run.name, fault, Broke::kStatus,
                  std::string(what) + ": not the specified status");
    }

    if (fault == Fault::kLate && !unplugged && rng() % 2 == 0) {
      // Half the late replies are waited for: they then sit on the line before the next call,
      // where the library must drop them. The others may land while a later call waits.
      const auto end = Clock::now() + std::chrono::seconds(8);
      while (LateQueued(pty) > 0 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    if (unplugged) {
      // The host notices the failure and opens the port again once it is back.
      if (!pty.Replug()) Violation(s, run.name, fault, Broke::kOther, "replug: " + pty.error());
      ::close(line);
      line = OpenLine(pty.slave_path());
      ZEL_CommPort(0, 1, 0);
      if (ZEL_CommPort(1, 1, 57600) != 0)
        Violation(s, run.name, fault, Broke::kOther, "reopen after replug failed");
      unplugged = false;
    }
  }

  // The faults stop, and whatever is still on its way lands: the reference points measure as
  // before.
  pty.WithSim([](zelsim::Simulator& sim) { return sim.faults() = {}, 0; });
  const auto end = Clock::now() + std::chrono::seconds(8);
  while (LateQueued(pty) > 0 && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (std::size_t i = 0; i < std::size(kRefFreqs); ++i) {
    double r = 0, x = 0;
    stale_bytes = Waiting(line);
    reply_on_its_way = false;
    const int st = ZEL_ScanPoint(1, kRefFreqs[i], &r, &x);
    if (st != 0 ||
        std::abs(std::complex<double>(r, x) - before[i]) > 1e-6 * (1 + std::abs(before[i]))) {
      char buf[200];
      std::snprintf(buf, sizeof buf,
                    "after the faults, %.1f MHz: status %d, %.6f%+.6fj, before %.6f%+.6fj",
                    kRefFreqs[i], st, r, x, before[i].real(), before[i].imag());
      Violation(s, run.name, Fault::kNone, Broke::kOther, buf);
    }
  }
  ZEL_CommPort(0, 1, 0);
  if (line >= 0) ::close(line);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && !std::strcmp(argv[1], "--second-program"))
    return RunSecondProgram(std::atoi(argv[2]), std::atof(argv[3]));
  int points = 2000;
  std::uint64_t seed = 1;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--points") && i + 1 < argc) {
      points = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--seed") && i + 1 < argc) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (!std::strcmp(argv[i], "--verbose")) {
      verbose = true;
    } else {
      std::fprintf(stderr, "usage: %s [--points N] [--seed S] [--verbose]\n", argv[0]);
      return 2;
    }
  }
  // Notices go to stdout with the soak's own lines.
  ZEL_SetNoticeHandler([](const char* title, const char* text, int) {
    if (verbose) std::printf("notice [%s] %s\n", title, text);
    return 0;
  });
  Stats s;
  const auto t0 = Clock::now();
  for (std::size_t m = 0; m < std::size(kRuns); ++m) {
    const int share = points / 4 + (static_cast<int>(m) < points % 4 ? 1 : 0);
    std::printf("model %s: %d calls\n", kRuns[m].name, share);
    std::fflush(stdout);
    RunModel(kRuns[m], share, seed * 1000 + m, s);
  }

  std::printf("\nfault soak, seed %llu, %.0f s\n", static_cast<unsigned long long>(seed),
              Seconds(t0, Clock::now()));
  std::printf("\ncalls and the longest of each:\n");
  int calls = 0;
  for (int c = 0; c < static_cast<int>(Call::kCount); ++c) {
    std::printf("  %-15s %6d  %7.3f s\n", kCallNames[c], s.calls[c], s.longest[c]);
    calls += s.calls[c];
  }
  std::printf("  %d calls, %d of them points\n", calls, s.points);
  std::printf(
      "\ninjected by the simulator: %d bad checksums, %d replies silenced, %d cut, %d garbage "
      "bytes, %d late replies, %d unplugs; second program: %d refused the port, %d got it\n",
      s.bad_checksums, s.silenced, s.cut, s.garbage_bytes, s.late, s.unplugs, s.second_refused,
      s.second_opened);
  std::printf("\nby the fault armed before a call:\n");
  std::printf("  %-12s %6s %9s %7s %7s %8s %6s\n", "fault", "calls", "checked", "value", "status",
              "time-out", "other");
  int checked = 0;
  for (int k = 0; k < static_cast<int>(Fault::kCount); ++k) {
    const int* b = s.broke[k];
    std::printf("  %-12s %6d %9d %7d %7d %8d %6d\n", kFaultNames[k], s.injected[k], s.checked[k],
                b[static_cast<int>(Broke::kValue)], b[static_cast<int>(Broke::kStatus)],
                b[static_cast<int>(Broke::kTimeOut)], b[static_cast<int>(Broke::kOther)]);
    checked += s.checked[k];
  }
  std::printf(
      "  (checked: status-0 values held against the device or the sensor; the other\n"
      "  columns are violations)\n");
  std::printf("\noutcomes (fault, status: calls):\n");
  for (const auto& [key, count] : s.outcomes)
    std::printf("  %-12s %6d: %6d\n", kFaultNames[key.first], key.second, count);
  std::printf("\nstatus-0 values checked: %d\n", checked);
  std::printf(
      "counted apart, a late reply landed while the call waited (the line cannot reveal it): %d "
      "calls, %d of them with a status-0 value off, %d with another status\n",
      s.landed_mid_call, s.landed_value_off, s.landed_status_off);
  std::printf(
      "calls refused with 34506 on a failure code held as the RF voltage, as specified: %d\n",
      s.refused_on_code);
  std::printf(
      "counted apart, garbage before a sensor's reply (no checksum) read as a reading the "
      "converter can give: %d\n",
      s.garbage_sensor);
  std::printf(
      "violations: %d (%d of them on calls that began with stale bytes on the line or on their "
      "way)\n",
      s.violations, s.after_stale);
  return s.violations == 0 ? 0 : 1;
}
