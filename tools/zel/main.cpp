// zel: measure with a ZEL vector impedance analyzer from the command line, through the
// library's C interface only, as any host program would.

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ZEL_863_DLL.h"
#include "commands.h"
#include "session.h"
#ifdef ZEL_WITH_SERVE
#include "serve/serve.h"
#endif

#ifndef ZEL_TOOL_VERSION
#define ZEL_TOOL_VERSION "0"
#endif

using namespace zelhost;

namespace {

// One subcommand: its parser, the checks that need no instrument, and the run, on an open
// Session or (needs_instrument false) on its own. A new command adds one entry in main().
struct Command {
  CLI::App* app = nullptr;
  std::function<int()> check;  // may be empty
  std::function<int(Session&)> run;
  std::function<int()> run_alone;  // for commands that need no instrument
};

// Edit distance, to suggest the command a misspelt one meant.
std::size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diag = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

// The first word on the command line that is not an option or an option's value, when it names
// no command: "zel swep 1 2" gets "did you mean 'sweep'?".
std::string Suggestion(CLI::App& app, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("-", 0) == 0) {
      CLI::Option* o = nullptr;
      try {
        o = a.find('=') == std::string::npos ? app.get_option(a) : nullptr;
      } catch (const CLI::OptionNotFound&) {
      }
      if (o && o->get_type_size() != 0) ++i;  // skip its value
      continue;
    }
    for (const CLI::App* sub : app.get_subcommands({}))
      if (sub->get_name() == a) return "";
    std::string best;
    std::size_t best_d = 3;  // more than two edits is another word
    for (const CLI::App* sub : app.get_subcommands({})) {
      std::size_t d = Distance(a, sub->get_name());
      if (d < best_d) {
        best_d = d;
        best = sub->get_name();
      }
    }
    if (!best.empty()) return "zel: no command '" + a + "'; did you mean '" + best + "'?";
    return "zel: no command '" + a + "'; see zel --help";
  }
  return "";
}

bool Given(const CLI::Option* o) {
  return o->count() > 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "zel: identify, sweep, calibrate and measure with a ZEL vector impedance analyzer.\n"
      "Without --port or --device it runs against the built-in simulator."};
  app.name("zel");
  app.require_subcommand(1);
  app.fallthrough();
  app.set_version_flag("--version", std::string("zel ") + ZEL_TOOL_VERSION +
                                        ", library ZEL_863_DLL " + ZEL_LibraryVersion());

  Target target;
  RunOptions run;
  std::string global_cal;
  auto* port =
      app.add_option("--port", target.port, "analyzer on COMn (ZEL_COM<n>, else /dev/ttyS<n-1>)")
          ->check(CLI::Range(1, 255));
  auto* device = app.add_option("--device", target.device,
                                "analyzer on this serial device (/dev/ttyUSB0, a pseudo-terminal)");
  port->excludes(device);
  bool fast_flag = false, slow_flag = false;
  auto* fast = app.add_flag("--fast", fast_flag, "use the 115000-baud link from the start");
  auto* slow = app.add_flag("--slow", slow_flag,
                            "keep the 57600-baud link (by default a long run switches "
                            "to 115000 baud when the controller offers it)");
  fast->excludes(slow);
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
  auto* global_cal_opt =
      app.add_option("--cal", global_cal, "calibration file for corrected values");
  std::map<std::string, OutFormat> formats{
      {"table", OutFormat::kTable}, {"csv", OutFormat::kCsv}, {"json", OutFormat::kJson}};
  app.add_option("--format", run.format, "what stdout carries: table (default), csv or json")
      ->transform(CLI::CheckedTransformer(formats, CLI::ignore_case));
  app.add_flag("--progress", run.progress,
               "show progress on stderr even when it is not a terminal");
  app.add_option("--retries", run.retries, "measure a failed point again up to N times (default 1)")
      ->check(CLI::Range(0, 10));

  std::vector<Command> commands;

  auto* info = app.add_subcommand("info", "identify the analyzer: model, firmware, range, sensors");
  commands.push_back({info, {}, [&](Session& s) { return RunInfo(s, run); }, {}});

  SweepOptions sw;
  auto* sweep = app.add_subcommand("sweep", "measure from START to STOP MHz and print a table");
  auto* start = sweep->add_option("START", sw.start_mhz, "first frequency, MHz");
  auto* stop = sweep->add_option("STOP", sw.stop_mhz, "last frequency, MHz");
  start->needs(stop);
  sweep->add_option("--band", sw.band,
                    "an amateur band instead of START STOP: 160m .. 70cm (see zel bands)");
  auto* points =
      sweep->add_option("--points", sw.points,
                        "number of points (default " + std::to_string(kDefaultSweepPoints) + ")");
  auto* step = sweep->add_option("--step", sw.step_mhz, "step between points, MHz");
  auto* sweep_cal = sweep->add_option("--cal", sw.cal, "calibration file for corrected values");
  auto* sweep_avg = sweep->add_option(
      "--avg", sw.avg, "readings averaged per point (1..16, up to 256 on newer firmware)");
  sweep->add_flag("--sync", sw.sync, "sync pulse before every point");
  sweep->add_option("-o,--output", sw.outputs,
                    "also write the sweep to FILE.s1p (Touchstone), FILE.csv or FILE.json; "
                    "'-' writes it to stdout (the --format's file, Touchstone for table); may be "
                    "repeated");
  commands.push_back({sweep,
                      [&] {
                        sw.range_given = Given(start);
                        sw.points_given = Given(points);
                        sw.step_given = Given(step);
                        sw.avg_given = Given(sweep_avg);
                        return CheckSweepOptions(sw);
                      },
                      [&](Session& s) { return RunSweep(s, run, sw); },
                      {}});

  PointOptions pt;
  auto* point = app.add_subcommand("point", "measure one frequency");
  point->add_option("FREQ", pt.f_mhz, "frequency, MHz")->required();
  auto* point_cal = point->add_option("--cal", pt.cal, "calibration file for corrected values");
  auto* point_avg = point->add_option("--avg", pt.avg, "readings averaged");
  commands.push_back({point,
                      [&] {
                        pt.avg_given = Given(point_avg);
                        return CheckPointOptions(pt);
                      },
                      [&](Session& s) { return RunPoint(s, run, pt); },
                      {}});

  HoldOptions hd;
  auto* hold = app.add_subcommand(
      "hold",
      "hold the generator on FREQ until Enter (or end of input) or Ctrl-C, then switch it "
      "off");
  hold->add_option("FREQ", hd.f_mhz, "frequency, MHz")->required();
  auto* seconds = hold->add_option(
      "--seconds", hd.seconds,
      "switch off after this many seconds (0: on and off again at once); end of input then no "
      "longer ends the hold");
  commands.push_back({hold,
                      [&] {
                        hd.seconds_given = Given(seconds);
                        return CheckHoldOptions(hd);
                      },
                      [&](Session& s) { return RunHold(s, hd); },
                      {}});

  auto* sensors = app.add_subcommand("sensors", "read the RF voltage and temperature sensors");
  commands.push_back({sensors, {}, [&](Session& s) { return RunSensors(s, run); }, {}});

  CalOptions cal;
  std::vector<double> custom;
  auto* calibrate = app.add_subcommand(
      "calibrate", "measure the short, open and load standards and write a calibration file");
  calibrate->add_option("-o,--output", cal.output, "calibration file to write")->required();
  auto* custom_opt =
      calibrate
          ->add_option("--custom", custom, "custom grid START STOP STEP, MHz (default: every MHz)")
          ->expected(3);
  calibrate->add_option("--rcal", cal.rcal_ohms,
                        "resistance of the load standard, ohms (default 50)");
  auto* cal_avg = calibrate->add_option("--avg", cal.avg, "readings averaged per point");
  commands.push_back({calibrate,
                      [&] {
                        if (Given(custom_opt)) {
                          cal.custom = true;
                          cal.start_mhz = custom[0];
                          cal.stop_mhz = custom[1];
                          cal.step_mhz = custom[2];
                          for (double f : custom)
                            if (int rc = CheckFrequency(f, "calibrate: --custom"); rc != kExitOk)
                              return rc;
                        }
                        cal.avg_given = Given(cal_avg);
                        target.sim_rcal = cal.rcal_ohms;
                        return CheckCalOptions(cal);
                      },
                      [&](Session& s) { return RunCalibrate(s, run, cal); },
                      {}});

  auto* ports = app.add_subcommand(
      "ports", "list the serial ports: USB adapter, latency timer, whether you may open them");
  commands.push_back({ports, {}, {}, [] { return RunPorts(); }});
  auto* bands = app.add_subcommand("bands", "list the amateur band presets of sweep --band");
  commands.push_back({bands, {}, {}, [] { return RunBands(); }});

#ifdef ZEL_WITH_SERVE
  ServeOptions serve_opts;
  auto* serve = AddServeCommand(app, &serve_opts);
  commands.push_back(
      {serve, {}, [&](Session& s) { return RunServe(s, serve_opts, global_cal); }, {}});
#endif

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() != 0) {
      std::string hint = Suggestion(app, argc, argv);
      if (!hint.empty()) {
        std::fprintf(stderr, "%s\n", hint.c_str());
        return kExitUsage;
      }
    }
    int rc = app.exit(e);
    return rc == 0 ? kExitOk : kExitUsage;
  }

  // One calibration file per run: given twice, which one was meant is a guess.
  std::string* sub_cal = *sweep ? &sw.cal : *point ? &pt.cal : nullptr;
  if (Given(global_cal_opt) && sub_cal && (Given(sweep_cal) || Given(point_cal)))
    return Complain("--cal given twice (before and after the command): give it once", kExitUsage);
  if (sub_cal && Given(global_cal_opt)) *sub_cal = global_cal;
  if (Given(fast)) target.link = LinkChoice::kFast;
  if (Given(slow)) target.link = LinkChoice::kSlow;

  for (Command& c : commands) {
    if (!c.app->parsed()) continue;
    if (c.check) {
      if (int rc = c.check(); rc != kExitOk) return rc;
    }
    if (c.run_alone) return c.run_alone();
    CatchSignals();
    Session session;
    if (int rc = session.Open(target); rc != kExitOk) {
      session.Close();
      return g_interrupted ? InterruptedStatus() : rc;
    }
    int rc = c.run(session);
    session.Close();
    return rc;
  }
  return kExitUsage;
}
