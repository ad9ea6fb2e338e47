// Loading calibration files: the largest custom file the calibration procedure makes (30,000 grid
// points, three blocks of 30,003 records: 3.95 MB with the frequency labels of a fine grid, 3.1 MB
// with whole-MHz labels) and a standard file of the UHF range.
//
// ZEL_CAL_BENCH_KEEP=PATH writes the custom file to PATH and keeps it, so that another program
// can time its own reading of the same lines (bench/cal_load_vs_numpy.py does, with numpy).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ZEL_863_DLL.h"
#include "cal/cal_loader.h"
#include "cal/cal_writer.h"
#include "platform/fake/fake_platform.h"
#include "state/defaults.h"
#include "state/state.h"
#include "state/text.h"

namespace {

using zel::state;

// The file of BM_LoadCustom30000 goes here when ZEL_CAL_BENCH_KEEP names a path.
const char* KeepPath() {
  const char* keep = std::getenv("ZEL_CAL_BENCH_KEEP");
  return keep && *keep ? keep : nullptr;
}

// Writes a file with the calibration writer and returns its path. A custom grid of step_mhz
// labels its records with the frequency in ten decimals (" 1.2322000000"); a grid of whole MHz
// with whole numbers, which makes shorter lines.
std::string MakeFile(bool custom, int points, double step_mhz, const char* keep) {
  std::vector<double> v[6];
  for (int a = 0; a < 6; ++a) {
    v[a].resize(static_cast<std::size_t>(points));
    for (int i = 0; i < points; ++i)
      v[a][static_cast<std::size_t>(i)] = 50.0 + a * 17.3 + i * 0.0137;
  }
  ZEL_CalSpec desc{};
  desc.rcal_ohms = 50;
  desc.max_freq_mhz = custom ? 1000 : points - 3;
  desc.temperature_f = 72;
  desc.custom = custom ? 1 : 0;
  desc.points = points;
  desc.start_mhz = step_mhz == 1 ? 1 : 0.1;
  desc.step_mhz = step_mhz;
  desc.end_mhz = desc.start_mhz + (points - 3) * step_mhz;
  desc.unit_id = "123456";
  desc.date_time = "03-15-2012  09:30:45";
  const std::string path =
      keep ? std::string(keep)
           : "/tmp/zel_cal_bench_" + std::to_string(::getpid()) + (custom ? ".ccal" : ".acal");
  const zel::CalWriterTables t{v[0].data(), v[1].data(), v[2].data(),
                               v[3].data(), v[4].data(), v[5].data()};
  if (zel::WriteCalFile(path.c_str(), desc, t, 0) != 0) std::abort();
  return path;
}

void Load(benchmark::State& bs, bool custom, int points, double step_mhz, const char* keep) {
  zel::platform::FakePlatform platform;
  zel::platform::ScopedPlatform scope(&platform);
  const std::string path = MakeFile(custom, points, step_mhz, keep);
  zel::ResetState();
  zel::InitDefaults();
  state.synth.MaxFreqMHz = custom ? 1000 : points - 3;
  zel::SetText(state.cal.CalFilePath, path);
  state.frame.InExportCall = 1;
  for (auto _ : bs) {
    zel::ReadCalFile();
    if (state.frame.StatusCode != 0 || state.cal.CalLoaded != 1) bs.SkipWithError("load failed");
    benchmark::DoNotOptimize(state.cal.CalLoadRe[points - 1]);
  }
  bs.SetItemsProcessed(bs.iterations() * 3 * points);  // record lines
  if (!keep) std::remove(path.c_str());
}

void BM_LoadCustom30000(benchmark::State& bs) {
  Load(bs, true, 30003, 0.0333, KeepPath());
}
void BM_LoadCustom30000WholeMHz(benchmark::State& bs) {
  Load(bs, true, 30003, 1, nullptr);
}
void BM_LoadStandard1000MHz(benchmark::State& bs) {
  Load(bs, false, 1003, 1, nullptr);
}

BENCHMARK(BM_LoadCustom30000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly();
BENCHMARK(BM_LoadCustom30000WholeMHz)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly();
BENCHMARK(BM_LoadStandard1000MHz)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
