// The simulator on a pseudo-terminal: any host reaches it through the slave's path like a serial
// port (set ZEL_COM<n> to it). A background thread moves bytes between the master and the
// simulator, on the monotonic clock, so pacing and latency are real time.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simulator.h"

namespace zelsim {

class PtyServer {
 public:
  explicit PtyServer(Simulator& sim);
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Opens the pseudo-terminal (raw mode) and starts serving it.
  bool Start(std::string* error);
  std::string SlavePath() const;
  // A symbolic link at path to the slave; it follows the slave across Replug and is removed by
  // Unplug and Stop. It never replaces a file, a directory, a running simulator's link or any
  // other link that still leads somewhere: only nothing, or the dangling link a dead simulator
  // left to a pseudo-terminal that is gone. Refused, the path is left alone for good.
  bool LinkAt(const std::string& path, std::string* error = nullptr);
  // The cable is pulled: the master closes, the host's reads fail and the link path vanishes.
  void Unplug();
  // Plugged in again: a new pseudo-terminal behind the same link path.
  bool Replug(std::string* error = nullptr);
  bool Plugged() const;
  void Stop();

  // The simulator, used under the server's lock (the thread uses it meanwhile).
  template <class F>
  auto WithSim(F f) {
    std::lock_guard<std::mutex> lock(mu_);
    return f(sim_);
  }
  void SetDut(const Dut& dut);
  Counters CountersNow();
  InstrumentState StateNow();

 private:
  bool OpenPty(std::string* error);
  void ClosePty();
  bool Relink(std::string* error);
  void RemoveOwnLink();  // only while it still leads to our slave
  void Run();
  double Now() const;
  void Wake();

  Simulator& sim_;
  mutable std::mutex mu_;
  int master_ = -1;
  int guard_ = -1;  // our own slave descriptor: a host's close never hangs up the line
  int wake_[2] = {-1, -1};
  std::string slave_path_;
  std::string link_path_;
  std::vector<unsigned char> outbuf_;  // taken from the simulator, not yet written
  double last_write_s_ = -1;           // when reply bytes last went out (the chunks' clock)
  std::thread thread_;
  std::atomic<bool> stop_{false};
  double t0_ = 0;
};

}  // namespace zelsim
