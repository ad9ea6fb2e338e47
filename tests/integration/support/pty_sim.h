// The simulator on a real pseudo-terminal for integration tests: ZEL_COM<n> names a stable link
// to the slave, a guard descriptor keeps the slave open so the library's close and reopen never
// hang up the line (as Hamlib's emulator tests do), and the test reaches the running simulator
// under the server's lock.
#pragma once

#include <string>

#include "pty_server.h"
#include "simulator.h"

namespace zeltest {

class PtySim {
 public:
  explicit PtySim(zelsim::Config config = zelsim::DefaultConfig(zelsim::Model::kStandard),
                  int com = 1);
  ~PtySim();
  PtySim(const PtySim&) = delete;
  PtySim& operator=(const PtySim&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  // The path in ZEL_COM<n>: a link that follows the slave across Unplug/Replug.
  const std::string& path() const { return link_; }
  std::string slave_path() { return server_.SlavePath(); }
  int com() const { return com_; }

  template <class F>
  auto WithSim(F f) {
    return server_.WithSim(f);
  }
  zelsim::Counters counters() { return server_.CountersNow(); }
  zelsim::InstrumentState state() { return server_.StateNow(); }
  void SetDut(const zelsim::Dut& dut) { server_.SetDut(dut); }
  void SetDut(const std::string& dut_text);
  zelsim::PtyServer& server() { return server_; }

  void Unplug();
  bool Replug();

 private:
  void OpenGuard();
  zelsim::Simulator sim_;
  zelsim::PtyServer server_;
  int com_;
  int guard_ = -1;
  bool ok_ = false;
  std::string error_;
  std::string dir_;
  std::string link_;
};

}  // namespace zeltest
