// The library's own CPU per measured point, without the wait for the instrument: the fake
// platform with a peer that has the detector record ready the moment the frequency command is
// written. Covers the frequency command, the record read (72 one-byte reads), the demodulation and
// the raw impedance; a stepped point does all of it twice. The budget is 20 us a point.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <numbers>

#include "measure/point.h"
#include "platform/fake/fake_platform.h"
#include "state/defaults.h"
#include "state/state.h"

using zel::state;

namespace {

// Answers every frequency command with the same good long record.
class InstantPeer : public zel::platform::Peer {
 public:
  InstantPeer() {
    std::uint16_t words[35] = {0x1234, 0x0042};
    for (int i = 0; i < 16; ++i) {
      const double a = 2 * std::numbers::pi * i / 16;
      words[2 + i] = static_cast<std::uint16_t>(30000 + 1500 * std::sin(a + 0.7));
      words[18 + i] = static_cast<std::uint16_t>(30000 + 2000 * std::sin(a + 0.1));
    }
    std::uint32_t sum = 0;
    for (int k = 0; k < 35; ++k) {
      record_[2 * k] = static_cast<std::uint8_t>(words[k] >> 8);
      record_[2 * k + 1] = static_cast<std::uint8_t>(words[k] & 0xFF);
      sum += words[k];
    }
    record_[70] = static_cast<std::uint8_t>((sum >> 8) & 0xFF);
    record_[71] = static_cast<std::uint8_t>(sum & 0xFF);
  }
  void OnWrite(const std::uint8_t* bytes, int, std::uint64_t) override {
    if (bytes[0] == 'F' || bytes[0] == 'E') next_ = 0;
  }
  int NextByte(std::uint64_t) override { return next_ < 72 ? record_[next_++] : -1; }

 private:
  std::uint8_t record_[72] = {};
  int next_ = 72;
};

void MeasureRepeatedly(benchmark::State& st, double mhz, int scan_running) {
  InstantPeer peer;
  zel::platform::FakePlatform platform(&peer);
  zel::platform::ScopedPlatform scope(&platform);
  zel::ResetState();
  zel::InitDefaults();
  state.synth.DdsClockMHz = 400;
  state.ident.Rgen = 50.2;
  state.ident.Rref = 100.9;
  platform.OpenPort(1, &state.link.CommHandle);
  for (auto _ : st) {
    state.measure.ScanRunning = scan_running;
    state.synth.TestFreqMHz = mhz;
    zel::MeasurePoint(2);
    benchmark::DoNotOptimize(state.measure.Rs);
    platform.writes.clear();  // the fake keeps a log of every command
  }
  if (state.frame.StatusCode != 0 || platform.empty_reads != 0) st.SkipWithError("point failed");
}

void BM_PointSingle(benchmark::State& st) {
  MeasureRepeatedly(st, 10, 1);
}
BENCHMARK(BM_PointSingle);

void BM_PointStepped(benchmark::State& st) {
  MeasureRepeatedly(st, 50.01, 1);
}
BENCHMARK(BM_PointStepped);

}  // namespace

BENCHMARK_MAIN();
