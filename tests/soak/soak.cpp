// Fault soak: the library through its C interface against the simulator on a pseudo-terminal, all
// four models, with the simulator's faults switched on at random (seeded) before the calls:
// bad checksums, silence, cut replies, garbage before a reply, extra latency, and the port
// unplugged and plugged in again between calls.
//
// For every call it checks that it returned within the time-out the library documents for it,
// that its status is the one the library specifies for the fault injected, and that a point
// reported as a success carries the device's impedance (so its record did arrive); after the
// faults stop, the calibrated reference points must measure as they did before.
//
//   zel_soak [--points N] [--seed S] [--verbose]
// N points in all (default 2000), shared by the four models; exit status 1 on any violation.
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

// A point that succeeded reports the device within this (the calibration is made with the
// simulator's noise off, so only the detector's quantisation and the grid's interpolation
// remain).
double Tolerance(std::complex<double> z) {
  return 0.5 + 0.02 * std::abs(z);
}

enum class Fault {
  kNone,
  kLatency,
  kBadFew,   // 1..4 bad checksums, then a good record
  kBadMany,  // 5..8 bad checksums
  kGarbage,
  kSilence,
  kCut,
  kUnplug,
  kCount
};
const char* const kFaultNames[] = {"none",    "latency", "bad 1-4", "bad 5-8",
                                   "garbage", "silence", "cut",     "unplug"};
// Chances in percent, in the order above.
constexpr int kFaultChance[] = {52, 8, 12, 5, 8, 5, 5, 5};

enum class Call { kPoint, kRawPoint, kHold, kRf, kTemp, kRelay, kCount };
const char* const kCallNames[] = {"ScanPoint 1",  "ScanPoint 0",    "ConstantFreq",
                                  "GetRFVoltage", "GetTemperature", "ProgRelay"};

struct Stats {
  std::map<std::pair<int, int>, int> outcomes;  // (fault, status) -> calls
  int calls[static_cast<int>(Call::kCount)] = {};
  double longest[static_cast<int>(Call::kCount)] = {};
  int injected[static_cast<int>(Fault::kCount)] = {};
  int bad_checksums = 0, silenced = 0, cut = 0, garbage_bytes = 0, unplugs = 0;
  int stale_specified = 0;
  int refused_on_code = 0;  // 34506 on a failure code held as the RF voltage  // 5+ bad checksums:
                            // status 0 on the last valid detector values
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

void Violation(Stats& s, const char* model, const std::string& what) {
  ++s.violations;
  std::printf("VIOLATION [%s] %s\n", model, what.c_str());
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

void RunModel(const ModelRun& run, int points, std::uint64_t seed, Stats& s) {
  std::mt19937_64 rng(seed);
  zelsim::Config cfg = zelsim::DefaultConfig(run.model);
  cfg.paced = false;
  cfg.latency_ms = 0.2;
  cfg.noise = 0;
  cfg.seed = seed;
  cfg.rf_volts = 3.5;
  cfg.temp_f = 77;
  zeltest::PtySim pty(cfg, 1);
  if (!pty.ok()) {
    Violation(s, run.name, "simulator: " + pty.error());
    return;
  }
  if (ZEL_CommPort(1, 1, 57600) != 0) {
    Violation(s, run.name, "the port did not open");
    return;
  }
  ZEL_InitVars(0);
  std::free(ZEL_GetVersion(0));
  char path[] = "/tmp/zel-soak-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd >= 0) ::close(fd);
  if (!Calibrate(pty, path)) {
    Violation(s, run.name, "the calibration failed");
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
  // A device whose reactance changes fast with frequency, so a point computed from another
  // point's record shows.
  pty.SetDut("series:r=35,l=400n,c=60p");
  auto truth = [&](double f) {
    return pty.WithSim([f](zelsim::Simulator& sim) { return sim.TrueImpedance(f); });
  };

  std::vector<std::complex<double>> before;
  for (double f : kRefFreqs) {
    double r = 0, x = 0;
    const int st = ZEL_ScanPoint(1, f, &r, &x);
    before.emplace_back(r, x);
    if ((st != 0 && !(run.rf && rf_code_held && st == ZEL_ERR_RF_OVERVOLTAGE)) ||
        std::abs(std::complex<double>(r, x) - truth(f)) > Tolerance(truth(f))) {
      char buf[200];
      std::snprintf(buf, sizeof buf, "reference %.1f MHz: status %d, %.3f%+.3fj, device %.3f%+.3fj",
                    f, st, r, x, truth(f).real(), truth(f).imag());
      Violation(s, run.name, buf);
    }
  }

  std::uniform_real_distribution<double> freq(kLowMHz, kHighMHz);
  bool unplugged = false;
  for (int n = 0; n < points; ++n) {
    // Whatever the last fault left behind on the line is part of the soak; the counters are
    // reset so that each call gets only its own fault.
    Fault fault = PickFault(rng);
    int cut_after = 0;
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
        default:
          break;
      }
      return 0;
    });
    if (fault == Fault::kUnplug) {
      pty.Unplug();
      unplugged = true;
    }
    ++s.injected[static_cast<int>(fault)];

    // Mostly points; now and then the other calls that talk to the instrument.
    const int pick = static_cast<int>(rng() % 100);
    Call call = pick < 70   ? Call::kPoint
                : pick < 80 ? Call::kRawPoint
                : pick < 86 ? Call::kHold
                : pick < 92 ? Call::kTemp
                : pick < 96 ? Call::kRf
                            : Call::kRelay;
    const double f = freq(rng);
    double r = NAN, x = NAN;
    int status = 0;
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
        const double v = ZEL_BitsToDouble(ZEL_GetRFVoltage(0));
        status = (v == double{ZEL_ERR_NO_RF_SENSOR} || v == double{ZEL_ERR_RF_TIMEOUT})
                     ? static_cast<int>(v)
                     : 0;
        rf_code_held = status != 0;
        break;
      }
      case Call::kTemp: {
        const double t = ZEL_BitsToDouble(ZEL_GetTemperature(1));
        status = (t == double{ZEL_ERR_NO_TEMP_SENSOR} || t == double{ZEL_ERR_TEMP_TIMEOUT})
                     ? static_cast<int>(t)
                     : 0;
        break;
      }
      case Call::kRelay:
        status = ZEL_ProgRelay(static_cast<int>(rng() % 2));
        break;
      case Call::kCount:
        break;
    }
    const double took = Seconds(t0, Clock::now());
    const int ci = static_cast<int>(call);
    ++s.calls[ci];
    s.longest[ci] = std::max(s.longest[ci], took);
    ++s.outcomes[{static_cast<int>(fault), status}];
    const bool is_point = call == Call::kPoint || call == Call::kRawPoint;
    if (is_point) ++s.points;

    const auto c1 = pty.counters();
    s.bad_checksums += c1.bad_checksums_sent - c0.bad_checksums_sent;
    s.silenced += c1.replies_silenced - c0.replies_silenced;
    s.cut += c1.replies_cut - c0.replies_cut;
    s.garbage_bytes += c1.garbage_bytes_sent - c0.garbage_bytes_sent;
    s.unplugs += unplugged ? 1 : 0;

    char what[320];
    std::snprintf(what, sizeof what, "call %d %s at %.4f MHz, fault %s: status %d in %.3f s", n,
                  kCallNames[ci], f, kFaultNames[static_cast<int>(fault)], status, took);
    if (verbose) std::printf("[%s] %s\n", run.name, what);

    // On the high-power model a call that switches the relay on (a point after the relay went
    // off, a held frequency, ZEL_ProgRelay) reads the RF voltage first: it may take the voltage's
    // wait before the record's, and a fault may land on the voltage reply instead of the record.
    const bool rf_first = run.rf && call != Call::kRf && call != Call::kTemp;
    const double limit = (is_point || call == Call::kHold ? kPointLimitS
                          : call == Call::kRf             ? (run.rf ? kRfLimitS : kQuickLimitS)
                          : call == Call::kTemp           ? (run.temp ? kTempLimitS : kQuickLimitS)
                                                          : kQuickLimitS) +
                         (rf_first ? kRfLimitS : 0);
    if (took > limit) Violation(s, run.name, std::string(what) + ": past its time-out");

    // The status the library specifies for the call and its fault.
    std::vector<int> allowed;
    const bool record_lost = fault == Fault::kSilence || fault == Fault::kCut || unplugged;
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
    } else if (call == Call::kRelay) {
      // The high-power model reads the RF voltage before it switches; a sensor reply has no
      // checksum, so noise before it may read as an overvoltage, and the switch is refused.
      allowed = {0};
      if (run.rf && fault == Fault::kGarbage) allowed.push_back(ZEL_ERR_RF_OVERVOLTAGE);
    } else if (record_lost) {
      allowed = {ZEL_ERR_NO_RECORD};
    } else {
      allowed = {0};
    }
    if (rf_first && (fault == Fault::kSilence || fault == Fault::kCut || unplugged)) {
      // The voltage reply silenced or cut: its time-out code stays (the record then comes whole);
      // a cut that leaves both bytes costs nothing.
      allowed.push_back(ZEL_ERR_RF_TIMEOUT);
      if (fault == Fault::kCut) allowed.push_back(0);
    }
    // A silenced or cut sensor-less call, a relay switch or a sensor read without a record has
    // nothing to lose: the fault stays armed for a reply that never comes, which is why every
    // call starts with the faults reset.
    const bool may_switch = call != Call::kRf && call != Call::kTemp;
    if (run.rf && rf_code_held && may_switch && status == ZEL_ERR_RF_OVERVOLTAGE) {
      ++s.refused_on_code;
    } else if (std::find(allowed.begin(), allowed.end(), status) == allowed.end()) {
      Violation(s, run.name, std::string(what) + ": not the specified status");
    }
    // A point that reports success carries its own record: it measures the device.
    if (is_point && status == 0 && fault != Fault::kBadMany) {
      const std::complex<double> z(r, x);
      const std::complex<double> want =
          call == Call::kPoint
              ? truth(f)
              : pty.WithSim([f](zelsim::Simulator& sim) { return sim.RawImpedance(f); });
      if (!(std::abs(z - want) <= Tolerance(want))) {
        char buf[160];
        std::snprintf(buf, sizeof buf,
                      ": success without its record (%.3f%+.3fj, device %.3f%+.3fj)", r, x,
                      want.real(), want.imag());
        Violation(s, run.name, std::string(what) + buf);
      }
    }
    if (is_point && status == 0 && fault == Fault::kBadMany) ++s.stale_specified;

    if (unplugged) {
      // The host notices the failure and opens the port again once it is back.
      if (!pty.Replug()) Violation(s, run.name, "replug: " + pty.error());
      ZEL_CommPort(0, 1, 0);
      if (ZEL_CommPort(1, 1, 57600) != 0) Violation(s, run.name, "reopen after replug failed");
      unplugged = false;
    }
  }

  // The faults stop: the reference points measure as before.
  pty.WithSim([](zelsim::Simulator& sim) { return sim.faults() = {}, 0; });
  for (std::size_t i = 0; i < std::size(kRefFreqs); ++i) {
    double r = 0, x = 0;
    const int st = ZEL_ScanPoint(1, kRefFreqs[i], &r, &x);
    if (st != 0 ||
        std::abs(std::complex<double>(r, x) - before[i]) > 1e-6 * (1 + std::abs(before[i]))) {
      char buf[200];
      std::snprintf(buf, sizeof buf,
                    "after the faults, %.1f MHz: status %d, %.6f%+.6fj, before %.6f%+.6fj",
                    kRefFreqs[i], st, r, x, before[i].real(), before[i].imag());
      Violation(s, run.name, buf);
    }
  }
  ZEL_CommPort(0, 1, 0);
}

}  // namespace

int main(int argc, char** argv) {
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
  std::printf("\nfaults armed before a call:\n");
  for (int k = 0; k < static_cast<int>(Fault::kCount); ++k)
    std::printf("  %-10s %6d\n", kFaultNames[k], s.injected[k]);
  std::printf(
      "injected by the simulator: %d bad checksums, %d replies silenced, %d cut, %d garbage "
      "bytes, %d unplugs\n",
      s.bad_checksums, s.silenced, s.cut, s.garbage_bytes, s.unplugs);
  std::printf("\ncalls and the longest of each:\n");
  for (int c = 0; c < static_cast<int>(Call::kCount); ++c)
    std::printf("  %-15s %6d  %7.3f s\n", kCallNames[c], s.calls[c], s.longest[c]);
  std::printf("\noutcomes (fault, status: calls):\n");
  for (const auto& [key, count] : s.outcomes)
    std::printf("  %-10s %6d: %6d\n", kFaultNames[key.first], key.second, count);
  std::printf(
      "\npoints: %d; of them %d with 5+ bad checksums reported 0 on the last valid "
      "detector values, as specified\n",
      s.points, s.stale_specified);
  std::printf(
      "calls refused with 34506 on a failure code held as the RF voltage, as specified: "
      "%d\n",
      s.refused_on_code);
  std::printf("violations: %d\n", s.violations);
  return s.violations == 0 ? 0 : 1;
}
