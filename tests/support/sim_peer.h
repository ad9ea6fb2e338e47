// The simulator as the far end of the fake platform's port, on the virtual clock: unit tests run
// the library's routines against a physical instrument in-process, with no real time spent.
#pragma once

#include <cstdint>
#include <string>

#include "platform/fake/fake_platform.h"
#include "simulator.h"

namespace zeltest {

class SimPeer : public zel::platform::Peer {
 public:
  explicit SimPeer(zelsim::Simulator& sim) : sim_(sim) {}
  void OnWrite(const std::uint8_t* bytes, int count, std::uint64_t now_ms) override;
  int NextByte(std::uint64_t now_ms) override;
  void OnLine(int baud) override { sim_.HostLineRate(baud); }
  // The cable is pulled (also when the simulator's unplug fault fires): writes are lost and
  // reads stay empty until Replug.
  void Unplug();
  void Replug() { unplugged_ = false; }
  bool unplugged() const { return unplugged_; }

 private:
  zelsim::Simulator& sim_;
  bool unplugged_ = false;
};

// A fake platform wired to a simulator, installed for the fixture's life, with the library's
// state back at its load-time zeros.
struct SimBench {
  explicit SimBench(zelsim::Config config = zelsim::DefaultConfig(zelsim::Model::kStandard));
  ~SimBench();
  SimBench(const SimBench&) = delete;
  SimBench& operator=(const SimBench&) = delete;

  // ZEL_CommPort(1, 1, 57600), ZEL_InitVars(0), ZEL_GetVersion(0). Returns the version text.
  std::string Connect();
  double NowS() const { return static_cast<double>(platform.clock_ms) / 1000; }

  zelsim::Simulator sim;
  SimPeer peer;
  zel::platform::FakePlatform platform;
  zel::platform::ScopedPlatform scope;
};

}  // namespace zeltest
