// The commands of zel. Each runs on an open Session (or without one) and returns the program's
// exit status after printing its own messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session.h"
#include "sweep_report.h"

namespace zelhost {

// What stdout carries: the table for people, or CSV or JSON for scripts.
enum class OutFormat { kTable, kCsv, kJson };

// Options every measuring command shares (global on the command line).
struct RunOptions {
  OutFormat format = OutFormat::kTable;
  bool progress = false;  // progress on stderr even when it is not a terminal
  int retries = 1;        // a failed point is measured again this many times
};

// The documented range of the averaging depth (newer firmware; older stops at 16).
constexpr int kMinAvg = 1;
constexpr int kMaxAvg = 256;

// Reading the sensors: the library returns a failure as the status code in place of the value,
// and its codes are far above any reading.
constexpr double kFirstStatusValue = 10000;

struct SweepOptions {
  double start_mhz = 0, stop_mhz = 0;
  bool range_given = false;
  std::string band;  // --band 40m instead of START STOP
  int points = 0;
  bool points_given = false;
  double step_mhz = 0;
  bool step_given = false;
  std::string cal;  // calibration file; empty: raw, or a fresh one on the built-in simulator
  int avg = 0;      // 0: not given, the library's default
  bool avg_given = false;
  bool sync = false;
  std::vector<std::string> outputs;  // each .s1p, .csv or .json, or "-" for stdout
};

// The frequencies of a sweep: --step's points from START up to STOP, else --points (101 when
// not given) spread evenly over START..STOP.
constexpr int kDefaultSweepPoints = 101;
std::vector<double> SweepFrequencies(const SweepOptions& o);

struct PointOptions {
  double f_mhz = 0;
  std::string cal;
  int avg = 0;
  bool avg_given = false;
};

struct HoldOptions {
  double f_mhz = 0;
  double seconds = 0;
  bool seconds_given = false;
};

struct CalOptions {
  std::string output;
  bool custom = false;
  double start_mhz = 0, stop_mhz = 0, step_mhz = 0;
  double rcal_ohms = 50;
  int avg = 0;
  bool avg_given = false;
};

// Checks that do not need the instrument; a message and kExitUsage when something is wrong.
int CheckSweepOptions(const SweepOptions& o);
int CheckPointOptions(const PointOptions& o);
int CheckHoldOptions(const HoldOptions& o);
int CheckCalOptions(const CalOptions& o);
// "--avg must be 1 to 256" for a count given outside the documented range.
int CheckAvg(int avg, bool given);
// A frequency that is NaN or infinite, named as such.
int CheckFrequency(double f, const char* what);

// "zel 1.1.0 library 1.1.0".
std::string ToolText();
// The serial number a file or a report names: the library's, or "none" when the unit carries no
// identification that calibration files must match.
std::string SerialText(const ZEL_UnitInfo& u);
// Where a sweep measured now on the session's instrument comes from; cal is the calibration
// file's base name, "none" for raw values or the built-in simulator's own calibration.
Provenance MakeProvenance(const Session& s, bool corrected, const std::string& cal, int avg);

int RunInfo(Session& s, const RunOptions& r);
int RunSweep(Session& s, const RunOptions& r, const SweepOptions& o);
int RunPoint(Session& s, const RunOptions& r, const PointOptions& o);
int RunHold(Session& s, const HoldOptions& o);
int RunSensors(Session& s, const RunOptions& r);
// automatic: the built-in simulator is calibrated for a run that was given no file; the
// messages are shorter and the result is not announced as the user's file.
int RunCalibrate(Session& s, const RunOptions& r, const CalOptions& o, bool automatic = false);
int RunPorts();
int RunBands();

// Measures one point, measuring it again up to r.retries times after a failure that a second
// try can cure (a lost or damaged record); each retry is reported on stderr.
std::int32_t MeasurePoint(const RunOptions& r, int mode, double f_mhz, double* out_r,
                          double* out_x);

// Points done, points per second and the time left on stderr, while a loop of measurements
// runs: on one line that it rewrites when stderr is a terminal, or a line a second with
// --progress.
class Progress {
 public:
  Progress(const char* label, std::size_t total, bool forced);
  ~Progress();
  void Update(std::size_t done);
  // Takes the line off the terminal (before other output, and at the end).
  void Clear();

 private:
  const char* label_;
  std::size_t total_;
  bool terminal_;
  bool active_;
  bool shown_ = false;
  double start_s_;
  double last_s_ = -1;
};

}  // namespace zelhost
