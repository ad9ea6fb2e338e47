// One instrument for one run of zel: the serial port through the library's port mapping, or the
// built-in simulator on a pseudo-terminal, identified and ready to measure. Closing switches the
// relay off and closes the port, whichever way the run ends.
#pragma once

#include <csignal>
#include <cstdint>
#include <memory>
#include <string>

#include "unit_info.h"

namespace zelhost {

// Exit statuses of the program.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;        // the instrument or the library reported a failure
constexpr int kExitUsage = 2;          // the command line asks for something impossible
constexpr int kExitInterrupted = 130;  // Ctrl-C: the work was ended cleanly

// Set by SIGINT (Ctrl-C); the measuring loops look at it between points.
extern volatile std::sig_atomic_t g_interrupted;
// Ctrl-C sets g_interrupted; a second Ctrl-C ends the program at once.
void CatchInterrupt();

// Prints "zel: <context>: <what> (<code>): <advice>" on stderr and returns kExitFailure.
int Fail(const std::string& context, std::int32_t code);
// Prints "zel: <text>" on stderr and returns the status given.
int Complain(const std::string& text, int status = kExitFailure);

struct Target {
  int port = 0;        // --port N
  std::string device;  // --device PATH
  bool fast = false;   // 115000-baud link
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

  // Starts the simulator when asked, opens the port and identifies the instrument. Returns
  // kExitOk or the exit status after a message.
  int Open(const Target& target);
  // Relay off, port closed, simulator stopped. Safe to call twice.
  void Close();

  const UnitInfo& unit() const { return unit_; }
  bool simulated() const { return sim_ != nullptr; }
  std::string PortText() const;  // "COM3 (/dev/ttyUSB0)" or "the built-in simulator"
  // Built-in simulator only: the device under test becomes a standard, or back the user's device.
  void AttachStandard(Standard s);
  void AttachUserDut();
  // Checks a frequency against the model's range; prints a message when outside.
  bool InRange(double f_mhz, const char* what) const;

 private:
  std::unique_ptr<BuiltinSim> sim_;
  int port_ = 0;
  bool open_ = false;
  std::string device_;
  UnitInfo unit_;
};

}  // namespace zelhost
