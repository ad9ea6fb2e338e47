// A 1000-point sweep through the library, on the real POSIX port, against the simulator paced at
// the link rate on a pseudo-terminal: how much longer it takes than the bytes on the wire need
// ((9 + 72) x 10 / baud a point on the standard model). The library's share is what it adds to
// the wire time: waiting on reads, writing commands, demodulating.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "ZEL_863_DLL.h"
#include "pty_server.h"
#include "simulator.h"

namespace {

void BM_PacedSweep1000(benchmark::State& st) {
  const int rate = static_cast<int>(st.range(0));
  zelsim::Config cfg = zelsim::DefaultConfig(zelsim::Model::kStandard);
  cfg.paced = true;
  zelsim::ParseDut("antenna:f0=14.2,r=50,q=10", &cfg.dut, nullptr);
  zelsim::Simulator sim(cfg);
  zelsim::PtyServer server(sim);
  std::string err;
  if (!server.Start(&err)) {
    st.SkipWithError(err.c_str());
    return;
  }
  setenv("ZEL_COM1", server.SlavePath().c_str(), 1);
  if (ZEL_CommPort(1, 1, rate) != ZEL_OK) {
    st.SkipWithError("port");
    return;
  }
  ZEL_InitVars(0);
  ZEL_GetSerialNum(0);
  double r = 0, x = 0;
  ZEL_ScanPoint(0, 1.0, &r, &x);  // the relay switch and its pause are not part of the sweep
  const int baud = rate > 100000 ? 115000 : 57600;
  const double wire_s = 1000.0 * (9 + 72) * 10 / baud;
  double ratio_sum = 0;
  for (auto _ : st) {
    auto t0 = std::chrono::steady_clock::now();
    int failures = 0;
    // 1..29 MHz: below the frequencies that are measured on both sides of a grid point.
    for (int i = 0; i < 1000; ++i) failures += ZEL_ScanPoint(0, 1.0 + 0.028 * i, &r, &x) != 0;
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (failures) st.SkipWithError("a point failed");
    ratio_sum += s / wire_s;
  }
  st.counters["wire_s"] = wire_s;
  st.counters["sim_baud"] = server.StateNow().baud;
  st.counters["ratio_to_wire"] = ratio_sum / static_cast<double>(st.iterations());
  ZEL_CommPort(0, 1, 0);
}
BENCHMARK(BM_PacedSweep1000)
    ->Arg(57600)
    ->Arg(115200)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
