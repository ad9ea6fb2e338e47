#include "support/sim_peer.h"

#include <cstdlib>

#include "ZEL_863_DLL.h"
#include "state/state.h"

namespace zeltest {

void SimPeer::OnWrite(const std::uint8_t* bytes, int count, std::uint64_t now_ms) {
  if (unplugged_ || count <= 0) return;
  sim_.Receive(bytes, static_cast<std::size_t>(count), static_cast<double>(now_ms) / 1000);
  if (sim_.TakeUnplugRequest()) Unplug();
}

int SimPeer::NextByte(std::uint64_t now_ms) {
  if (unplugged_) return -1;
  return sim_.NextByte(static_cast<double>(now_ms) / 1000);
}

void SimPeer::Unplug() {
  unplugged_ = true;
  sim_.DropLine();
}

SimBench::SimBench(zelsim::Config config)
    : sim(std::move(config)), peer(sim), platform(&peer), scope(&platform) {
  zel::ResetState();
}

SimBench::~SimBench() {
  zel::ResetState();
}

std::string SimBench::Connect() {
  ZEL_CommPort(1, 1, 57600);
  ZEL_InitVars(0);
  char* v = ZEL_GetVersion(0);
  std::string text = v ? v : "";
  std::free(v);
  return text;
}

}  // namespace zeltest
