// Calibration end to end against the simulated instrument: measure its short, open and load
// standards uncorrected, write the file with the exported writer, load it, and measure known
// devices corrected. The simulator's bridge errors make the raw readings wrong by several percent;
// the corrected ones must come within 1 % of the true impedance.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <filesystem>
#include <string>
#include <vector>

#include "ZEL_863_DLL.h"
#include "state/state.h"

#ifdef ZEL_HAVE_SIM
#include "support/sim_peer.h"

namespace {

using cd = std::complex<double>;

zelsim::Dut MakeDut(const std::string& text) {
  zelsim::Dut dut;
  std::string error;
  EXPECT_TRUE(zelsim::ParseDut(text, &dut, &error)) << text << ": " << error;
  return dut;
}

// The calibration run of the host tools: every grid point on each standard, in mode 0.
struct Sweep {
  std::vector<double> re[3], im[3];  // short, open, load
};

Sweep MeasureStandards(zeltest::SimBench& bench, const std::vector<double>& grid) {
  Sweep s;
  const char* standards[3] = {"short", "open", "load"};
  for (int k = 0; k < 3; ++k) {
    bench.sim.SetDut(MakeDut(standards[k]));
    s.re[k].resize(grid.size());
    s.im[k].resize(grid.size());
    for (std::size_t i = 0; i < grid.size(); ++i) {
      EXPECT_EQ(ZEL_ScanPoint(0, grid[i], &s.re[k][i], &s.im[k][i]), 0) << grid[i];
    }
  }
  return s;
}

std::string TempPath(const char* name) {
  return (std::filesystem::path(::testing::TempDir()) /
          (std::string(name) + "_" + std::to_string(::getpid())))
      .string();
}

struct DutCase {
  const char* dut;
  double f_mhz;
};

// Measures each device corrected and uncorrected; returns the largest raw error seen.
double ExpectCorrectedWithinOnePercent(zeltest::SimBench& bench,
                                       const std::vector<DutCase>& cases) {
  double worst_raw = 0;
  for (const auto& c : cases) {
    bench.sim.SetDut(MakeDut(c.dut));
    const cd truth = bench.sim.TrueImpedance(c.f_mhz);
    double r = 0, x = 0;
    EXPECT_EQ(ZEL_ScanPoint(1, c.f_mhz, &r, &x), 0) << c.dut << " at " << c.f_mhz;
    const double err = std::abs(cd(r, x) - truth) / std::abs(truth);
    EXPECT_LT(err, 0.01) << c.dut << " at " << c.f_mhz << ": " << cd(r, x) << " vs " << truth;
    EXPECT_EQ(ZEL_ScanPoint(0, c.f_mhz, &r, &x), 0);
    worst_raw = std::max(worst_raw, std::abs(cd(r, x) - truth) / std::abs(truth));
  }
  return worst_raw;
}

const std::vector<DutCase> kHfDevices = {
    {"r=50,x=10", 3.7},
    {"r=50,x=10", 14.2},
    {"r=200,x=-100", 28.5},
    {"r=12.5,x=30", 50.3},
    {"series:r=20,l=1u", 7.05},
    {"parallel:r=300,c=20p", 21.1},
    {"antenna:f0=14.2,r=50,q=10", 14.0},
    {"r=75,x=0", 144.3},
    {"r=25,x=-40", 175.5},
};

TEST(CalEndToEnd, StandardCalibrationCorrectsTheStandardModel) {
  zeltest::SimBench bench;
  bench.Connect();
  ASSERT_EQ(ZEL_AvgReadings(16), 0);
  const int max_freq = 180;  // the standard model
  std::vector<double> grid;
  for (int i = 0; i < max_freq + 3; ++i) grid.push_back(i);
  const Sweep s = MeasureStandards(bench, grid);

  ZEL_CalSpec desc{};
  desc.rcal_ohms = 50;
  desc.temperature_f = 72;
  desc.comment = "end to end";
  desc.from_mode0 = 1;  // unit id, maximum frequency and Rgen from the identification
  const std::string path = TempPath("cal_e2e_standard.acal");
  ASSERT_EQ(ZEL_WriteCalFile(path.c_str(), &desc, s.re[0].data(), s.im[0].data(), s.re[1].data(),
                             s.im[1].data(), s.re[2].data(), s.im[2].data()),
            0);
  ASSERT_EQ(ZEL_LoadCalFile(path.c_str()), 0);
  const double worst_raw = ExpectCorrectedWithinOnePercent(bench, kHfDevices);
  EXPECT_GT(worst_raw, 0.05) << "the raw readings must be visibly wrong for this to show much";
  std::filesystem::remove(path);
}

TEST(CalEndToEnd, StandardCalibrationOfTheUhfModelHoldsAtItsBandEdges) {
  zeltest::SimBench bench(zelsim::DefaultConfig(zelsim::Model::kUhf));
  bench.Connect();
  ASSERT_EQ(ZEL_AvgReadings(16), 0);
  std::vector<double> grid;
  for (int i = 0; i < 1000 + 3; ++i) grid.push_back(i);
  const Sweep s = MeasureStandards(bench, grid);

  ZEL_CalSpec desc{};
  desc.rcal_ohms = 50;
  desc.temperature_f = 72;
  desc.uhf = 1;  // segments, band edges and level of the identified controller
  desc.from_mode0 = 1;
  const std::string path = TempPath("cal_e2e_uhf.acal");
  ASSERT_EQ(ZEL_WriteCalFile(path.c_str(), &desc, s.re[0].data(), s.im[0].data(), s.re[1].data(),
                             s.im[1].data(), s.re[2].data(), s.im[2].data()),
            0);
  ASSERT_EQ(ZEL_LoadCalFile(path.c_str()), 0);
  // The multipliers change at 605, 840, 890, 945 and 955 MHz: just below an edge the entries
  // below it are extrapolated, just above it the pair above is used.
  ExpectCorrectedWithinOnePercent(bench, {{"r=50,x=10", 146.3},
                                          {"r=50,x=10", 604.6},
                                          {"r=200,x=-100", 605.2},
                                          {"r=25,x=20", 839.8},
                                          {"r=50,x=-30", 889.5},
                                          {"r=100,x=0", 950.5},
                                          {"r=75,x=25", 998.5}});
  std::filesystem::remove(path);
}

TEST(CalEndToEnd, CustomCalibrationCorrectsBetweenItsGridPoints) {
  zeltest::SimBench bench;
  bench.Connect();
  ASSERT_EQ(ZEL_AvgReadings(16), 0);
  const int n = 43;
  const double start = 10, step = 0.25;  // 9.5 .. 20.25 MHz
  std::vector<double> grid;
  for (int i = 0; i < n; ++i) grid.push_back(start + (i - 2) * step);
  const Sweep s = MeasureStandards(bench, grid);

  ZEL_CalSpec desc{};
  desc.rcal_ohms = 50;
  desc.temperature_f = 72;
  desc.custom = 1;
  desc.points = n;
  desc.start_mhz = start;
  desc.step_mhz = step;
  desc.end_mhz = start + (n - 3) * step;
  desc.from_mode0 = 1;
  const std::string path = TempPath("cal_e2e_custom.ccal");
  ASSERT_EQ(ZEL_WriteCalFile(path.c_str(), &desc, s.re[0].data(), s.im[0].data(), s.re[1].data(),
                             s.im[1].data(), s.re[2].data(), s.im[2].data()),
            0);
  ASSERT_EQ(ZEL_LoadCalFile(path.c_str()), 0);
  ExpectCorrectedWithinOnePercent(bench, {{"r=50,x=10", 10.0},
                                          {"r=200,x=-100", 12.3},
                                          {"antenna:f0=14.2,r=50,q=10", 14.33},
                                          {"series:r=20,l=1u", 19.9}});
  double r = 0, x = 0;
  EXPECT_EQ(ZEL_ScanPoint(1, 25, &r, &x), ZEL_ERR_CAL_RANGE) << "beyond the custom grid";
  std::filesystem::remove(path);
}

}  // namespace

#endif  // ZEL_HAVE_SIM
