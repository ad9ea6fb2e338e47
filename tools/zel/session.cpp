#include "session.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ZEL_863_DLL.h"
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

// The built-in device under test: a dipole for 20 m, resonant near the middle of the band and
// a little below 50 ohms there, as a real one over ground is.
constexpr const char* kBuiltinDut = "antenna:f0=14.15,r=42,q=12";

// What the library gives back when the identification failed, whatever the cause.
constexpr const char* kIdentFailedText = "34506";

void OnInterrupt(int) {
  g_interrupted = 1;
  std::signal(SIGINT, SIG_DFL);
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

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '?' || s.back() == '@' || s.back() == '\r' ||
                        s.back() == '\n' || s.back() == ' '))
    s.pop_back();
  return s;
}

}  // namespace

void CatchInterrupt() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  // Interrupted system calls resume: the library's port reads carry on, and the loops that wait
  // for the user poll and look at the flag.
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
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
  if (!device_.empty()) setenv(("ZEL_COM" + std::to_string(port_)).c_str(), device_.c_str(), 1);

  std::int32_t status = ZEL_CommPort(1, port_, target.fast ? kBaudFast : kBaudNormal);
  if (status != ZEL_OK) return Fail("cannot open " + PortText(), status);
  open_ = true;
  ZEL_InitVars(0);
  char* version = ZEL_GetVersion(0);
  std::string text = version ? version : kIdentFailedText;
  std::free(version);
  if (text == kIdentFailedText)
    return Complain(PortText() + ": " + zelhost::StatusMessage(ZEL_ERR_NO_IDENT) +
                    " (ZEL_GetVersion returned \"34506\")");
  unit_ = ParseUnitInfo(Trimmed(text));
  if (unit_.model == Model::kUnknown)
    return Complain(PortText() + ": the identification names no model this program knows: \"" +
                    unit_.text + "\"");
  return kExitOk;
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
  if (sim_) return "the built-in simulator (" + device_ + ")";
  if (!device_.empty()) return device_;
  // The device the library's port mapping names for COMn.
  const char* mapped = std::getenv(("ZEL_COM" + std::to_string(port_)).c_str());
  return "COM" + std::to_string(port_) + " (" +
         (mapped ? std::string(mapped) : "/dev/ttyS" + std::to_string(port_ - 1)) + ")";
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

bool Session::InRange(double f_mhz, const char* what) const {
  // Half a hertz of slack for frequencies typed as the range's edges.
  constexpr double kSlackMHz = 5e-7;
  if (f_mhz >= unit_.min_mhz - kSlackMHz && f_mhz <= unit_.max_mhz + kSlackMHz) return true;
  std::fprintf(stderr, "zel: %s %.6g MHz is outside the %s instrument's range %.6g to %.6g MHz\n",
               what, f_mhz, unit_.model_name.c_str(), unit_.min_mhz, unit_.max_mhz);
  return false;
}

}  // namespace zelhost
