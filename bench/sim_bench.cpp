// The simulator's own cost: CPU per frequency command unpaced (it must stay far below the
// library's cost per point), and the wire time per point when paced over a pseudo-terminal
// (it must match (command + record bytes) x 10 / baud).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "pty_server.h"
#include "simulator.h"

namespace {

void Drain(zelsim::Simulator& sim, std::size_t n) {
  std::size_t got = 0;
  while (got < n && sim.NextByte(1e9) >= 0) ++got;
  benchmark::DoNotOptimize(got);
}

void BM_SimFrequencyCommand(benchmark::State& state) {
  zelsim::Config cfg = zelsim::DefaultConfig(zelsim::Model::kStandard);
  zelsim::ParseDut("antenna:f0=14.2,r=50,q=10", &cfg.dut, nullptr);
  zelsim::Simulator sim(cfg);
  const std::string cmd = "F0916872B";  // 14.2 MHz at 400 MHz
  for (auto _ : state) {
    sim.Receive(reinterpret_cast<const std::uint8_t*>(cmd.data()), cmd.size(), 0);
    Drain(sim, 72);
  }
}
BENCHMARK(BM_SimFrequencyCommand);

void BM_SimUhfFrequencyCommand(benchmark::State& state) {
  zelsim::Simulator sim(zelsim::DefaultConfig(zelsim::Model::kUhf));
  // 700 MHz with multipliers 10 and 9, DeltaFreq 0.0005.
  std::string cmd = "E";
  cmd += static_cast<char>(0x54);
  cmd += static_cast<char>(0x55);
  cmd += "66666666";
  char w[16];
  double x2 = 700.0005 / 450;
  std::snprintf(w, sizeof w, "%08X", static_cast<unsigned>((2 - x2) * 4294967296.0 + 0.5));
  cmd += w;
  for (auto _ : state) {
    sim.Receive(reinterpret_cast<const std::uint8_t*>(cmd.data()), cmd.size(), 0);
    Drain(sim, 72);
  }
}
BENCHMARK(BM_SimUhfFrequencyCommand);

// One point over the pseudo-terminal, paced: the host writes the 9-byte command and reads the
// 72-byte record.
void BM_SimPacedPointOverPty(benchmark::State& state) {
  const int baud = static_cast<int>(state.range(0));
  zelsim::Config cfg = zelsim::DefaultConfig(zelsim::Model::kStandard);
  cfg.paced = true;
  zelsim::Simulator sim(cfg);
  zelsim::PtyServer server(sim);
  std::string err;
  if (!server.Start(&err)) {
    state.SkipWithError(err.c_str());
    return;
  }
  int fd = ::open(server.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::cfsetispeed(&t, baud == 57600 ? B57600 : B115200);
  ::cfsetospeed(&t, baud == 57600 ? B57600 : B115200);
  ::tcsetattr(fd, TCSANOW, &t);
  // The controller follows the host's line rate once it has seen bytes at it.
  ::write(fd, "J\x04", 2);
  ::usleep(20000);
  const std::string cmd = "F0916872B";
  auto point = [&] {
    unsigned char buf[128];
    [[maybe_unused]] ssize_t w = ::write(fd, cmd.data(), cmd.size());
    std::size_t got = 0;
    while (got < 72) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) got += static_cast<std::size_t>(n);
    }
  };
  // The pseudo-terminal's own round trip, unpaced, is the baseline the pacing adds to.
  auto set_paced = [&](bool paced) {
    server.WithSim([&](zelsim::Simulator& s) { return s.config().paced = paced; });
  };
  set_paced(false);
  const int kBaselinePoints = 50;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kBaselinePoints; ++i) point();
  double baseline_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() /
                      kBaselinePoints;
  set_paced(true);
  t0 = std::chrono::steady_clock::now();
  for (auto _ : state) point();
  double paced_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() /
                   static_cast<double>(state.iterations());
  ::close(fd);
  server.Stop();
  double wire_s = (9 + 72) * 10.0 / baud;
  state.counters["wire_ms"] = wire_s * 1e3;
  state.counters["baseline_ms"] = baseline_s * 1e3;
  // Time the pacing adds per point over the wire time it should add: 1.00 within 2 %.
  state.counters["pacing_ratio"] = (paced_s - baseline_s) / wire_s;
}
BENCHMARK(BM_SimPacedPointOverPty)
    ->Arg(57600)
    ->Arg(115200)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(100);

}  // namespace

BENCHMARK_MAIN();
