// One instrument for one run of zel: the serial port through the library's port mapping, or the
// built-in simulator on a pseudo-terminal, identified and ready to measure. Closing switches the
// relay off and closes the port, whichever way the run ends.
#pragma once

#include <csignal>
#include <cstdint>
#include <memory>
#include <string>

#include "ZEL_863_DLL.h"

namespace zelhost {

// Exit statuses of the program.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the instrument or the library reported a failure
constexpr int kExitUsage = 2;    // the command line asks for something impossible
// A run ended by a signal ends with 128 + its number once the instrument is safe: 130 for
// Ctrl-C, 143 for SIGTERM, 129 for SIGHUP, 141 when the reader of stdout went away.
constexpr int kExitSignalBase = 128;

// The signal that asked the run to end (SIGINT, SIGTERM, SIGHUP), or 0; the measuring loops look
// at it between points. SIGPIPE is ignored: a closed stdout is seen by StdoutGone().
extern volatile std::sig_atomic_t g_interrupted;
// Installs the handlers: the first SIGINT, SIGTERM or SIGHUP sets g_interrupted, a second one
// ends the program at once.
void CatchSignals();
// Flushes stdout; true once a write found nobody reading (EPIPE), after which stdout stays silent.
bool StdoutGone();
// The exit status of a run that was asked to end: 128 + the signal.
int InterruptedStatus();

// Prints "zel: <context>: <what> (<code>): <advice>" on stderr and returns kExitFailure.
int Fail(const std::string& context, std::int32_t code);
// Prints "zel: <text>" on stderr and returns the status given.
int Complain(const std::string& text, int status = kExitFailure);

enum class LinkChoice {
  kAuto,  // the fast link when the controller offers it and the work pays for the switch
  kFast,  // 115000 baud from the open
  kSlow,  // 57600 baud
};

struct Target {
  int port = 0;        // --port N
  std::string device;  // --device PATH
  LinkChoice link = LinkChoice::kAuto;
  std::string sim_model = "standard";
  std::string sim_dut;  // empty: the built-in antenna
  double sim_rcal = 50;
  bool simulated() const { return port == 0 && device.empty(); }
};

// A simulated standard for calibration runs on the built-in simulator.
enum class Standard { kShort, kOpen, kLoad };

class BuiltinSim;

class Session {
 public:
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Starts the simulator when asked, opens the port and identifies the instrument (a failed
  // identification is tried again, on the automatic link at 115000 and then at 57600 baud). Returns
  // kExitOk or the exit status after a message.
  int Open(const Target& target);
  // Relay off, port closed, simulator stopped. Safe to call twice.
  void Close();

  // What the library found (ZEL_GetUnitInfo), read again after every change of the link.
  const ZEL_UnitInfo& unit() const { return unit_; }
  bool simulated() const { return sim_ != nullptr; }
  // "COM3 (/dev/ttyUSB0)", "/dev/ttyUSB0" or "the built-in simulator (/dev/pts/4)".
  std::string PortText() const;
  // Chooses the link's rate for work of this many points and says on stderr which it is.
  void ChooseLink(std::size_t points);
  // Built-in simulator only: the device under test becomes a standard, or back the user's device.
  void AttachStandard(Standard s);
  void AttachUserDut();
  // True when the model measures f_mhz (NaN is not measured).
  bool Covers(double f_mhz) const;
  // Checks a frequency against the model's range; prints a message when outside.
  bool InRange(double f_mhz, const char* what) const;

 private:
  bool Identify(int tries);
  int CheckModel();
  void ReadUnit();

  std::unique_ptr<BuiltinSim> sim_;
  int port_ = 0;
  bool open_ = false;
  std::string device_;  // the device asked for by --device or the simulator, "" for --port
  LinkChoice link_ = LinkChoice::kAuto;
  ZEL_UnitInfo unit_{};
};

}  // namespace zelhost
