// zel: measure with a ZEL vector impedance analyzer from the command line, through the
// library's C interface only, as any host program would.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "commands.h"
#include "session.h"
#ifdef ZEL_WITH_SERVE
#include "serve/serve.h"
#endif

using namespace zelhost;

int main(int argc, char** argv) {
  CLI::App app{
      "zel: identify, sweep, calibrate and measure with a ZEL vector impedance analyzer.\n"
      "Without --port or --device it runs against the built-in simulator."};
  app.name("zel");
  app.require_subcommand(1);
  app.fallthrough();

  Target target;
  std::string global_cal;
  auto* port =
      app.add_option("--port", target.port, "analyzer on COMn (ZEL_COM<n>, else /dev/ttyS<n-1>)")
          ->check(CLI::Range(1, 255));
  auto* device = app.add_option("--device", target.device,
                                "analyzer on this serial device (/dev/ttyUSB0, a pseudo-terminal)");
  port->excludes(device);
  app.add_flag("--fast", target.fast, "use the 115000-baud link");
  auto* sim = app.add_option("--sim", target.sim_model,
                             "simulated model: lowrange, standard, uhf, power (default standard)");
  auto* dut =
      app.add_option("--dut", target.sim_dut,
                     "simulated device under test, e.g. r=50,x=10 | series:r=..,l=..,c=.. | "
                     "antenna:f0=14.2,r=50,q=10 | s1p:FILE");
  for (auto* o : {sim, dut}) {
    o->excludes(port);
    o->excludes(device);
  }
  app.add_option("--cal", global_cal, "calibration file for corrected values");

  auto* info = app.add_subcommand("info", "identify the analyzer: model, firmware, range, sensors");

  SweepOptions sw;
  auto* sweep = app.add_subcommand("sweep", "measure from START to STOP MHz and print a table");
  sweep->add_option("START", sw.start_mhz, "first frequency, MHz")->required();
  sweep->add_option("STOP", sw.stop_mhz, "last frequency, MHz")->required();
  auto* points = sweep->add_option("--points", sw.points, "number of points (default 101)");
  auto* step = sweep->add_option("--step", sw.step_mhz, "step between points, MHz");
  points->excludes(step);
  sweep->add_option("--cal", sw.cal, "calibration file for corrected values");
  sweep->add_option("--avg", sw.avg,
                    "readings averaged per point (1..16, up to 256 on newer firmware)");
  sweep->add_flag("--sync", sw.sync, "sync pulse before every point");
  sweep->add_option("-o,--output", sw.outputs,
                    "also write the sweep to FILE.s1p (Touchstone) or FILE.csv; may be repeated");

  double point_mhz = 0;
  std::string point_cal;
  int point_avg = 0;
  auto* point = app.add_subcommand("point", "measure one frequency");
  point->add_option("FREQ", point_mhz, "frequency, MHz")->required();
  point->add_option("--cal", point_cal, "calibration file for corrected values");
  point->add_option("--avg", point_avg, "readings averaged");

  double hold_mhz = 0, hold_seconds = 0;
  auto* hold = app.add_subcommand(
      "hold", "hold the generator on FREQ until Enter or Ctrl-C, then switch it off");
  hold->add_option("FREQ", hold_mhz, "frequency, MHz")->required();
  hold->add_option("--seconds", hold_seconds, "switch off after this many seconds");

  auto* sensors = app.add_subcommand("sensors", "read the RF voltage and temperature sensors");

  CalOptions cal;
  std::vector<double> custom;
  auto* calibrate = app.add_subcommand(
      "calibrate", "measure the short, open and load standards and write a calibration file");
  calibrate->add_option("-o,--output", cal.output, "calibration file to write")->required();
  calibrate->add_option("--custom", custom, "custom grid START STOP STEP, MHz (default: every MHz)")
      ->expected(3);
  calibrate->add_option("--rcal", cal.rcal_ohms,
                        "resistance of the load standard, ohms (default 50)");
  calibrate->add_option("--avg", cal.avg, "readings averaged per point");

#ifdef ZEL_WITH_SERVE
  ServeOptions serve_opts;
  auto* serve = AddServeCommand(app, &serve_opts);
#endif

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? kExitOk : kExitUsage;
  }

  std::string cal_file = !sw.cal.empty() ? sw.cal : !point_cal.empty() ? point_cal : global_cal;
  sw.cal = cal_file;
  if (custom.size() == 3) {
    cal.custom = true;
    cal.start_mhz = custom[0];
    cal.stop_mhz = custom[1];
    cal.step_mhz = custom[2];
  }
  if (*sweep) {
    if (int rc = CheckSweepOptions(sw); rc != kExitOk) return rc;
  }
  // A day at most: a longer hold is a typing mistake, and the clock arithmetic stays exact.
  constexpr double kMaxHoldSeconds = 86400;
  if (*hold && !(hold_seconds >= 0 && hold_seconds <= kMaxHoldSeconds))
    return Complain("hold: --seconds must be 0 to 86400", kExitUsage);
  if (*calibrate) {
    if (int rc = CheckCalOptions(cal); rc != kExitOk) return rc;
    target.sim_rcal = cal.rcal_ohms;
  }

  CatchInterrupt();
  Session session;
  if (int rc = session.Open(target); rc != kExitOk) return rc;
  int rc = kExitOk;
  if (*info)
    rc = RunInfo(session);
  else if (*sweep)
    rc = RunSweep(session, sw);
  else if (*point)
    rc = RunPoint(session, point_mhz, cal_file, point_avg);
  else if (*hold)
    rc = RunHold(session, hold_mhz, hold_seconds);
  else if (*sensors)
    rc = RunSensors(session);
  else if (*calibrate)
    rc = RunCalibrate(session, cal);
#ifdef ZEL_WITH_SERVE
  else if (*serve)
    rc = RunServe(session, serve_opts, global_cal);
#endif
  session.Close();
  return rc;
}
