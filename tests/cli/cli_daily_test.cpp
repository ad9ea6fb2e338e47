// zel in daily use: signals, safe files, retries, script output, the link rate and the presets,
// run as a user runs it on the built-in simulator and on zel-sim over a pseudo-terminal.

#include <grp.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli_support.h"
#include "ports.h"
#include "sweep_report.h"

namespace {

using namespace zelcli;

fs::path TestDir(const char* name) {
  fs::path d = fs::temp_directory_path() / (std::string(name) + "-" + std::to_string(getpid()));
  fs::remove_all(d);
  fs::create_directories(d);
  return d;
}

std::size_t TableRows(const std::string& out) {
  std::size_t rows = 0;
  for (const std::string& line : Lines(out))
    if (!line.empty() && line[0] != '#') ++rows;
  return rows;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// True when the text is one JSON document (Python's json module is the judge).
bool IsJson(const std::string& text, const fs::path& dir) {
  fs::path f = dir / "doc.json";
  std::ofstream(f) << text;
  std::string cmd = ZEL_SYSTEM_PYTHON " -c 'import json,sys; json.load(open(sys.argv[1]))' " +
                    f.string() + " 2>/dev/null";
  return std::system(cmd.c_str()) == 0;
}

TEST(CliSignals, TermAndHupEndASweepLikeCtrlCAndLeaveNoTemporaryFile) {
  fs::path dir = TestDir("zel-cli-sig");
  setenv("TMPDIR", dir.c_str(), 1);
  struct Case {
    int sig;
    int status;
  };
  for (const Case& c : {Case{SIGTERM, 143}, Case{SIGHUP, 129}}) {
    SCOPED_TRACE(c.sig);
    fs::path csv = dir / "part.csv";
    bool sent = false;
    ZelRun run =
        RunZel({"--dut", "r=50", "sweep", "1", "100", "--points", "50000", "-o", csv.string()}, "",
               [&](pid_t pid, const std::string& out) {
                 if (!sent && std::count(out.begin(), out.end(), '\n') > 10) {
                   kill(pid, c.sig);
                   sent = true;
                 }
               });
    ASSERT_TRUE(sent);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(Has(run.err, "relay off, port closed")) << run.err;
    EXPECT_EQ(ReadCsv(csv).size(), TableRows(run.out));
    for (const auto& e : fs::directory_iterator(dir))
      EXPECT_EQ(e.path().filename().string().rfind("zel-cal-", 0), std::string::npos) << e.path();
  }
  unsetenv("TMPDIR");
  fs::remove_all(dir);
}

TEST(CliSignals, AClosedStdoutStopsTheSweepQuietlyAndTheFilesAreWritten) {
  fs::path dir = TestDir("zel-cli-pipe");
  Child zel(ZEL_CLI_PATH, {"--dut", "r=50", "sweep", "1", "100", "--points", "50000", "-o",
                           (dir / "head.csv").string()});
  zel.CloseStdin();
  // "zel sweep | head -3" has its lines.
  while (zel.OutLines() < 3) ASSERT_TRUE(zel.Pump(100)) << zel.err;
  zel.CloseStdout();
  EXPECT_EQ(zel.Wait(), 128 + SIGPIPE) << zel.err;
  EXPECT_FALSE(Has(zel.err, "cannot")) << zel.err;
  EXPECT_FALSE(Has(zel.err, "interrupted")) << zel.err;
  std::size_t written = ReadCsv(dir / "head.csv").size();
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, 50000u);
  fs::remove_all(dir);
}

TEST(CliHold, EndsOnEndOfInputOrAfterTheSecondsGiven) {
  struct Case {
    std::vector<std::string> args;
    double min_s, max_s;
  };
  const Case cases[] = {
      {{"hold", "14"}, 0, 5},                    // end of input is Enter
      {{"hold", "14", "--seconds", "0"}, 0, 5},  // on and off again
      {{"hold", "14", "--seconds", "2"}, 2, 8},  // --seconds outlasts the end of input
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    auto t0 = std::chrono::steady_clock::now();
    ZelRun run = RunZel(c.args);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.err, "generator off")) << run.err;
    // The identification alone takes about 1.3 s.
    EXPECT_GE(s, c.min_s);
    EXPECT_LT(s, c.max_s);
  }
}

// Script output on stdout, for each command that measures or reports.
TEST(CliFormats, StdoutCarriesTheFormatAsked) {
  fs::path dir = TestDir("zel-cli-fmt");
  const std::vector<std::string> sweep = {"sweep", "13", "15", "--points", "4"};
  auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> a = sweep;
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool json;
    std::vector<std::string> says;
  };
  const Case cases[] = {
      {"sweep json",
       with({"--format", "json"}),
       true,
       {"\"provenance\": {\"instrument\": {\"model\": \"standard\", \"serial\": \"12345\"",
        "\"values\": \"corrected\"", "\"frequency_mhz\": 15", "\"min_swr\""}},
      {"sweep csv",
       with({"--format", "csv"}),
       false,
       {"frequency_mhz,r_ohm,x_ohm,z_abs_ohm,swr,return_loss_db\n13.000000,"}},
      {"sweep touchstone to stdout",
       with({"-o", "-"}),
       false,
       {"! ZEL standard analyzer, built-in simulator, corrected by a calibration made for this "
        "run\n",
        "! instrument: standard serial 12345 firmware 5.12\n", "! values: corrected\n",
        "! averaging: 1\n", "! tool: zel ", "# MHZ S RI R 50\n13.000000000 "}},
      {"sweep json to stdout", with({"--format", "json", "-o", "-"}), true, {"\"points\""}},
      {"point json", {"point", "14", "--format", "json"}, true, {"\"point\": {\"frequency_mhz\""}},
      {"point csv", {"point", "14", "--format", "csv"}, false, {"frequency_mhz,", "\n14.000000,"}},
      {"info json",
       {"--sim", "uhf", "info", "--format", "json"},
       true,
       {"\"model\": \"UHF\"", "\"max_freq_mhz\": 1000", "\"latency_timer_ms\": null"}},
      {"sensors json",
       {"--sim", "power", "sensors", "--format", "json"},
       true,
       {"\"rf_voltage_v_peak\": ", "\"temperature_c\": "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZelRun run = RunZel(c.args);
    EXPECT_EQ(run.status, 0) << run.err;
    if (c.json) {
      EXPECT_TRUE(IsJson(run.out, dir)) << run.out;
    }
    EXPECT_FALSE(Has(run.out, "# lowest SWR")) << "no table beside a script format";
    for (const std::string& text : c.says) EXPECT_TRUE(Has(run.out, text)) << run.out;
  }
  fs::remove_all(dir);
}

// The adapter's latency timer as sysfs shows it, on a folder laid out as /sys is; the advice to
// lower it appears only above 1 ms.
TEST(CliPorts, LatencyTimerIsReadFromSysfsAndAdvisedAboveOneMs) {
  fs::path sys = TestDir("zel-cli-sysfs");
  auto adapter = [&](const char* tty, const char* latency) {
    fs::path dev = sys / "class/tty" / tty / "device";
    fs::create_directories(dev);
    if (latency) std::ofstream(dev / "latency_timer") << latency;
  };
  adapter("ttyUSB0", "16\n");
  adapter("ttyUSB1", "1\n");
  adapter("ttyACM0", nullptr);  // a CDC-ACM port has no timer
  adapter("ttyUSB2", "garbage\n");
  struct Case {
    const char* device;
    int ms;
    bool advice;
  };
  const Case cases[] = {{"/dev/ttyUSB0", 16, true},  {"/dev/ttyUSB1", 1, false},
                        {"/dev/ttyACM0", -1, false}, {"/dev/ttyUSB2", -1, false},
                        {"/dev/ttyUSB9", -1, false}, {"", -1, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    int ms = zelhost::LatencyTimerMs(c.device, sys.string());
    EXPECT_EQ(ms, c.ms);
    if (ms < 0) continue;
    std::string text = zelhost::LatencyText(ms);
    EXPECT_EQ(text.rfind(std::to_string(c.ms) + " ms", 0), 0u) << text;
    EXPECT_EQ(Has(text, "docs/USB-ADAPTERS.md"), c.advice) << text;
  }
  fs::remove_all(sys);
}

// A file's kind by its extension, in any case.
TEST(CliFiles, TheKindOfAFileComesFromItsExtensionInAnyCase) {
  using zelhost::FileKind;
  const std::pair<const char*, FileKind> cases[] = {
      {"a.s1p", FileKind::kTouchstone}, {"dir.v2/A.S1P", FileKind::kTouchstone},
      {"b.Csv", FileKind::kCsv},        {"c.JSON", FileKind::kJson},
      {"d.txt", FileKind::kNone},       {"s1p", FileKind::kNone}};
  for (const auto& [path, kind] : cases) EXPECT_EQ(zelhost::KindOfPath(path), kind) << path;
}

// An open reads as an open in the table; the file keeps the numbers.
TEST(CliFormats, AnOpenReadsAsSuchInTheTableAndAsNumbersInTheFile) {
  fs::path dir = TestDir("zel-cli-open");
  ZelRun run =
      RunZel({"--dut", "open", "sweep", "1", "3", "--points", "3", "-o", (dir / "o.csv").string()});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const std::string& line : Lines(run.out)) {
    if (line.empty()) continue;
    if (line[0] != '#') {
      EXPECT_TRUE(Has(line, " open ")) << line;
      EXPECT_TRUE(Has(line, " >100 ")) << line;
    }
  }
  EXPECT_TRUE(Has(run.out, "# lowest SWR >100 at")) << run.out;
  std::vector<Sample> csv = ReadCsv(dir / "o.csv");
  ASSERT_EQ(csv.size(), 3u);
  for (const Sample& s : csv) EXPECT_GT(std::abs(s.z), 1000);
  fs::remove_all(dir);
}

// What zel says about its choices, and the lists it prints without an instrument.
TEST(CliMessages, SayWhichLinkBandAndProgress) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> err_says, out_says;
  };
  const Case cases[] = {
      {"a long sweep takes the fast link",
       {"sweep", "1", "2", "--points", "200"},
       {"link at 115000 baud"},
       {}},
      {"--slow keeps the slow one",
       {"--slow", "sweep", "1", "2", "--points", "200"},
       {"link at 57600 baud (--slow)"},
       {}},
      {"a controller without the fast link",
       {"--sim", "uhf", "sweep", "1", "2", "--points", "200"},
       {"link at 57600 baud (the controller offers no faster link)"},
       {}},
      {"info stays on the slow link", {"info"}, {}, {"link             57600 baud"}},
      {"a band preset with its margin",
       {"sweep", "--band", "40M", "--points", "3"},
       {"40m band: 6.9700 to 7.3300 MHz"},
       {"6.970000", "7.150000", "7.330000"}},
      {"progress when asked",
       {"--progress", "sweep", "1", "2", "--points", "300"},
       {"sweeping 300/300 points, ", " pts/s, 0:00 left"},
       {}},
      {"the versions", {"--version"}, {}, {"zel " ZEL_TOOL_VERSION ", library ZEL_863_DLL "}},
      {"the band list", {"bands"}, {}, {"160m", "40m", "70cm"}},
      {"the port list", {"ports"}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZelRun run = RunZel(c.args);
    EXPECT_EQ(run.status, 0) << run.err;
    for (const std::string& text : c.err_says) EXPECT_TRUE(Has(run.err, text)) << run.err;
    for (const std::string& text : c.out_says) EXPECT_TRUE(Has(run.out, text)) << run.out;
  }
}

// The UHF unit keeps its date code in flash: info and calibrate name the same unit.
TEST(CliUhf, InfoAndCalibrateAgreeOnTheSerialNumber) {
  fs::path dir = TestDir("zel-cli-uhf");
  ZelRun info = RunZel({"--sim", "uhf", "info"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_TRUE(Has(info.out, "(from the flash date code)")) << info.out;
  EXPECT_TRUE(Has(info.out, "flash date code  programmed by this run")) << info.out;
  ZelRun cal = RunZel({"--sim", "uhf", "calibrate", "-o", (dir / "uhf.acal").string()});
  ASSERT_EQ(cal.status, 0) << cal.err;
  EXPECT_FALSE(Has(cal.err, "no serial number")) << cal.err;
  EXPECT_TRUE(Has(cal.err, "for the unit with serial number ")) << cal.err;
  // The format number, then the line with the unit's identification.
  std::vector<std::string> lines = Lines(Slurp(dir / "uhf.acal"));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_TRUE(Has(lines[1], "_ID=")) << lines[1];
  EXPECT_FALSE(Has(lines[1], "_ID= ")) << "an ID, not an empty one: " << lines[1];
  fs::remove_all(dir);
}

// A disk that fills up while the file is written (a file size limit stands in for it): the
// previous file stays as it was, and nothing else is left in the folder.
TEST(CliFiles, AWriteThatFailsLeavesThePreviousFileUntouched) {
  fs::path dir = TestDir("zel-cli-full");
  ZelRun cal = RunZel({"calibrate", "-o", (dir / "unit.acal").string()});
  ASSERT_EQ(cal.status, 0) << cal.err;
  const std::string before = "the previous sweep\n";
  std::ofstream(dir / "keep.csv") << before;
  // dash counts the limit in 512-byte blocks: 2 KiB, a fifth of this sweep's CSV.
  std::string cmd = "ulimit -f 4; exec " ZEL_CLI_PATH " sweep 1 30 --points 300 --cal " +
                    (dir / "unit.acal").string() + " -o " + (dir / "keep.csv").string();
  Child zel("/bin/sh", {"-c", cmd});
  zel.CloseStdin();
  EXPECT_EQ(zel.Wait(), 1) << zel.err;
  EXPECT_TRUE(Has(zel.err, "cannot write")) << zel.err;
  EXPECT_TRUE(Has(zel.err, "the previous file is untouched")) << zel.err;
  EXPECT_EQ(Slurp(dir / "keep.csv"), before);
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++files;
  EXPECT_EQ(files, 2u) << "the calibration and the untouched CSV, no temporary file";
  fs::remove_all(dir);
}

#ifdef ZEL_SIM_PATH
// zel-sim on its pseudo-terminal, with its control lines on stdin.
class ZelSim {
 public:
  explicit ZelSim(std::vector<std::string> args) : child_(ZEL_SIM_PATH, args) {
    if (child_.WaitFor("\n")) path_ = child_.out.substr(0, child_.out.find('\n'));
  }
  const std::string& path() const { return path_; }
  void Control(const std::string& line) { child_.Write(line + "\n"); }
  // The simulator's counters and state, "zel-sim: commands 12 ... relay 0 ..." on its stderr.
  std::string Status() {
    child_.err.clear();
    Control("status");
    // The whole line: its last field, the device under test, ends it.
    auto complete = [&] {
      std::size_t p = child_.err.find("commands ");
      return p != std::string::npos && child_.err.find('\n', p) != std::string::npos;
    };
    for (int waited = 0; waited < 5000 && !complete(); waited += 10) child_.Pump(10);
    return child_.err;
  }

 private:
  Child child_;
  std::string path_;
};

TEST(CliSignals, TermAndHupEndAHoldWithTheGeneratorAndRelayOff) {
  for (int sig : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    ZelSim sim({});
    ASSERT_FALSE(sim.path().empty());
    Child zel(ZEL_CLI_PATH, {"--device", sim.path(), "hold", "14"});
    ASSERT_TRUE(zel.WaitFor("generator on")) << zel.err;
    std::string holding = sim.Status();
    EXPECT_TRUE(Has(holding, "relay ")) << holding;
    EXPECT_FALSE(Has(holding, "relay 0 ")) << "the hold has the relay on: " << holding;
    kill(zel.pid(), sig);
    EXPECT_EQ(zel.Wait(), 128 + sig) << zel.err;
    EXPECT_TRUE(Has(zel.err, "generator off")) << zel.err;
    std::string after = sim.Status();
    EXPECT_TRUE(Has(after, "relay 0 ")) << after;
  }
}

TEST(CliFiles, ASweepThatFailsAtItsFirstPointLeavesThePreviousFilesUntouched) {
  fs::path dir = TestDir("zel-cli-keep");
  const std::string before = "the previous sweep\n";
  for (const char* name : {"keep.csv", "keep.s1p"}) std::ofstream(dir / name) << before;
  // The port goes away after the identification: the first point gets no record.
  ZelSim sim({"--unplug-after", "3"});
  ZelRun run = RunZel({"--device", sim.path(), "sweep", "1", "2", "--points", "3", "-o",
                       (dir / "keep.csv").string(), "-o", (dir / "keep.s1p").string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Has(run.err, "left as it was")) << run.err;
  std::size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    ++files;
    EXPECT_EQ(Slurp(e.path()), before) << e.path();
  }
  EXPECT_EQ(files, 2u) << "no temporary file left behind";
  fs::remove_all(dir);
}

TEST(CliRetries, AWithheldReplyCostsARetryNotTheSweep) {
  struct Case {
    std::vector<std::string> retries;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {{}, 0, "measuring it again (1 of 1)"},
      {{"--retries", "0"}, 1, "sweep stopped at"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    // Paced at the line's rate: the fault lands while the sweep still has a second to go.
    ZelSim sim({"--paced"});
    std::vector<std::string> args = {"--device", sim.path(), "--slow"};
    args.insert(args.end(), c.retries.begin(), c.retries.end());
    for (const char* a : {"sweep", "1", "30", "--points", "100"}) args.push_back(a);
    bool faulted = false;
    ZelRun run = RunZel(args, "", [&](pid_t, const std::string& out) {
      if (!faulted && std::count(out.begin(), out.end(), '\n') > 10) {
        sim.Control("fault silent 1");
        faulted = true;
      }
    });
    ASSERT_TRUE(faulted);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(Has(run.err, c.says)) << run.err;
    if (c.status == 0) {
      EXPECT_EQ(TableRows(run.out), 100u);
    }
  }
}

TEST(CliRetries, ALostIdentificationIsAskedForOnceMore) {
  struct Case {
    const char* link;
    const char* says;
  };
  // On the automatic link the second try is at the fast rate, where an earlier run may have left
  // the controller.
  const Case cases[] = {{"--slow", "trying once more"}, {"", "trying at 115000"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link);
    ZelSim sim({"--silent", "1"});
    std::vector<std::string> args = {"--device", sim.path(), "info"};
    if (*c.link) args.insert(args.begin(), c.link);
    ZelRun run = RunZel(args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.err, c.says)) << run.err;
    EXPECT_TRUE(Has(run.out, "model            standard")) << run.out;
  }
}
#endif

}  // namespace

// A user who may not open the port is told what would let them: joining the device's group, when
// the group may read and write it, else nothing short of its owner. Run as another user (nobody)
// on pseudo-terminals whose mode and group the test sets; needs root to do that.
TEST(CliPorts, APortThisUserMayNotOpenSaysWhatWouldLetThem) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "needs root and setpriv to run zel as another user";
  const group* dialout = getgrnam("dialout");
  if (dialout == nullptr) GTEST_SKIP() << "no dialout group";
  const gid_t gid = dialout->gr_gid;
  struct Case {
    const char* name;
    mode_t mode;
    gid_t gid;
    const char* says;
  } cases[] = {
      {"group may read and write", 0660, gid,
       "belongs to the group 'dialout'; join it with 'sudo "
       "usermod -aG dialout nobody'"},
      {"owner only", 0600, gid, "only its owner (root) may open it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    ASSERT_EQ(chown(name, 0, c.gid), 0);
    ASSERT_EQ(chmod(name, c.mode), 0);
    Child zel("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", ZEL_CLI_PATH,
                                   "--device", name, "info"});
    zel.CloseStdin();
    const int status = zel.Wait();
    close(slave);
    close(master);
    if (status == 127 || zel.err.find("Permission denied") != std::string::npos)
      GTEST_SKIP() << "nobody cannot run this build of zel: " << zel.err;
    EXPECT_EQ(status, 1) << zel.err;
    EXPECT_NE(zel.err.find("cannot open"), std::string::npos) << zel.err;
    EXPECT_NE(zel.err.find(c.says), std::string::npos) << zel.err;
  }
}
