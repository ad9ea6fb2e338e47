#include "session.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ports.h"
#include "pty_server.h"
#include "simulator.h"
#include "status_text.h"

namespace zelhost {

volatile std::sig_atomic_t g_interrupted = 0;

namespace {

// The library maps COMn to the device named by ZEL_COM<n>; these two numbers are ours, chosen
// far above the ports a machine has so a user's own ZEL_COM settings are left alone.
constexpr int kSimPort = 98;
constexpr int kDevicePort = 99;
constexpr int kBaudNormal = 57600;
constexpr int kBaudFast = 115000;
// The switch to the fast link is a reopen of the port (about 0.3 s); each point saves about
// 7 ms of wire time at the double rate, so it pays from about 50 points on.
constexpr std::size_t kFastLinkMinPoints = 50;

// The built-in device under test: a dipole for 20 m, resonant near the middle of the band and
// a little below 50 ohms there, as a real one over ground is.
constexpr const char* kBuiltinDut = "antenna:f0=14.15,r=42,q=12";

// What the library gives back when the identification failed, whatever the cause.
constexpr const char* kIdentFailedText = "34506";

volatile std::sig_atomic_t g_stdout_gone = 0;

void OnSignal(int sig) {
  g_interrupted = sig;
  // A second signal of any of the three ends the program at once.
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGHUP, SIG_DFL);
}

// The library's notices (a wrong unit's flash, a bad RF voltage reply, a calibration file made
// for another range) reach the user as a line on stderr; a Yes/No question is asked on the
// terminal when there is one, and answered No otherwise.
int OnNotice(const char* title, const char* text, int yes_no) {
  std::string t = text ? text : "";
  for (std::size_t p; (p = t.find("\r\n")) != std::string::npos;) t.replace(p, 2, " / ");
  for (char& c : t)
    if (c == '\r' || c == '\n') c = ' ';
  std::fprintf(stderr, "zel: instrument notice [%s] %s\n", title ? title : "", t.c_str());
  if (!yes_no) return 0;
  if (!isatty(STDIN_FILENO)) {
    std::fprintf(stderr, "zel: answering No (no terminal to ask)\n");
    return 0;
  }
  std::fprintf(stderr, "zel: answer y/N: ");
  char line[64];
  if (!std::fgets(line, sizeof line, stdin)) return 0;
  return line[0] == 'y' || line[0] == 'Y';
}

}  // namespace

void CatchSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  // Interrupted system calls resume: the library's port reads carry on, and the loops that wait
  // for the user poll and look at the flag.
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  // A reader that went away (zel sweep | head) is seen as EPIPE on stdout.
  std::signal(SIGPIPE, SIG_IGN);
  // A file size limit (ulimit -f) fails the write, which is reported, instead of ending the run
  // with the instrument on.
  std::signal(SIGXFSZ, SIG_IGN);
}

bool StdoutGone() {
  if (g_stdout_gone) return true;
  if (std::fflush(stdout) != 0 && errno == EPIPE) g_stdout_gone = 1;
  return g_stdout_gone;
}

int InterruptedStatus() {
  if (g_interrupted) return kExitSignalBase + g_interrupted;
  return g_stdout_gone ? kExitSignalBase + SIGPIPE : kExitOk;
}

int Fail(const std::string& context, std::int32_t code) {
  std::fprintf(stderr, "zel: %s: %s\n", context.c_str(), StatusMessage(code).c_str());
  return kExitFailure;
}

int Complain(const std::string& text, int status) {
  std::fprintf(stderr, "zel: %s\n", text.c_str());
  return status;
}

class BuiltinSim {
 public:
  explicit BuiltinSim(const zelsim::Config& config) : sim(config), server(sim) {}
  zelsim::Simulator sim;
  zelsim::PtyServer server;
  zelsim::Dut user_dut;
};

Session::Session() = default;
Session::~Session() {
  Close();
}

int Session::Open(const Target& target) {
  ZEL_SetNoticeHandler(OnNotice);
  link_ = target.link;
  if (target.simulated()) {
    zelsim::Model model;
    if (!zelsim::ParseModel(target.sim_model, &model))
      return Complain("unknown simulator model '" + target.sim_model +
                          "': use lowrange, standard, uhf or power",
                      kExitUsage);
    zelsim::Config config = zelsim::DefaultConfig(model);
    std::string error;
    std::string dut_text = target.sim_dut.empty() ? kBuiltinDut : target.sim_dut;
    if (!zelsim::ParseDut(dut_text, &config.dut, &error))
      return Complain("--dut '" + dut_text + "': " + error, kExitUsage);
    config.rcal_ohms = target.sim_rcal;
    config.paced = false;
    sim_ = std::make_unique<BuiltinSim>(config);
    sim_->user_dut = config.dut;
    if (!sim_->server.Start(&error)) {
      sim_.reset();
      return Complain("cannot start the built-in simulator: " + error);
    }
    device_ = sim_->server.SlavePath();
    port_ = kSimPort;
    std::fprintf(
        stderr,
        "zel: simulating a %s analyzer (no --port or --device given); device under test %s\n",
        zelsim::ModelName(model), dut_text.c_str());
  } else if (!target.device.empty()) {
    device_ = target.device;
    port_ = kDevicePort;
  } else {
    port_ = target.port;
  }
  // --device and the simulator reach the library through its own port mapping.
  if (!device_.empty()) setenv(("ZEL_COM" + std::to_string(port_)).c_str(), device_.c_str(), 1);

  const int rate = link_ == LinkChoice::kFast ? kBaudFast : kBaudNormal;
  std::int32_t status = ZEL_CommPort(1, port_, rate);
  if (status != ZEL_OK) {
    // What zel can see of the device itself says more than the library's code.
    const char* mapped = std::getenv(("ZEL_COM" + std::to_string(port_)).c_str());
    std::string problem = mapped ? PortProblem(mapped) : "";
    if (!problem.empty()) return Complain("cannot open " + PortText() + ": " + problem);
    return Fail("cannot open " + PortText(), status);
  }
  open_ = true;
  ZEL_InitVars(0);
  if (Identify(1)) return CheckModel();
  // One more try: a reply lost on the line must not end the run. On the automatic link the try
  // is made at 115000 baud, as an earlier run may have left the controller on the fast link (the
  // "C" that moves it there does no harm when it is there already), then once more at 57600 for a
  // controller that has no fast link.
  if (link_ == LinkChoice::kAuto && !g_interrupted) {
    std::fprintf(stderr, "zel: no identification at 57600 baud; trying at 115000 baud\n");
    if (ZEL_CommPort(1, port_, kBaudFast) == ZEL_OK && Identify(1)) return CheckModel();
    if (!g_interrupted) std::fprintf(stderr, "zel: trying once more at 57600 baud\n");
    if (ZEL_CommPort(1, port_, kBaudNormal) == ZEL_OK && Identify(1)) return CheckModel();
  } else if (!g_interrupted) {
    std::fprintf(stderr, "zel: no identification from the instrument; trying once more\n");
    if (Identify(1)) return CheckModel();
  }
  if (g_interrupted) return InterruptedStatus();
  return Complain(PortText() + ": " + zelhost::StatusMessage(ZEL_ERR_NO_IDENT));
}

bool Session::Identify(int tries) {
  for (int i = 0; i < tries && !g_interrupted; ++i) {
    char* version = ZEL_GetVersion(0);
    std::string text = version ? version : kIdentFailedText;
    std::free(version);
    if (text == kIdentFailedText) continue;
    ReadUnit();
    if (unit_.identified) return true;
  }
  return false;
}

int Session::CheckModel() {
  if (unit_.model != ZEL_MODEL_UNKNOWN) return kExitOk;
  return Complain(PortText() + ": the identification names no model this program knows: \"" +
                  std::string(unit_.ident_text) + "\"");
}

void Session::ReadUnit() {
  ZEL_GetUnitInfo(&unit_);
}

void Session::ChooseLink(std::size_t points) {
  if (!open_) return;
  const char* why = "";
  if (link_ == LinkChoice::kAuto && unit_.max_baud == kBaudFast && points >= kFastLinkMinPoints &&
      unit_.baud_rate != kBaudFast) {
    if (ZEL_CommPort(1, port_, kBaudFast) == ZEL_OK)
      why = " (the controller offers it and the work is long; --slow keeps 57600)";
  } else if (link_ == LinkChoice::kAuto && unit_.baud_rate == kBaudFast) {
    why = " (the controller answered on it)";
  } else if (link_ == LinkChoice::kSlow) {
    why = " (--slow)";
  } else if (link_ == LinkChoice::kFast) {
    why = " (--fast)";
  } else if (unit_.max_baud != kBaudFast) {
    why = " (the controller offers no faster link)";
  }
  ReadUnit();
  std::fprintf(stderr, "zel: link at %d baud%s\n", unit_.baud_rate, why);
}

void Session::Close() {
  if (open_) {
    // The relay goes off whatever state the run left it in; the generator with it.
    ZEL_ProgRelay(0);
    ZEL_CommPort(0, port_, 0);
    open_ = false;
  }
  if (sim_) {
    sim_->server.Stop();
    sim_.reset();
  }
}

std::string Session::PortText() const {
  std::string device = unit_.device[0] ? std::string(unit_.device) : device_;
  if (sim_) return "the built-in simulator (" + device + ")";
  if (!device_.empty()) return device;
  return "COM" + std::to_string(port_) + (device.empty() ? "" : " (" + device + ")");
}

void Session::AttachStandard(Standard s) {
  if (!sim_) return;
  zelsim::Dut dut;
  std::string error;
  const char* dut_text = s == Standard::kShort ? "short" : s == Standard::kOpen ? "open" : "load";
  zelsim::ParseDut(dut_text, &dut, &error);
  sim_->server.SetDut(dut);
}

void Session::AttachUserDut() {
  if (sim_) sim_->server.SetDut(sim_->user_dut);
}

bool Session::Covers(double f_mhz) const {
  // Half a hertz of slack for frequencies typed as the range's edges.
  constexpr double kSlackMHz = 5e-7;
  return f_mhz >= unit_.min_freq_mhz - kSlackMHz && f_mhz <= unit_.max_freq_mhz + kSlackMHz;
}

bool Session::InRange(double f_mhz, const char* what) const {
  if (Covers(f_mhz)) return true;
  std::fprintf(stderr, "zel: %s %.6g MHz is outside the %s instrument's range %.6g to %.6g MHz\n",
               what, f_mhz, unit_.model_name, unit_.min_freq_mhz, unit_.max_freq_mhz);
  return false;
}

}  // namespace zelhost
