// zel run as a user runs it, against its built-in simulator on a pseudo-terminal: calibrate, sweep
// with the file, read the written files back (also with scikit-rf), the closing summary for a
// known resonance, and the messages and exit statuses of the failures a user meets first.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cli_support.h"
#include "simulator.h"
#include "sweep_report.h"

namespace {

using namespace zelcli;

zelsim::Dut ParsedDut(const std::string& dut_text) {
  zelsim::Dut dut;
  std::string error;
  EXPECT_TRUE(zelsim::ParseDut(dut_text, &dut, &error)) << error;
  return dut;
}

// Every sample within 1 % of the device's true impedance.
void ExpectTrue(const std::vector<Sample>& samples, const zelsim::Dut& dut) {
  for (const Sample& s : samples) {
    std::complex<double> truth = zelsim::DutImpedance(dut, s.f_mhz);
    EXPECT_LT(std::abs(s.z - truth) / std::abs(truth), 0.01)
        << s.f_mhz << " MHz: measured " << s.z << ", true " << truth;
  }
}

// A series circuit with a resonance inside the sweep: R, and X of either sign.
constexpr const char* kDut = "series:r=60,l=300n,c=150p";
constexpr int kSweepPoints = 12;

// One calibration and one sweep to each file format, shared by the tests that read them.
class CliSweep : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new fs::path(fs::temp_directory_path() / ("zel-cli-" + std::to_string(getpid())));
    fs::create_directories(*dir_);
    cal_run_ = new ZelRun(RunZel({"calibrate", "-o", (*dir_ / "unit.acal").string()}));
    sweep_run_ = new ZelRun(
        RunZel({"--dut", kDut, "sweep", "2", "60", "--points", std::to_string(kSweepPoints),
                "--cal", (*dir_ / "unit.acal").string(), "-o", (*dir_ / "sweep.s1p").string(), "-o",
                (*dir_ / "sweep.csv").string()}));
  }
  static void TearDownTestSuite() {
    fs::remove_all(*dir_);
    delete dir_;
    delete cal_run_;
    delete sweep_run_;
  }
  static fs::path* dir_;
  static ZelRun* cal_run_;
  static ZelRun* sweep_run_;  // to a Touchstone and a CSV file
};
fs::path* CliSweep::dir_;
ZelRun* CliSweep::cal_run_;
ZelRun* CliSweep::sweep_run_;

TEST_F(CliSweep, CalibrateWritesAFileThatLoadsAndReadsTheLoadStandard) {
  EXPECT_EQ(cal_run_->status, 0) << cal_run_->err;
  EXPECT_NE(cal_run_->err.find("simulating"), std::string::npos) << cal_run_->err;
  EXPECT_NE(cal_run_->err.find("calibration written to"), std::string::npos) << cal_run_->err;
  EXPECT_NE(cal_run_->err.find("check: the load standard reads"), std::string::npos);
  // A standard grid: one record per MHz from 0 to 182 for each of the three standards.
  std::vector<std::string> lines = Lines(Slurp(*dir_ / "unit.acal"));
  ASSERT_GE(lines.size(), 3u);
  EXPECT_NE(lines[0].find("_ID= 12345"), std::string::npos) << lines[0];
  EXPECT_EQ(lines.size(), 1u + 1u + 3u * (1u + 183u));
}

TEST_F(CliSweep, SweepWithTheCalibrationReadsAKnownDeviceWithinOnePercent) {
  const zelsim::Dut dut = ParsedDut(kDut);
  ASSERT_EQ(sweep_run_->status, 0) << sweep_run_->err;
  EXPECT_EQ(sweep_run_->err.find("calibrating the simulator"), std::string::npos)
      << "a run given --cal makes no calibration of its own";
  // The table: a header, one row per point, the summary.
  int rows = 0;
  for (const std::string& line : Lines(sweep_run_->out))
    if (!line.empty() && line[0] != '#') ++rows;
  EXPECT_EQ(rows, kSweepPoints);
  std::vector<Sample> s1p = ReadTouchstone(*dir_ / "sweep.s1p");
  std::vector<Sample> csv = ReadCsv(*dir_ / "sweep.csv");
  ASSERT_EQ(s1p.size(), static_cast<std::size_t>(kSweepPoints));
  ASSERT_EQ(csv.size(), static_cast<std::size_t>(kSweepPoints));
  EXPECT_DOUBLE_EQ(s1p.front().f_mhz, 2);
  EXPECT_DOUBLE_EQ(s1p.back().f_mhz, 60);
  ExpectTrue(s1p, dut);
  ExpectTrue(csv, dut);
}

TEST_F(CliSweep, TouchstoneFileReadsBackInScikitRf) {
  if (std::system(ZEL_SYSTEM_PYTHON " -c 'import skrf' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << ZEL_SYSTEM_PYTHON " has no scikit-rf";
  ASSERT_EQ(sweep_run_->status, 0);
  fs::path dump = *dir_ / "skrf.txt";
  // The impedance from scikit-rf's own reading of the file: its S parameter and reference
  // (Network.z itself fails with the numpy that Debian ships beside skrf 0.15).
  std::string script = "import skrf; n = skrf.Network('" + (*dir_ / "sweep.s1p").string() +
                       "'); s = n.s[:, 0, 0]; "
                       "z = n.z0[:, 0] * (1 + s) / (1 - s); f = open('" +
                       dump.string() +
                       "', 'w'); [f.write('%.9f %.9f %.9f\\n' % (fr / 1e6, v.real, v.imag)) for "
                       "fr, v in zip(n.f, z)]";
  std::string cmd = ZEL_SYSTEM_PYTHON " -c \"" + script + "\" 2>/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  std::vector<Sample> from_skrf;
  for (const std::string& line : Lines(Slurp(dump))) {
    double f, r, x;
    ASSERT_EQ(std::sscanf(line.c_str(), "%lf %lf %lf", &f, &r, &x), 3);
    from_skrf.push_back({f, {r, x}});
  }
  std::vector<Sample> csv = ReadCsv(*dir_ / "sweep.csv");
  ASSERT_EQ(from_skrf.size(), csv.size());
  for (std::size_t i = 0; i < csv.size(); ++i) {
    EXPECT_NEAR(from_skrf[i].f_mhz, csv[i].f_mhz, 1e-6);
    // Same measurement, two files: the CSV's four decimals are the only difference.
    EXPECT_LT(std::abs(from_skrf[i].z - csv[i].z), 1e-3) << csv[i].f_mhz;
  }
  ExpectTrue(from_skrf, ParsedDut(kDut));
}

// The summary for a known resonance: a series resonator of r ohms at f0 with quality factor Q.
TEST(CliSummary, ReportsTheResonanceAndBandwidthsOfAKnownAntenna) {
  const std::string dut_text = "antenna:f0=7.1,r=40,q=15";
  ZelRun run = RunZel({"--dut", dut_text, "sweep", "6.5", "7.7", "--step", "0.01"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("calibrating the simulator first"), std::string::npos) << run.err;
  double min_swr = 0, min_f = 0, lo2 = 0, hi2 = 0, bw2 = 0, lo15 = 0, hi15 = 0, bw15 = 0;
  for (const std::string& line : Lines(run.out)) {
    std::sscanf(line.c_str(), "# lowest SWR %lf at %lf MHz", &min_swr, &min_f);
    std::sscanf(line.c_str(), "# SWR below 2:1: %lf to %lf MHz, bandwidth %lf", &lo2, &hi2, &bw2);
    std::sscanf(line.c_str(), "# SWR below 1.5:1: %lf to %lf MHz, bandwidth %lf", &lo15, &hi15,
                &bw15);
  }
  // The truth from the device itself: SWR at resonance 50/40, band edges where the SWR crosses
  // the limit, found by bisection on the true impedance.
  const zelsim::Dut dut = ParsedDut(dut_text);
  auto swr = [&](double f) {
    std::complex<double> z = zelsim::DutImpedance(dut, f);
    double g = std::abs((z - 50.0) / (z + 50.0));
    return (1 + g) / (1 - g);
  };
  auto edge = [&](double inside, double outside, double limit) {
    for (int i = 0; i < 60; ++i) {
      double mid = (inside + outside) / 2;
      (swr(mid) < limit ? inside : outside) = mid;
    }
    return inside;
  };
  EXPECT_NEAR(min_swr, 1.25, 0.02);
  EXPECT_NEAR(min_f, 7.1, 0.015);
  // One step is 10 kHz; the interpolated edges land well inside it.
  EXPECT_NEAR(lo2, edge(7.1, 6.5, 2.0), 0.005);
  EXPECT_NEAR(hi2, edge(7.1, 7.7, 2.0), 0.005);
  EXPECT_NEAR(bw2, hi2 - lo2, 1e-3);
  EXPECT_NEAR(lo15, edge(7.1, 6.5, 1.5), 0.005);
  EXPECT_NEAR(hi15, edge(7.1, 7.7, 1.5), 0.005);
  EXPECT_NEAR(bw15, hi15 - lo15, 1e-3);
}

// The bands as the summary finds them, on hand-made sweeps of SWR values.
TEST(CliSummary, BandEdgesAreInterpolatedAndSayWhenThereIsNone) {
  // Impedances with a given SWR against 50 ohms: a pure resistance of 50 x SWR.
  auto sweep = [](std::vector<double> swrs) {
    std::vector<zelhost::Point> p;
    for (std::size_t i = 0; i < swrs.size(); ++i)
      p.push_back({10.0 + static_cast<double>(i), 50 * swrs[i], 0});
    return p;
  };
  struct Case {
    const char* name;
    std::vector<double> swr;
    bool found;
    double lo, hi;
    bool lo_end, hi_end;
  };
  const double inf = INFINITY;
  // clang-format off
  const Case cases[] = {
      {"never below the limit",                  {3, 2.5, 2.01, 2.5}, false, 0, 0, false, false},
      {"edges halfway between points",           {3, 1, 3},     true, 10.5, 11.5, false, false},
      {"edges a third and a quarter of a step out", {3, 1.5, 1, 5}, true, 11 - 1.0 / 3, 12.25,
       false, false},
      {"band reaching the end of the sweep",     {1.2, 1.5, 4}, true, 10, 11.2, true, false},
      {"an open beside the band puts the edge on the point", {inf, 1.1, inf}, true, 11, 11,
       false, false},
      {"only the run around the minimum counts", {1.5, 3, 1.1, 3}, true, 12 - 0.9 / 1.9,
       12 + 0.9 / 1.9, false, false},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<zelhost::Point> p = sweep(c.swr);
    zelhost::Summary s = zelhost::Summarize(p);
    ASSERT_TRUE(s.any);
    EXPECT_EQ(s.swr2.found, c.found);
    if (!c.found) continue;
    EXPECT_NEAR(s.swr2.low_mhz, c.lo, 1e-9);
    EXPECT_NEAR(s.swr2.high_mhz, c.hi, 1e-9);
    EXPECT_EQ(s.swr2.low_at_sweep_end, c.lo_end);
    EXPECT_EQ(s.swr2.high_at_sweep_end, c.hi_end);
  }
}

// What zel tells about the two models that differ most from the standard one: the range, the
// sensors and the record format come from the identification, as the calibration grid does.
TEST(CliInfo, ReportsTheModelItsRangeAndSensors) {
  struct Case {
    const char* model;
    std::vector<std::string> says;
  };
  const Case cases[] = {
      {"power",
       {
           "model            high-power",
           "serial number    23456",
           "frequency range  0.01 to 170 MHz",
           "record format    long (72 bytes)",
           "sensors          RF voltage, temperature",
       }},
      {"lowrange",
       {"model            low-range", "frequency range  0.1 to 32 MHz",
        "record format    short (67 bytes)", "sensors          none",
        "identification   zelkq3 ver 4.85"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    ZelRun run = RunZel({"--sim", c.model, "info"});
    EXPECT_EQ(run.status, 0) << run.err;
    for (const std::string& text : c.says)
      EXPECT_NE(run.out.find(text), std::string::npos) << run.out;
  }
}

// A pseudo-terminal that nobody answers: a silent instrument.
class SilentLine {
 public:
  SilentLine() {
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) path_ = name;
  }
  ~SilentLine() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  const std::string& path() const { return path_; }

 private:
  int master_ = -1, slave_ = -1;
  std::string path_;
};

TEST(CliFailures, NameTheStatusAndWhatToDoAndExitNonZero) {
  SilentLine silent;
  ASSERT_FALSE(silent.path().empty());
  // A line this test opens exclusively, as a terminal program would.
  SilentLine held;
  int held_fd = open(held.path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held_fd, 0);
  ASSERT_EQ(ioctl(held_fd, TIOCEXCL), 0);
  // Root passes TIOCEXCL; the lock is what keeps every other program off the port.
  ASSERT_EQ(flock(held_fd, LOCK_EX | LOCK_NB), 0);
  fs::path dir = fs::temp_directory_path() / ("zel-cli-fail-" + std::to_string(getpid()));
  fs::create_directories(dir);
  // A calibration file that names another unit than the simulator's serial number 12345.
  {
    std::ofstream f(dir / "other.acal");
    f << " 50   //  _ID= 99999     || made on another analyzer\r\n 180    temperature=  77\r\n";
  }
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> says;
  };
  std::vector<Case> cases = {
      {"missing port",
       {"--device", (dir / "no-such-tty").string(), "info"},
       1,
       {"cannot open", "no such device", "zel ports"}},
      {"a file given as the port",
       {"--device", (dir / "other.acal").string(), "info"},
       1,
       {"not a serial device (a file)"}},
      {"a port another program holds",
       {"--device", held.path(), "info"},
       1,
       {"cannot open", "held by another program: PID " + std::to_string(getpid())}},
      {"a device that is no terminal",
       {"--device", "/dev/null", "info"},
       1,
       {"not a serial device"}},

      {"wrong calibration file",
       {"sweep", "10", "20", "--cal", (dir / "other.acal").string()},
       1,
       {"(34520)", "belongs to another instrument", "zel calibrate"}},
      {"missing calibration file",
       {"point", "14", "--cal", (dir / "none.acal").string()},
       1,
       {"(34523)", "cannot be opened"}},
      {"silent instrument",
       {"--device", silent.path(), "info"},
       1,
       {"no identification from the instrument", "(121)", "check power, the serial cable"}},
      {"sweep outside the model's range", {"sweep", "150", "200"}, 2, {"outside", "180 MHz"}},
      {"stop below start", {"sweep", "20", "10"}, 2, {"STOP must not be below START"}},
      {"unknown output format", {"sweep", "1", "2", "-o", "x.txt"}, 2, {".s1p", ".csv"}},
      {"no points", {"sweep", "1", "2", "--points", "0"}, 2, {"--points must be 1 to"}},
      {"no step", {"sweep", "1", "2", "--step", "0"}, 2, {"--step must be above 0"}},
      {"no readings", {"point", "14", "--avg", "0"}, 2, {"--avg must be 1 to 256"}},
      {"too many readings", {"sweep", "1", "2", "--avg", "257"}, 2, {"--avg must be 1 to 256"}},
      {"NaN start", {"sweep", "nan", "2"}, 2, {"START is not a number (NaN)"}},
      {"infinite stop", {"sweep", "1", "inf"}, 2, {"STOP is infinite"}},
      {"NaN point", {"point", "nan"}, 2, {"FREQ is not a number"}},
      {"misspelt command", {"swep", "1", "2"}, 2, {"did you mean 'sweep'?"}},
      {"misspelt command after options",
       {"--sim", "uhf", "calbrate"},
       2,
       {"did you mean 'calibrate'?"}},
      {"calibration file given twice",
       {"--cal", "a.acal", "sweep", "1", "2", "--cal", "b.acal"},
       2,
       {"--cal given twice"}},
      {"band and range", {"sweep", "1", "2", "--band", "40m"}, 2, {"not both"}},
      {"unknown band", {"sweep", "--band", "41m"}, 2, {"no band '41m'", "160m"}},
      {"band outside the model's range",
       {"--sim", "lowrange", "sweep", "--band", "2m"},
       1 + 1,
       {"2m band lies outside the low-range"}},
      {"sweep into a missing folder",
       {"sweep", "1", "2", "-o", (dir / "no" / "x.csv").string()},
       2,
       {"does not exist"}},
      {"calibration into a missing folder",
       {"calibrate", "-o", (dir / "no" / "x.acal").string()},
       2,
       {"does not exist"}},
      {"simulator options with a real port", {"--port", "3", "--dut", "short", "info"}, 2, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZelRun run = RunZel(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    for (const std::string& text : c.says)
      EXPECT_NE(run.err.find(text), std::string::npos) << "stderr: " << run.err;
  }
  close(held_fd);
  fs::remove_all(dir);
}

#ifdef ZEL_SIM_PATH
// A real instrument's calibration: zel asks for each standard and waits for Enter. zel-sim stands
// in for the analyzer on its own pseudo-terminal, and the test attaches the standards on it
// through its control input, as a user would screw them on.
TEST(CliExternalInstrument, CalibrateAsksForEachStandardAndChecksTheResult) {
  Child sim(ZEL_SIM_PATH, {"--dut", "r=50,x=0"});
  ASSERT_TRUE(sim.WaitFor("\n"));
  const std::string path = sim.out.substr(0, sim.out.find('\n'));
  fs::path dir = fs::temp_directory_path() / ("zel-cli-ext-" + std::to_string(getpid()));
  fs::create_directories(dir);

  Child zel(ZEL_CLI_PATH, {"--device", path, "calibrate", "-o", (dir / "good.acal").string()});
  const std::pair<const char*, const char*> steps[] = {
      {"SHORT", "short"}, {"OPEN", "open"}, {"LOAD", "load"}};
  for (const auto& [asked, dut] : steps) {
    ASSERT_TRUE(zel.WaitFor(std::string("attach the ") + asked)) << zel.err;
    sim.Write(std::string("dut ") + dut + "\n");
    ASSERT_TRUE(sim.WaitFor(std::string("ok dut ") + dut));
    zel.Write("\n");
  }
  EXPECT_EQ(zel.Wait(), 0) << zel.err;
  EXPECT_NE(zel.err.find("calibration written to"), std::string::npos) << zel.err;
  EXPECT_EQ(zel.err.find("simulating"), std::string::npos);

  // Enter pressed three times without changing the standard: the check finds the file useless.
  ZelRun unchanged =
      RunZel({"--device", path, "calibrate", "-o", (dir / "same.acal").string()}, "\n\n\n");
  EXPECT_EQ(unchanged.status, 1);
  EXPECT_NE(unchanged.err.find("calibration check failed"), std::string::npos) << unchanged.err;
  EXPECT_FALSE(fs::exists(dir / "same.acal"));
  EXPECT_FALSE(fs::exists(dir / "same.acal.new"));

  // Nobody to press Enter: nothing is measured and no file appears.
  ZelRun no_answer = RunZel({"--device", path, "calibrate", "-o", (dir / "none.acal").string()});
  EXPECT_EQ(no_answer.status, 1);
  EXPECT_NE(no_answer.err.find("no answer on standard input"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "none.acal"));
  fs::remove_all(dir);
}

// The instrument goes away in the middle of a sweep: the points measured before are kept.
TEST(CliExternalInstrument, SilenceMidSweepStopsWithTheStatusAndKeepsTheMeasuredPoints) {
  Child sim(ZEL_SIM_PATH, {"--unplug-after", "30"});
  ASSERT_TRUE(sim.WaitFor("\n"));
  const std::string path = sim.out.substr(0, sim.out.find('\n'));
  fs::path csv = fs::temp_directory_path() / ("zel-cli-cut-" + std::to_string(getpid()) + ".csv");
  ZelRun run =
      RunZel({"--device", path, "sweep", "1", "30", "--points", "100", "-o", csv.string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("sweep stopped at"), std::string::npos) << run.err;
  // The retry of the point finds the line gone: nothing can be sent any more.
  EXPECT_NE(run.err.find("no detector record from the instrument (time-out); measuring it again"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("(34533): check that the adapter is still plugged in"), std::string::npos)
      << run.err;
  std::size_t rows = 0;
  for (const std::string& line : Lines(run.out))
    if (!line.empty() && line[0] != '#') ++rows;
  EXPECT_GT(rows, 0u);
  EXPECT_LT(rows, 100u);
  EXPECT_EQ(ReadCsv(csv).size(), rows);
  fs::remove(csv);
}
#endif

TEST(CliInterrupt, CtrlCEndsTheSweepAndWritesWhatWasMeasured) {
  fs::path dir = fs::temp_directory_path() / ("zel-cli-int-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const int requested = 50000;
  bool sent = false;
  ZelRun run = RunZel({"--dut", "r=50", "sweep", "1", "100", "--points", std::to_string(requested),
                       "-o", (dir / "part.csv").string()},
                      "", [&](pid_t pid, const std::string& out) {
                        // Interrupt once a few rows are out (the calibration is done by then).
                        if (!sent && std::count(out.begin(), out.end(), '\n') > 20) {
                          kill(pid, SIGINT);
                          sent = true;
                        }
                      });
  ASSERT_TRUE(sent);
  EXPECT_EQ(run.status, 130) << run.err;
  EXPECT_NE(run.err.find("interrupted"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("relay off, port closed"), std::string::npos) << run.err;
  int rows = 0;
  for (const std::string& line : Lines(run.out))
    if (!line.empty() && line[0] != '#') ++rows;
  std::vector<Sample> written = ReadCsv(dir / "part.csv");
  EXPECT_GE(rows, 20);
  EXPECT_LT(rows, requested);
  EXPECT_EQ(written.size(), static_cast<std::size_t>(rows));
  fs::remove_all(dir);
}

}  // namespace
