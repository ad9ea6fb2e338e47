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
#include "bands.h"
#include "files.h"
#include "ports.h"
#include "status_text.h"
#include "sweep_report.h"

#ifndef ZEL_TOOL_VERSION
#define ZEL_TOOL_VERSION "0"
#endif

namespace zelhost {
namespace {

// A sweep larger than this is a typing mistake rather than a measurement (about an hour of
// points on the slow link).
constexpr int kMaxSweepPoints = 100000;

double NowSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

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
      std::remove((path_ + ".new").c_str());
      std::remove((path_ + ".new.part").c_str());
    }
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The standard grid's size, for choosing the link before a calibration of the simulator.
std::size_t StandardCalPoints(const ZEL_UnitInfo& u) {
  constexpr int kExtraStandardPoints = 3;
  return static_cast<std::size_t>(std::lround(u.max_freq_mhz)) + kExtraStandardPoints;
}

// Loads the calibration a measuring command runs with: the user's file, a fresh one on the
// built-in simulator, or none (raw values). Sets *mode for ZEL_ScanPoint and *name for the
// provenance.
int PrepareCalibration(Session& s, const RunOptions& r, const std::string& cal, int avg,
                       TempCal* temp, int* mode, std::string* name) {
  if (!cal.empty()) {
    std::int32_t status = ZEL_LoadCalFile(cal.c_str());
    if (status != ZEL_OK) return Fail("calibration file " + cal, status);
    *mode = 1;
    std::size_t slash = cal.rfind('/');
    *name = slash == std::string::npos ? cal : cal.substr(slash + 1);
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
    o.avg_given = avg > 0;
    int rc = RunCalibrate(s, r, o, true);
    if (rc != kExitOk) return rc;
    *mode = 1;
    *name = "none";
    return kExitOk;
  }
  std::fprintf(stderr,
               "zel: no --cal given: the values are RAW readings of the bridge, not corrected "
               "by a calibration\n");
  *mode = 0;
  *name = "none";
  return kExitOk;
}

std::string Yes(bool b) {
  return b ? "yes" : "no";
}

bool Retryable(std::int32_t status) {
  return status == ZEL_ERR_NO_RECORD || status == ZEL_ERR_RECORD_CHECKSUM ||
         status == ZEL_ERR_NO_REFERENCE || status == ZEL_ERR_NOT_SENT;
}

// The file format "-o -" writes to stdout.
FileKind StdoutFileKind(OutFormat f) {
  return f == OutFormat::kCsv    ? FileKind::kCsv
         : f == OutFormat::kJson ? FileKind::kJson
                                 : FileKind::kTouchstone;
}

std::string FileText(FileKind kind, const std::vector<Point>& points, const Provenance& p) {
  switch (kind) {
    case FileKind::kTouchstone:
      return TouchstoneText(points, p);
    case FileKind::kCsv:
      return CsvText(points);
    case FileKind::kJson:
      return JsonText(points, p);
    case FileKind::kNone:
      break;
  }
  return "";
}

std::string CsvHeader() {
  std::string t = CsvText({});
  return t;
}

}  // namespace

std::vector<double> SweepFrequencies(const SweepOptions& o) {
  std::vector<double> f;
  if (o.step_given) {
    // Points on start + i * step up to the stop, with a little slack for a typed stop that is
    // a decimal step away.
    double span = (o.stop_mhz - o.start_mhz) / o.step_mhz;
    long count = static_cast<long>(std::floor(span + 1e-9)) + 1;
    for (long i = 0; i < count; ++i) f.push_back(o.start_mhz + i * o.step_mhz);
  } else {
    int count = o.points_given ? o.points : kDefaultSweepPoints;
    if (count == 1 || o.stop_mhz == o.start_mhz) {
      f.push_back(o.start_mhz);
    } else {
      for (int i = 0; i < count; ++i)
        f.push_back(o.start_mhz + (o.stop_mhz - o.start_mhz) * i / (count - 1));
    }
  }
  return f;
}

std::string ToolText() {
  return std::string("zel ") + ZEL_TOOL_VERSION + " library " + ZEL_LibraryVersion();
}

std::string SerialText(const ZEL_UnitInfo& u) {
  return u.unit_id[0] ? std::to_string(u.serial_number) : "none";
}

Provenance MakeProvenance(const Session& s, bool corrected, const std::string& cal, int avg) {
  const ZEL_UnitInfo& u = s.unit();
  Provenance p;
  p.model = u.model_name;
  p.serial = SerialText(u);
  p.firmware = u.firmware[0] ? u.firmware : "none";
  p.date = IsoDateNow();
  p.corrected = corrected;
  p.calibration = cal;
  p.averaging = avg > 0 ? avg : 1;
  p.tool = ToolText();
  p.comment = std::string("ZEL ") + u.model_name + " analyzer, " +
              (!corrected ? std::string("raw readings")
               : s.simulated() && cal == "none"
                   ? std::string("built-in simulator, corrected by a calibration made for this run")
                   : "corrected with " + cal);
  return p;
}

int CheckFrequency(double f, const char* what) {
  if (std::isnan(f)) return Complain(std::string(what) + " is not a number (NaN)", kExitUsage);
  if (std::isinf(f)) return Complain(std::string(what) + " is infinite", kExitUsage);
  return kExitOk;
}

int CheckAvg(int avg, bool given) {
  if (given && (avg < kMinAvg || avg > kMaxAvg))
    return Complain("--avg must be " + std::to_string(kMinAvg) + " to " + std::to_string(kMaxAvg) +
                        " readings per point (more than 16 needs newer firmware)",
                    kExitUsage);
  return kExitOk;
}

int CheckSweepOptions(const SweepOptions& o) {
  if (!o.band.empty() && o.range_given)
    return Complain("sweep: give START STOP or --band, not both", kExitUsage);
  if (o.band.empty() && !o.range_given)
    return Complain("sweep: give START STOP (MHz) or --band NAME", kExitUsage);
  if (!o.band.empty() && !FindBand(o.band))
    return Complain("sweep: no band '" + o.band + "'; the bands are " + BandNames(), kExitUsage);
  if (o.range_given) {
    if (int rc = CheckFrequency(o.start_mhz, "sweep: START"); rc != kExitOk) return rc;
    if (int rc = CheckFrequency(o.stop_mhz, "sweep: STOP"); rc != kExitOk) return rc;
    if (o.stop_mhz < o.start_mhz)
      return Complain("sweep: STOP must not be below START", kExitUsage);
  }
  if (o.points_given && o.step_given)
    return Complain("sweep: give --points or --step, not both", kExitUsage);
  if (o.points_given && (o.points < 1 || o.points > kMaxSweepPoints))
    return Complain("sweep: --points must be 1 to " + std::to_string(kMaxSweepPoints), kExitUsage);
  if (o.step_given) {
    if (int rc = CheckFrequency(o.step_mhz, "sweep: --step"); rc != kExitOk) return rc;
    if (!(o.step_mhz > 0)) return Complain("sweep: --step must be above 0 MHz", kExitUsage);
    if (o.range_given && (o.stop_mhz - o.start_mhz) / o.step_mhz >= kMaxSweepPoints)
      return Complain(
          "sweep: --step gives more than " + std::to_string(kMaxSweepPoints) + " points",
          kExitUsage);
  }
  int to_stdout = 0;
  for (const std::string& path : o.outputs) {
    if (path == "-") {
      ++to_stdout;
      continue;
    }
    if (KindOfPath(path) == FileKind::kNone)
      return Complain(
          "sweep: -o " + path + ": the name must end in .s1p (Touchstone), .csv or .json",
          kExitUsage);
    if (std::string why = FolderProblem(path); !why.empty())
      return Complain("sweep: -o " + path + ": " + why, kExitUsage);
  }
  if (to_stdout > 1) return Complain("sweep: -o - may be given once", kExitUsage);
  return CheckAvg(o.avg, o.avg_given);
}

int CheckPointOptions(const PointOptions& o) {
  if (int rc = CheckFrequency(o.f_mhz, "point: FREQ"); rc != kExitOk) return rc;
  return CheckAvg(o.avg, o.avg_given);
}

int CheckHoldOptions(const HoldOptions& o) {
  if (int rc = CheckFrequency(o.f_mhz, "hold: FREQ"); rc != kExitOk) return rc;
  // A day at most: a longer hold is a typing mistake, and the clock arithmetic stays exact.
  constexpr double kMaxHoldSeconds = 86400;
  if (o.seconds_given && !(o.seconds >= 0 && o.seconds <= kMaxHoldSeconds))
    return Complain("hold: --seconds must be 0 to 86400", kExitUsage);
  return kExitOk;
}

Progress::Progress(const char* label, std::size_t total, bool forced)
    : label_(label),
      total_(total),
      terminal_(isatty(STDERR_FILENO) != 0),
      active_((terminal_ || forced) && total > 1),
      start_s_(NowSeconds()) {}

Progress::~Progress() {
  Clear();
}

void Progress::Update(std::size_t done) {
  if (!active_) return;
  double now = NowSeconds();
  // A terminal line is rewritten a few times a second; a log gets a line a second.
  const double every_s = terminal_ ? 0.2 : 1.0;
  if (done != total_ && last_s_ >= 0 && now - last_s_ < every_s) return;
  last_s_ = now;
  double elapsed = now - start_s_;
  double rate = elapsed > 0 ? done / elapsed : 0;
  char left[32] = "?";
  if (rate > 0) {
    long s = std::lround((total_ - done) / rate);
    std::snprintf(left, sizeof left, "%ld:%02ld", s / 60, s % 60);
  }
  std::fprintf(stderr, "%szel: %s %zu/%zu points, %.1f pts/s, %s left%s", terminal_ ? "\r" : "",
               label_, done, total_, rate, left, terminal_ ? "\033[K" : "\n");
  std::fflush(stderr);
  shown_ = terminal_;
}

void Progress::Clear() {
  if (!shown_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  shown_ = false;
  last_s_ = -1;
}

std::int32_t MeasurePoint(const RunOptions& r, int mode, double f_mhz, double* out_r,
                          double* out_x) {
  std::int32_t status = ZEL_ScanPoint(mode, f_mhz, out_r, out_x);
  for (int attempt = 1; attempt <= r.retries && status != ZEL_OK && Retryable(status); ++attempt) {
    if (g_interrupted) break;
    // On a terminal the message takes the place of the progress line, which the next point
    // writes again.
    std::fprintf(stderr, "%szel: point at %.6g MHz: %s; measuring it again (%d of %d)\n",
                 isatty(STDERR_FILENO) ? "\r\033[K" : "", f_mhz, ZEL_StatusText(status), attempt,
                 r.retries);
    status = ZEL_ScanPoint(mode, f_mhz, out_r, out_x);
  }
  return status;
}

int RunInfo(Session& s, const RunOptions& r) {
  const ZEL_UnitInfo& u = s.unit();
  std::string serial_note = !u.unit_id[0] ? " (the unit carries no serial number)"
                            : u.flash_id  ? " (from the flash date code)"
                                          : "";
  std::string sensors;
  if (u.rf_sensor) sensors = "RF voltage";
  if (u.temp_sensor) sensors += sensors.empty() ? "temperature" : ", temperature";
  if (sensors.empty()) sensors = "none";
  const std::string port = s.PortText();
  // A USB adapter's latency timer holds each reply back (16 ms by default), so it is worth
  // showing beside the port.
  const int latency_ms = LatencyTimerMs(u.device);
  const std::string latency = latency_ms < 0 ? "" : std::to_string(latency_ms);
  if (r.format == OutFormat::kJson) {
    std::printf(
        "{\"model\": %s, \"firmware\": %s, \"serial\": %s, \"unit_id\": %s, "
        "\"flash_id\": %s, \"flash_programmed\": %s, \"min_freq_mhz\": %.9g, "
        "\"max_freq_mhz\": %.9g, \"record_bytes\": %d, \"sync\": %s, \"rf_sensor\": %s, "
        "\"temp_sensor\": %s, \"rgen_ohms\": %.9g, \"max_baud\": %d, \"baud\": %d, "
        "\"port\": %s, \"latency_timer_ms\": %s, \"identification\": %s, \"tool\": %s}\n",
        JsonString(u.model_name).c_str(), JsonString(u.firmware).c_str(),
        JsonString(SerialText(u)).c_str(), JsonString(u.unit_id).c_str(),
        u.flash_id ? "true" : "false", u.flash_programmed ? "true" : "false", u.min_freq_mhz,
        u.max_freq_mhz, u.record_bytes, u.sync ? "true" : "false", u.rf_sensor ? "true" : "false",
        u.temp_sensor ? "true" : "false", u.rgen_ohms, u.max_baud, u.baud_rate,
        JsonString(port).c_str(), latency.empty() ? "null" : latency.c_str(),
        JsonString(u.ident_text).c_str(), JsonString(ToolText()).c_str());
    return kExitOk;
  }
  if (r.format == OutFormat::kCsv) {
    auto q = [](const std::string& v) {
      std::string out = "\"";
      for (char c : v) out += c == '"' ? std::string("\"\"") : std::string(1, c);
      return out + "\"";
    };
    std::printf("field,value\n");
    std::printf("model,%s\nfirmware,%s\nserial,%s\nflash_programmed,%d\nmin_freq_mhz,%.9g\n",
                q(u.model_name).c_str(), q(u.firmware).c_str(), q(SerialText(u)).c_str(),
                u.flash_programmed, u.min_freq_mhz);
    std::printf("max_freq_mhz,%.9g\nrecord_bytes,%d\nsync,%d\nrf_sensor,%d\ntemp_sensor,%d\n",
                u.max_freq_mhz, u.record_bytes, u.sync, u.rf_sensor, u.temp_sensor);
    std::printf("rgen_ohms,%.9g\nmax_baud,%d\nbaud,%d\nport,%s\nlatency_timer_ms,%s\n", u.rgen_ohms,
                u.max_baud, u.baud_rate, q(port).c_str(), latency.c_str());
    std::printf("identification,%s\n", q(u.ident_text).c_str());
    return kExitOk;
  }
  std::printf("model            %s\n", u.model_name);
  std::printf("firmware         %s\n", u.firmware[0] ? u.firmware : "(not reported)");
  std::printf("serial number    %s%s\n", SerialText(u).c_str(), serial_note.c_str());
  if (u.flash_programmed)
    std::printf("flash date code  programmed by this run: the unit's flash was erased\n");
  std::printf("frequency range  %g to %g MHz\n", u.min_freq_mhz, u.max_freq_mhz);
  std::printf("record format    %s\n",
              u.record_bytes == 67 ? "short (67 bytes)" : "long (72 bytes)");
  std::printf("sync output      %s\n", Yes(u.sync).c_str());
  std::printf("sensors          %s\n", sensors.c_str());
  if (u.rgen_ohms > 0) std::printf("bridge Rgen      %g ohm\n", u.rgen_ohms);
  std::printf("link             %d baud (the controller offers %d)\n", u.baud_rate, u.max_baud);
  std::printf("port             %s\n", port.c_str());
  if (latency_ms >= 0) std::printf("latency_timer    %s\n", LatencyText(latency_ms).c_str());
  std::printf("identification   %s\n", u.ident_text);
  return kExitOk;
}

int RunSweep(Session& s, const RunOptions& r, const SweepOptions& given) {
  SweepOptions o = given;
  const ZEL_UnitInfo& u = s.unit();
  if (!o.band.empty()) {
    const HamBand* b = FindBand(o.band);
    if (!BandSweep(*b, u.min_freq_mhz, u.max_freq_mhz, &o.start_mhz, &o.stop_mhz))
      return Complain("sweep: the " + std::string(b->name) + " band lies outside the " +
                          u.model_name + " instrument's range",
                      kExitUsage);
    o.range_given = true;
    if (o.step_given && (o.stop_mhz - o.start_mhz) / o.step_mhz >= kMaxSweepPoints)
      return Complain("sweep: --step gives too many points", kExitUsage);
    std::fprintf(stderr, "zel: %s band: %.4f to %.4f MHz\n", b->name, o.start_mhz, o.stop_mhz);
  }
  std::vector<double> freqs = SweepFrequencies(o);
  if (!s.InRange(freqs.front(), "sweep start") || !s.InRange(freqs.back(), "sweep stop"))
    return kExitUsage;
  const bool cal_needed = o.cal.empty() && s.simulated();
  s.ChooseLink(freqs.size() + (cal_needed ? 3 * StandardCalPoints(u) : 0));
  TempCal temp;
  int mode = 0;
  std::string cal_name;
  int rc = PrepareCalibration(s, r, o.cal, o.avg, &temp, &mode, &cal_name);
  if (rc != kExitOk) return rc;
  if (o.avg_given) ZEL_AvgReadings(o.avg);
  if (o.sync) {
    std::int32_t status = ZEL_Sync(2);
    if (status != ZEL_OK) return Fail("--sync", status);
  }

  bool file_to_stdout = false;
  for (const std::string& path : o.outputs) file_to_stdout |= path == "-";
  // What stdout shows while the sweep runs: the table or CSV rows as they come; JSON and a
  // file on stdout come whole at the end.
  const bool stream_table = !file_to_stdout && r.format == OutFormat::kTable;
  const bool stream_csv = !file_to_stdout && r.format == OutFormat::kCsv;
  if (stream_table) PrintTableHeader(stdout);
  if (stream_csv) std::fputs(CsvHeader().c_str(), stdout);
  StdoutGone();

  std::vector<Point> points;
  std::int32_t failure = ZEL_OK;
  double failed_at = 0;
  {
    Progress bar("sweeping", freqs.size(), r.progress);
    for (double f : freqs) {
      if (g_interrupted || StdoutGone()) break;
      double re = 0, im = 0;
      std::int32_t status = MeasurePoint(r, mode, f, &re, &im);
      if (status != ZEL_OK) {
        // A point cut short by a signal is not a failure of the instrument; it is left out.
        if (g_interrupted) break;
        failure = status;
        failed_at = f;
        break;
      }
      points.push_back({f, re, im, ZEL_OK});
      bar.Clear();
      if (stream_table) PrintTableRow(stdout, points.back());
      if (stream_csv) {
        std::string row = CsvText({points.back()});
        std::fputs(row.c_str() + row.find('\n') + 1, stdout);
      }
      StdoutGone();
      bar.Update(points.size());
    }
  }
  if (stream_table) PrintSummary(stdout, Summarize(points));
  StdoutGone();
  // Taken while the session still knows what it measured on (the built-in simulator goes with
  // the close).
  const Provenance prov = MakeProvenance(s, mode == 1, cal_name, o.avg_given ? o.avg : 1);
  // Relay off and port closed before the files are written: the instrument is left safe even
  // when writing takes a while or fails.
  s.Close();

  if (!file_to_stdout && r.format == OutFormat::kJson && !StdoutGone())
    std::fputs(JsonText(points, prov).c_str(), stdout);
  int status = kExitOk;
  for (const std::string& path : o.outputs) {
    if (path == "-") {
      if (!StdoutGone())
        std::fputs(FileText(StdoutFileKind(r.format), points, prov).c_str(), stdout);
      continue;
    }
    if (points.empty()) {
      std::fprintf(stderr, "zel: no points measured: %s left as it was\n", path.c_str());
      continue;
    }
    std::string error;
    if (!WriteFileAtomically(path, FileText(KindOfPath(path), points, prov), &error)) {
      status =
          Complain("cannot write " + path + ": " + error + " (the previous file is untouched)");
    } else {
      std::fprintf(stderr, "zel: %zu points written to %s\n", points.size(), path.c_str());
    }
  }
  StdoutGone();
  if (failure != ZEL_OK) {
    char where[64];
    std::snprintf(where, sizeof where, "sweep stopped at %.6g MHz", failed_at);
    return Fail(where, failure);
  }
  if (g_interrupted) {
    return Complain("interrupted: " + std::to_string(points.size()) + " of " +
                        std::to_string(freqs.size()) + " points measured; relay off, port closed",
                    InterruptedStatus());
  }
  // Nobody reads stdout any more (zel sweep | head): the files are written, the run ends quietly.
  if (StdoutGone()) return InterruptedStatus();
  return status;
}

int RunPoint(Session& s, const RunOptions& r, const PointOptions& o) {
  if (!s.InRange(o.f_mhz, "frequency")) return kExitUsage;
  s.ChooseLink(1 + (o.cal.empty() && s.simulated() ? 3 * StandardCalPoints(s.unit()) : 0));
  TempCal temp;
  int mode = 0;
  std::string cal_name;
  int rc = PrepareCalibration(s, r, o.cal, o.avg, &temp, &mode, &cal_name);
  if (rc != kExitOk) return rc;
  if (o.avg_given) ZEL_AvgReadings(o.avg);
  double re = 0, im = 0;
  std::int32_t status = MeasurePoint(r, mode, o.f_mhz, &re, &im);
  if (status != ZEL_OK) {
    if (g_interrupted) return InterruptedStatus();
    char where[64];
    std::snprintf(where, sizeof where, "point at %.6g MHz", o.f_mhz);
    return Fail(where, status);
  }
  Point p{o.f_mhz, re, im, ZEL_OK};
  Match m = MatchOf(p);
  if (r.format == OutFormat::kJson) {
    Provenance prov = MakeProvenance(s, mode == 1, cal_name, o.avg_given ? o.avg : 1);
    std::printf("{\"provenance\": %s,\n \"point\": %s}\n", ProvenanceJson(prov).c_str(),
                PointJson(p).c_str());
  } else if (r.format == OutFormat::kCsv) {
    std::fputs(CsvText({p}).c_str(), stdout);
  } else if (*NonMeasurement(p)) {
    std::printf("%.6f MHz  %s  SWR %s  RL %.2f dB%s\n", o.f_mhz, NonMeasurement(p),
                SwrText(m.swr).c_str(), m.return_loss_db, mode == 1 ? "" : "  (raw)");
  } else {
    std::printf("%.6f MHz  R %.3f ohm  X %.3f ohm  |Z| %.3f ohm  SWR %s  RL %.2f dB%s\n", o.f_mhz,
                re, im, m.z_abs, SwrText(m.swr).c_str(), m.return_loss_db,
                mode == 1 ? "" : "  (raw)");
  }
  return kExitOk;
}

int RunHold(Session& s, const HoldOptions& o) {
  if (!s.InRange(o.f_mhz, "frequency")) return kExitUsage;
  s.ChooseLink(0);
  std::int32_t status = ZEL_ConstantFreq(1, o.f_mhz);
  if (status != ZEL_OK) {
    ZEL_ConstantFreq(0, 0);
    return Fail("hold at " + std::to_string(o.f_mhz) + " MHz", status);
  }
  std::fprintf(stderr, "zel: generator on at %.6f MHz; press Enter or Ctrl-C to switch it off%s\n",
               o.f_mhz, o.seconds_given ? " (or wait for --seconds)" : "");
  auto until = std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(o.seconds));
  bool watch_stdin = true;
  while (!g_interrupted) {
    if (o.seconds_given && std::chrono::steady_clock::now() >= until) break;
    constexpr int kPollMs = 100;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    int n = poll(&p, watch_stdin ? 1 : 0, kPollMs);
    if (n > 0 && watch_stdin) {
      char buf[256];
      ssize_t got = read(STDIN_FILENO, buf, sizeof buf);
      if (got > 0) break;  // Enter
      if (got < 0 && errno == EINTR) continue;
      // End of input ends the hold as Enter does, unless --seconds says how long it lasts (a
      // script with no input of its own).
      if (!o.seconds_given) break;
      watch_stdin = false;
    }
  }
  status = ZEL_ConstantFreq(0, 0);
  if (status != ZEL_OK) return Fail("switching the generator off", status);
  std::fprintf(stderr, "zel: generator off\n");
  return g_interrupted ? InterruptedStatus() : kExitOk;
}

int RunSensors(Session& s, const RunOptions& r) {
  const ZEL_UnitInfo& u = s.unit();
  s.ChooseLink(0);
  int rc = kExitOk;
  double volts = NAN, celsius = NAN;
  if (u.rf_sensor) {
    double v = ZEL_BitsToDouble(ZEL_GetRFVoltage(0));
    if (v >= kFirstStatusValue)
      rc = Fail("RF voltage", static_cast<std::int32_t>(v));
    else
      volts = v;
  }
  if (u.temp_sensor) {
    double c = ZEL_BitsToDouble(ZEL_GetTemperature(0));
    if (c >= kFirstStatusValue)
      rc = Fail("temperature", static_cast<std::int32_t>(c));
    else
      celsius = c;
  }
  auto json = [](double v, const char* fmt) {
    if (std::isnan(v)) return std::string("null");
    char buf[32];
    std::snprintf(buf, sizeof buf, fmt, v);
    return std::string(buf);
  };
  if (r.format == OutFormat::kJson) {
    std::printf("{\"rf_voltage_v_peak\": %s, \"temperature_c\": %s}\n", json(volts, "%.2f").c_str(),
                json(celsius, "%.1f").c_str());
    return rc;
  }
  if (r.format == OutFormat::kCsv) {
    std::printf("rf_voltage_v_peak,temperature_c\n%s,%s\n",
                std::isnan(volts) ? "" : json(volts, "%.2f").c_str(),
                std::isnan(celsius) ? "" : json(celsius, "%.1f").c_str());
    return rc;
  }
  if (!u.rf_sensor)
    std::printf("RF voltage     no sensor on the %s model\n", u.model_name);
  else if (!std::isnan(volts))
    std::printf("RF voltage     %.2f V peak\n", volts);
  if (!u.temp_sensor)
    std::printf("temperature    no sensor on the %s model\n", u.model_name);
  else if (!std::isnan(celsius))
    std::printf("temperature    %.1f C (%.1f F)\n", celsius, celsius * 9 / 5 + 32);
  return rc;
}

int RunPorts() {
  PrintPorts(stdout, ListPorts());
  return kExitOk;
}

int RunBands() {
  PrintBands(stdout);
  return kExitOk;
}

}  // namespace zelhost
