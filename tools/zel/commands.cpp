#include "commands.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ZEL_863_DLL.h"
#include "sweep_report.h"

namespace zelhost {
namespace {

// A sweep larger than this is a typing mistake rather than a measurement (about an hour of
// points on the slow link).
constexpr int kMaxSweepPoints = 100000;
constexpr int kDefaultSweepPoints = 101;
// Reading the sensors: the library returns a failure as the status code in place of the value,
// and its codes are far above any reading.
constexpr double kFirstStatusValue = 10000;

// A calibration file made for this run on the built-in simulator, removed at the end.
class TempCal {
 public:
  TempCal() {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/zel-cal-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    int fd = mkstemp(buf.data());
    if (fd >= 0) {
      close(fd);
      path_ = buf.data();
    }
  }
  ~TempCal() {
    if (!path_.empty()) {
      std::remove(path_.c_str());
      std::remove((path_ + ".part").c_str());
    }
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Loads the calibration a measuring command runs with: the user's file, a fresh one on the
// built-in simulator, or none (raw values). Sets *mode for ZEL_ScanPoint.
int PrepareCalibration(Session& s, const std::string& cal, int avg, TempCal* temp, int* mode) {
  if (!cal.empty()) {
    std::int32_t status = ZEL_LoadCalFile(cal.c_str());
    if (status != ZEL_OK) return Fail("calibration file " + cal, status);
    *mode = 1;
    return kExitOk;
  }
  if (s.simulated()) {
    if (temp->path().empty()) return Complain("cannot create a temporary calibration file");
    std::fprintf(stderr,
                 "zel: no --cal given: calibrating the simulator first (short, open, load), so "
                 "the values below are corrected\n");
    CalOptions o;
    o.output = temp->path();
    o.avg = avg;
    int rc = RunCalibrate(s, o, true);
    if (rc != kExitOk) return rc;
    *mode = 1;
    return kExitOk;
  }
  std::fprintf(stderr,
               "zel: no --cal given: the values are RAW readings of the bridge, not corrected "
               "by a calibration\n");
  *mode = 0;
  return kExitOk;
}

std::vector<double> SweepFrequencies(const SweepOptions& o) {
  std::vector<double> f;
  if (o.step_mhz > 0) {
    // Points on start + i * step up to the stop, with a little slack for a typed stop that is
    // a decimal step away.
    double span = (o.stop_mhz - o.start_mhz) / o.step_mhz;
    long count = static_cast<long>(std::floor(span + 1e-9)) + 1;
    for (long i = 0; i < count; ++i) f.push_back(o.start_mhz + i * o.step_mhz);
  } else {
    int count = o.points > 0 ? o.points : kDefaultSweepPoints;
    if (count == 1 || o.stop_mhz == o.start_mhz) {
      f.push_back(o.start_mhz);
    } else {
      for (int i = 0; i < count; ++i)
        f.push_back(o.start_mhz + (o.stop_mhz - o.start_mhz) * i / (count - 1));
    }
  }
  return f;
}

std::string Yes(bool b) {
  return b ? "yes" : "no";
}

}  // namespace

int CheckSweepOptions(const SweepOptions& o) {
  if (!std::isfinite(o.start_mhz) || !std::isfinite(o.stop_mhz) || o.stop_mhz < o.start_mhz)
    return Complain("sweep: STOP must not be below START", kExitUsage);
  if (o.points != 0 && o.step_mhz != 0)
    return Complain("sweep: give --points or --step, not both", kExitUsage);
  if (o.points < 0 || o.points > kMaxSweepPoints)
    return Complain("sweep: --points must be 1 to " + std::to_string(kMaxSweepPoints), kExitUsage);
  if (o.step_mhz < 0 || !std::isfinite(o.step_mhz))
    return Complain("sweep: --step must be above 0", kExitUsage);
  if (o.step_mhz > 0 && (o.stop_mhz - o.start_mhz) / o.step_mhz >= kMaxSweepPoints)
    return Complain("sweep: --step gives more than " + std::to_string(kMaxSweepPoints) + " points",
                    kExitUsage);
  for (const std::string& path : o.outputs)
    if (KindOfPath(path) == FileKind::kNone)
      return Complain("sweep: -o " + path + ": the name must end in .s1p (Touchstone) or .csv",
                      kExitUsage);
  if (o.avg < 0) return Complain("--avg must be positive", kExitUsage);
  return kExitOk;
}

Progress::Progress(const char* label, std::size_t total)
    : label_(label), total_(total), active_(isatty(STDERR_FILENO) && total > 1) {}

Progress::~Progress() {
  Clear();
}

void Progress::Update(std::size_t done) {
  if (!active_) return;
  constexpr int kWidth = 40;
  int w = static_cast<int>(kWidth * done / total_);
  if (w == last_width_ && done != total_) return;
  last_width_ = w;
  std::fprintf(stderr, "\r%s [%.*s%*s] %zu/%zu", label_, w,
               "########################################", kWidth - w, "", done, total_);
  std::fflush(stderr);
  shown_ = true;
}

void Progress::Clear() {
  if (!shown_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  shown_ = false;
  last_width_ = -1;
}

int RunInfo(Session& s) {
  const UnitInfo& u = s.unit();
  std::int32_t serial = ZEL_GetSerialNum(0);
  std::printf("model            %s\n", u.model_name.c_str());
  std::printf("firmware         %s\n", u.firmware.empty() ? "(not reported)" : u.firmware.c_str());
  std::printf("serial number    %d%s\n", serial,
              u.serial.empty() ? (u.flash_id ? " (from the flash date code)"
                                             : " (derived from the identification)")
                               : "");
  std::printf("frequency range  %g to %g MHz\n", u.min_mhz, u.max_mhz);
  std::printf("record format    %s\n", u.short_records ? "short (67 bytes)" : "long (72 bytes)");
  std::printf("sync output      %s\n", Yes(u.sync).c_str());
  std::string sensors;
  if (u.rf_sensor) sensors = "RF voltage";
  if (u.temp_sensor) sensors += sensors.empty() ? "temperature" : ", temperature";
  std::printf("sensors          %s\n", sensors.empty() ? "none" : sensors.c_str());
  std::printf("bridge Rgen      %g ohm\n", u.rgen_ohms);
  std::printf("port             %s\n", s.PortText().c_str());
  std::printf("identification   %s\n", u.text.c_str());
  return kExitOk;
}

int RunSweep(Session& s, const SweepOptions& o) {
  std::vector<double> freqs = SweepFrequencies(o);
  if (!s.InRange(freqs.front(), "sweep start") || !s.InRange(freqs.back(), "sweep stop"))
    return kExitUsage;
  TempCal temp;
  int mode = 0;
  int rc = PrepareCalibration(s, o.cal, o.avg, &temp, &mode);
  if (rc != kExitOk) return rc;
  if (o.avg > 0) ZEL_AvgReadings(o.avg);
  if (o.sync) {
    std::int32_t status = ZEL_Sync(2);
    if (status != ZEL_OK) return Fail("--sync", status);
  }

  std::vector<Point> points;
  std::int32_t failure = ZEL_OK;
  double failed_at = 0;
  PrintTableHeader(stdout);
  std::fflush(stdout);
  {
    Progress bar("sweeping", freqs.size());
    for (double f : freqs) {
      if (g_interrupted) break;
      double r = 0, x = 0;
      std::int32_t status = ZEL_ScanPoint(mode, f, &r, &x);
      if (status != ZEL_OK) {
        // A point cut short by Ctrl-C is not a failure of the instrument; it is left out.
        if (g_interrupted) break;
        failure = status;
        failed_at = f;
        break;
      }
      points.push_back({f, r, x});
      bar.Clear();
      PrintTableRow(stdout, points.back());
      std::fflush(stdout);
      bar.Update(points.size());
    }
  }
  PrintSummary(stdout, Summarize(points));
  std::fflush(stdout);
  // Relay off and port closed before the files are written: the instrument is left safe even
  // when writing takes a while or fails.
  s.Close();

  int status = kExitOk;
  const std::string comment = std::string("zel sweep, ") + (mode == 1 ? "calibrated" : "raw") +
                              " series impedance as reflection coefficient";
  for (const std::string& path : o.outputs) {
    bool ok = KindOfPath(path) == FileKind::kTouchstone ? WriteTouchstone(path, points, comment)
                                                        : WriteCsv(path, points);
    if (!ok) {
      status = Complain("cannot write " + path + ": " + std::strerror(errno));
    } else {
      std::fprintf(stderr, "zel: %zu points written to %s\n", points.size(), path.c_str());
    }
  }
  if (failure != ZEL_OK) {
    char where[64];
    std::snprintf(where, sizeof where, "sweep stopped at %.6g MHz", failed_at);
    return Fail(where, failure);
  }
  if (g_interrupted) {
    return Complain("interrupted: " + std::to_string(points.size()) + " of " +
                        std::to_string(freqs.size()) + " points measured; relay off, port closed",
                    kExitInterrupted);
  }
  return status;
}

int RunPoint(Session& s, double f_mhz, const std::string& cal, int avg) {
  if (!s.InRange(f_mhz, "frequency")) return kExitUsage;
  TempCal temp;
  int mode = 0;
  int rc = PrepareCalibration(s, cal, avg, &temp, &mode);
  if (rc != kExitOk) return rc;
  if (avg > 0) ZEL_AvgReadings(avg);
  double r = 0, x = 0;
  std::int32_t status = ZEL_ScanPoint(mode, f_mhz, &r, &x);
  if (status != ZEL_OK) return Fail("point at " + std::to_string(f_mhz) + " MHz", status);
  Match m = MatchOf({f_mhz, r, x});
  std::printf("%.6f MHz  R %.3f ohm  X %.3f ohm  |Z| %.3f ohm  SWR %.3f  RL %.2f dB%s\n", f_mhz, r,
              x, m.z_abs, m.swr, m.return_loss_db, mode == 1 ? "" : "  (raw)");
  return kExitOk;
}

int RunHold(Session& s, double f_mhz, double seconds) {
  if (!s.InRange(f_mhz, "frequency")) return kExitUsage;
  std::int32_t status = ZEL_ConstantFreq(1, f_mhz);
  if (status != ZEL_OK) {
    ZEL_ConstantFreq(0, 0);
    return Fail("hold at " + std::to_string(f_mhz) + " MHz", status);
  }
  std::fprintf(stderr, "zel: generator on at %.6f MHz; press Enter or Ctrl-C to switch it off%s\n",
               f_mhz, seconds > 0 ? " (or wait for --seconds)" : "");
  auto until = std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(seconds));
  bool watch_stdin = true;
  while (!g_interrupted) {
    if (seconds > 0 && std::chrono::steady_clock::now() >= until) break;
    constexpr int kPollMs = 100;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    int n = poll(&p, watch_stdin ? 1 : 0, kPollMs);
    if (n > 0 && watch_stdin) {
      char buf[256];
      ssize_t got = read(STDIN_FILENO, buf, sizeof buf);
      if (got > 0) break;  // Enter
      // End of input: nobody will press Enter; Ctrl-C or --seconds ends the hold.
      watch_stdin = false;
    }
  }
  status = ZEL_ConstantFreq(0, 0);
  if (status != ZEL_OK) return Fail("switching the generator off", status);
  std::fprintf(stderr, "zel: generator off\n");
  return kExitOk;
}

int RunSensors(Session& s) {
  const UnitInfo& u = s.unit();
  int rc = kExitOk;
  if (u.rf_sensor) {
    double v = ZEL_BitsToDouble(ZEL_GetRFVoltage(0));
    if (v >= kFirstStatusValue)
      rc = Fail("RF voltage", static_cast<std::int32_t>(v));
    else
      std::printf("RF voltage     %.2f V peak\n", v);
  } else {
    std::printf("RF voltage     no sensor on the %s model\n", u.model_name.c_str());
  }
  if (u.temp_sensor) {
    double c = ZEL_BitsToDouble(ZEL_GetTemperature(0));
    if (c >= kFirstStatusValue) {
      rc = Fail("temperature", static_cast<std::int32_t>(c));
    } else {
      double f = c * 9 / 5 + 32;
      std::printf("temperature    %.1f C (%.1f F)\n", c, f);
    }
  } else {
    std::printf("temperature    no sensor on the %s model\n", u.model_name.c_str());
  }
  return rc;
}

}  // namespace zelhost
