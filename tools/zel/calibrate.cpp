// The calibration run: the short, the open and the load standard measured raw at every point of
// the grid, written with the library's calibration writer, loaded back and checked by measuring
// the load standard, which is still attached at the end, corrected.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ZEL_863_DLL.h"
#include "commands.h"
#include "files.h"

namespace zelhost {
namespace {

// A standard grid runs one point per whole MHz from 0 to two points beyond the maximum.
constexpr int kExtraStandardPoints = 3;
// A custom grid carries two points below its start and reaches one step past its end, so the
// library's three-point interpolation covers the whole of start..stop.
constexpr int kCustomPointsBelow = 2;
constexpr int kCustomExtraPoints = 4;
// Recorded for units without a temperature sensor; the correction never uses it.
constexpr double kNominalTempF = 77;
// The check measures the load standard corrected at this many frequencies and wants it within
// this fraction of Rcal: a good calibration reads it within the instrument's noise.
constexpr int kCheckPoints = 7;
constexpr double kCheckTolerance = 0.02;

const char* StandardName(Standard s) {
  return s == Standard::kShort ? "SHORT" : s == Standard::kOpen ? "OPEN" : "LOAD";
}

// Waits for Enter. False when the user cancels (Ctrl-C) or nobody can answer (end of input).
bool WaitForEnter(Standard s, double rcal) {
  if (s == Standard::kLoad)
    std::fprintf(stderr, "zel: attach the %s standard (%g ohm) and press Enter (Ctrl-C cancels) ",
                 StandardName(s), rcal);
  else
    std::fprintf(stderr, "zel: attach the %s standard and press Enter (Ctrl-C cancels) ",
                 StandardName(s));
  std::fflush(stderr);
  std::string line;
  while (!g_interrupted) {
    constexpr int kPollMs = 100;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) continue;
    char c;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1 && c == '\n') {
      // A terminal echoed the Enter; input from elsewhere leaves the prompt's line open.
      if (!isatty(STDIN_FILENO)) std::fprintf(stderr, "\n");
      return true;
    }
    if (n == 1) continue;
    if (n < 0 && errno == EINTR) continue;
    std::fprintf(stderr, "\n");
    Complain("no answer on standard input: calibration cancelled");
    return false;
  }
  std::fprintf(stderr, "\n");
  return false;
}

struct Grid {
  std::vector<double> f_mhz;        // the file's point frequencies
  std::vector<double> measure_mhz;  // where each is measured
};

Grid MakeGrid(const ZEL_UnitInfo& u, const CalOptions& o) {
  Grid g;
  if (o.custom) {
    int m = static_cast<int>(std::ceil((o.stop_mhz - o.start_mhz) / o.step_mhz - 1e-9));
    int count = m + kCustomExtraPoints;
    for (int i = 0; i < count; ++i)
      g.f_mhz.push_back(o.start_mhz + (i - kCustomPointsBelow) * o.step_mhz);
  } else {
    int count = static_cast<int>(std::lround(u.max_freq_mhz)) + kExtraStandardPoints;
    for (int i = 0; i < count; ++i) g.f_mhz.push_back(i);
  }
  // The bridge measures nothing at 0 MHz, and the instrument is asked for nothing outside its
  // range: a point beyond an edge holds the standard measured at that edge. So the point at
  // 0 MHz holds the lowest frequency the instrument makes, which is what the library's
  // interpolation between 0 and 1 MHz wants for a point below 1 MHz.
  for (double f : g.f_mhz) g.measure_mhz.push_back(std::clamp(f, u.min_freq_mhz, u.max_freq_mhz));
  return g;
}

// A file written under "<name>.new" that becomes <name> on Commit, and is removed otherwise.
class CheckedFile {
 public:
  explicit CheckedFile(const std::string& name) : name_(name), trial_(name + ".new") {}
  ~CheckedFile() {
    if (!committed_) std::remove(trial_.c_str());
  }
  const std::string& trial() const { return trial_; }
  // The checked file reaches the disk before it takes the name.
  bool Commit() {
    int fd = open(trial_.c_str(), O_RDONLY);
    bool synced = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    committed_ = synced && std::rename(trial_.c_str(), name_.c_str()) == 0;
    return committed_;
  }

 private:
  std::string name_, trial_;
  bool committed_ = false;
};

}  // namespace

int CheckCalOptions(const CalOptions& o) {
  if (o.output.empty()) return Complain("calibrate needs -o FILE", kExitUsage);
  if (!(o.rcal_ohms >= 5 && o.rcal_ohms <= 999999))
    return Complain("--rcal must be between 5 and 999999 ohms", kExitUsage);
  if (o.custom) {
    if (!(o.step_mhz > 0)) return Complain("--custom: STEP must be above 0", kExitUsage);
    if (!(o.stop_mhz > o.start_mhz))
      return Complain("--custom: STOP must be above START", kExitUsage);
    double count = std::ceil((o.stop_mhz - o.start_mhz) / o.step_mhz - 1e-9) + kCustomExtraPoints;
    if (count > ZEL_MAX_CAL_POINTS)
      return Complain("--custom: the grid has " + std::to_string(static_cast<long long>(count)) +
                          " points; a calibration holds at most " +
                          std::to_string(ZEL_MAX_CAL_POINTS),
                      kExitUsage);
  }
  // Refused before the first standard is asked for, not after the last one is measured.
  if (std::string why = FolderProblem(o.output); !why.empty())
    return Complain("calibrate: -o " + o.output + ": " + why, kExitUsage);
  return CheckAvg(o.avg, o.avg_given);
}

int RunCalibrate(Session& s, const RunOptions& r, const CalOptions& o, bool automatic) {
  const ZEL_UnitInfo& u = s.unit();
  if (o.custom &&
      (!s.InRange(o.start_mhz, "--custom START") || !s.InRange(o.stop_mhz, "--custom STOP")))
    return kExitUsage;
  Grid g = MakeGrid(u, o);
  const std::size_t n = g.f_mhz.size();
  if (!automatic) s.ChooseLink(3 * n);
  if (o.avg_given) ZEL_AvgReadings(o.avg);

  std::vector<double> re[3], im[3];
  const Standard standards[3] = {Standard::kShort, Standard::kOpen, Standard::kLoad};
  for (int k = 0; k < 3; ++k) {
    if (s.simulated()) {
      s.AttachStandard(standards[k]);
    } else if (!WaitForEnter(standards[k], o.rcal_ohms)) {
      return g_interrupted ? Complain("calibration cancelled; no file written", InterruptedStatus())
                           : kExitFailure;
    }
    std::string label = std::string("measuring ") + StandardName(standards[k]);
    Progress bar(label.c_str(), n, r.progress);
    for (std::size_t i = 0; i < n; ++i) {
      if (g_interrupted) {
        bar.Clear();
        return Complain("calibration cancelled; no file written", InterruptedStatus());
      }
      double re_i = 0, im_i = 0;
      std::int32_t status = MeasurePoint(r, 0, g.measure_mhz[i], &re_i, &im_i);
      if (status != ZEL_OK && !g_interrupted) {
        bar.Clear();
        char where[96];
        std::snprintf(where, sizeof where, "calibration, %s standard at %.6g MHz",
                      StandardName(standards[k]), g.measure_mhz[i]);
        return Fail(where, status);
      }
      if (status != ZEL_OK) continue;  // interrupted: said at the top of the loop
      re[k].push_back(re_i);
      im[k].push_back(im_i);
      bar.Update(i + 1);
    }
  }

  ZEL_CalSpec desc{};
  desc.rcal_ohms = o.rcal_ohms;
  desc.max_freq_mhz = u.max_freq_mhz;
  desc.temperature_f = kNominalTempF;
  if (u.temp_sensor) {
    double t = ZEL_BitsToDouble(ZEL_GetTemperature(1));
    if (t >= 0 && t <= 200) desc.temperature_f = t;
  }
  desc.custom = o.custom ? 1 : 0;
  desc.points = static_cast<std::int32_t>(n);
  desc.start_mhz = o.start_mhz;
  desc.end_mhz = o.stop_mhz;
  desc.step_mhz = o.step_mhz;
  // NULL: the identified unit's own identification, the one the loader checks a file against
  // (a unit without one gets a file that any instrument accepts).
  desc.unit_id = nullptr;
  desc.comment = s.simulated() ? "zel calibrate, built-in simulator" : "zel calibrate";
  desc.from_mode0 = 1;
  if (u.model == ZEL_MODEL_UHF) {
    // NULL segments: the identified controller's multiplier table, band edges and level.
    desc.uhf = 1;
    desc.seg_start_mhz = nullptr;
    desc.seg_mults = nullptr;
  }
  // The file is checked under a name of its own and takes the asked name only when it passed,
  // so a failed run never replaces a good calibration file.
  CheckedFile file(o.output);
  std::int32_t status = ZEL_WriteCalFile(file.trial().c_str(), &desc, re[0].data(), im[0].data(),
                                         re[1].data(), im[1].data(), re[2].data(), im[2].data());
  if (status != ZEL_OK) return Fail("cannot write the calibration file " + file.trial(), status);
  status = ZEL_LoadCalFile(file.trial().c_str());
  if (status != ZEL_OK)
    return Fail("the new calibration file " + file.trial() + " does not load", status);
  if (!automatic && !u.unit_id[0])
    std::fprintf(stderr, "zel: this unit reports no serial number: the file carries no unit ID\n");

  // The check: the load standard, corrected, across the calibrated range.
  if (s.simulated()) s.AttachStandard(Standard::kLoad);
  double lo = o.custom ? o.start_mhz : std::max(u.min_freq_mhz, 1.0);
  double hi = o.custom ? o.stop_mhz : u.max_freq_mhz;
  double worst = -1;
  std::complex<double> worst_z;
  double worst_f = 0;
  for (int i = 0; i < kCheckPoints; ++i) {
    double f = lo + (hi - lo) * i / (kCheckPoints - 1);
    double cr = 0, cx = 0;
    status = MeasurePoint(r, 1, f, &cr, &cx);
    if (status != ZEL_OK) {
      if (g_interrupted)
        return Complain("calibration cancelled; no file written", InterruptedStatus());
      return Fail("checking the calibration at " + std::to_string(f) + " MHz", status);
    }
    double err = std::abs(std::complex<double>(cr - o.rcal_ohms, cx)) / o.rcal_ohms;
    if (err > worst) {
      worst = err;
      worst_z = {cr, cx};
      worst_f = f;
    }
  }
  if (s.simulated()) s.AttachUserDut();
  char check[200];
  std::snprintf(check, sizeof check,
                "the load standard reads %.3f %+.3fj ohm at %.4g MHz, %.2f %% off %g ohm "
                "(worst of %d frequencies)",
                worst_z.real(), worst_z.imag(), worst_f, 100 * worst, o.rcal_ohms, kCheckPoints);
  if (worst > kCheckTolerance)
    return Complain(std::string("calibration check failed: ") + check +
                    ": check the standards and the connections, then calibrate again (" + o.output +
                    " not written)");
  if (!file.Commit())
    return Complain("cannot rename " + file.trial() + " to " + o.output + ": " +
                    std::strerror(errno));
  if (automatic) {
    std::fprintf(stderr, "zel: calibrated the simulator (%zu points per standard; %s)\n", n, check);
  } else {
    std::fprintf(
        stderr, "zel: calibration written to %s: %zu points per standard, Rcal %g ohm, %s\n",
        o.output.c_str(), n, o.rcal_ohms,
        u.unit_id[0]
            ? ("for the unit with serial number " + std::to_string(u.serial_number)).c_str()
            : "for any unit");
    std::fprintf(stderr, "zel: check: %s\n", check);
  }
  return kExitOk;
}

}  // namespace zelhost
