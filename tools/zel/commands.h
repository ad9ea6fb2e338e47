// The commands of zel. Each runs on an open Session and returns the program's exit status after
// printing its own messages.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace zelhost {

struct SweepOptions {
  double start_mhz = 0, stop_mhz = 0;
  int points = 0;       // 0: not given
  double step_mhz = 0;  // 0: not given
  std::string cal;      // calibration file; empty: raw, or a fresh one on the built-in simulator
  int avg = 0;          // 0: leave the averaging as the library has it
  bool sync = false;
  std::vector<std::string> outputs;  // each .s1p or .csv
};

struct CalOptions {
  std::string output;
  bool custom = false;
  double start_mhz = 0, stop_mhz = 0, step_mhz = 0;
  double rcal_ohms = 50;
  int avg = 0;
};

// Checks that do not need the instrument; a message and kExitUsage when something is wrong.
int CheckSweepOptions(const SweepOptions& o);
int CheckCalOptions(const CalOptions& o);

int RunInfo(Session& s);
int RunSweep(Session& s, const SweepOptions& o);
int RunPoint(Session& s, double f_mhz, const std::string& cal, int avg);
int RunHold(Session& s, double f_mhz, double seconds);
int RunSensors(Session& s);
// automatic: the built-in simulator is calibrated for a run that was given no file; the
// messages are shorter and the result is not announced as the user's file.
int RunCalibrate(Session& s, const CalOptions& o, bool automatic = false);

// Shows a bar on stderr while a loop of measurements runs, when stderr is a terminal.
class Progress {
 public:
  Progress(const char* label, std::size_t total);
  ~Progress();
  void Update(std::size_t done);
  // Takes the bar off the line (before other output, and at the end).
  void Clear();

 private:
  const char* label_;
  std::size_t total_;
  bool active_;
  bool shown_ = false;
  int last_width_ = -1;
};

}  // namespace zelhost
