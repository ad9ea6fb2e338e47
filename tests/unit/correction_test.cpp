// The calibration correction: table lookups (positions and weights), band moves, the bilinear
// correction's fixed points and its guards, and the custom range failure.
#include "measure/correction.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "ZEL_863_DLL.h"
#include "cal/cal_loader.h"
#include "platform/fake/fake_platform.h"
#include "state/defaults.h"
#include "state/state.h"

using zel::state;
using zel::platform::FakePlatform;
using zel::platform::ScriptedPeer;
using cd = std::complex<double>;

namespace {

constexpr int kEntries = 13;
constexpr double kRgen = 50;

// Table entry k of the load factor, the short and the open: smooth but not linear, so that each
// weight shows in the result.
struct Entry {
  cd k, s, o;
};
Entry TableEntry(int k) {
  return {{50.0 + k + 0.25 * k * k, 5 - 0.5 * k},
          {50.0 + 0.2 * k, 1 + 0.1 * k * k},
          {3000.0 + 20 * k, -500 + 3.0 * k * k}};
}

// Entries combined with weights, as the lookup must combine them.
Entry Mix(const std::vector<std::pair<int, double>>& weights) {
  Entry e{};
  for (auto [k, w] : weights) {
    const Entry t = TableEntry(k);
    e.k += w * t.k;
    e.s += w * t.s;
    e.o += w * t.o;
  }
  return e;
}

cd Corrected(const Entry& e, cd zm) {
  return e.k * (zm - e.s) / (e.o - zm);
}

class Correction : public ::testing::Test {
 protected:
  void SetUp() override {
    zel::ResetState();
    zel::InitDefaults();
    state.ident.Rgen = kRgen;
    auto& c = state.cal;
    c.NumCalPoints = kEntries;
    for (int k = 0; k < kEntries; ++k) {
      const Entry e = TableEntry(k);
      c.CalLoadRe[k] = e.k.real();
      c.CalLoadIm[k] = e.k.imag();
      c.CalShortRe[k] = e.s.real();
      c.CalShortIm[k] = e.s.imag();
      c.CalOpenRe[k] = e.o.real();
      c.CalOpenIm[k] = e.o.imag();
    }
  }
  void UseCustomGrid(double start, double step) {
    state.cal.CustomCal = 1;
    state.cal.CustStartMHz = start;
    state.cal.CustStepMHz = step;
  }
  // Runs the correction at f for the bridge-arm impedance zm.
  cd Apply(double f, cd zm, double mag_load = 5000) {
    state.synth.TestFreqMHz = f;
    state.measure.Rs = zm.real() - kRgen;
    state.measure.Xs = zm.imag();
    state.measure.MagLoad = mag_load;
    state.frame.StatusCode = 0;
    zel::ApplyCor();
    return {state.measure.CorR, state.measure.CorX};
  }
  void SetBands(int from_mhz, int code) {
    for (int f = from_mhz; f < zel::kMultTableSize; ++f) state.synth.MultsByMHz[f] = code;
  }

  ScriptedPeer peer;
  FakePlatform platform{&peer};
  zel::platform::ScopedPlatform scope{&platform};
};

const cd kZm(125, 20);

struct LookupCase {
  const char* what;
  double f;
  int band_from;  // MultsByMHz changes from 0 to 1 at this MHz; -1: one band
  std::vector<std::pair<int, double>> weights;
};

void ExpectLookup(Correction& t, const LookupCase& c, cd got) {
  const cd want = Corrected(Mix(c.weights), kZm);
  // A far extrapolation may come out negative: the short-like guard value then (MagLoad 5000).
  const double want_r = want.real() > 0 ? want.real() : 0.00001;
  EXPECT_NEAR(got.real(), want_r, 1e-9 * std::abs(want)) << c.what;
  EXPECT_NEAR(got.imag(), want.imag(), 1e-9 * std::abs(want)) << c.what;
  EXPECT_EQ(state.frame.StatusCode, 0) << c.what;
  (void)t;
}

TEST_F(Correction, StandardLookupPositionsAndWeights) {
  const std::vector<LookupCase> cases = {
      {"on an entry", 10, -1, {{10, 1}}},
      {"a quarter past", 10.25, -1, {{10, 0.75}, {11, 0.25}}},
      {"band change above: extrapolated from below", 10.25, 11, {{9, -0.25}, {10, 1.25}}},
      {"past the last entry: the end pair", 12.5, -1, {{11, -0.5}, {12, 1.5}}},
      {"far past the table", 20, -1, {{11, -8}, {12, 9}}},
      {"beyond the multiplier map", 2500, 1999, {{11, -2488}, {12, 2489}}},
      {"below 0 MHz: the first pair", -0.5, -1, {{0, 1.5}, {1, -0.5}}},
      {"below 1 MHz across a band change: the first pair", 0.5, 1, {{0, 0.5}, {1, 0.5}}},
  };
  for (const auto& c : cases) {
    SetUp();
    if (c.band_from >= 0) SetBands(c.band_from, 1);
    ExpectLookup(*this, c, Apply(c.f, kZm));
  }
}

TEST_F(Correction, CustomLookupPositionsAndWeights) {
  // Grid 1 MHz, step 0.5: entry k lies at 1 + (k - 2) * 0.5, entry 0 at 0 MHz, entry 12 at 6 MHz.
  const std::vector<LookupCase> cases = {
      {"on the start: entry 2", 1, -1, {{2, 1}}},
      {"half a step", 1.25, -1, {{1, -0.125}, {2, 0.75}, {3, 0.375}}},
      {"centre on entry 1", 0.5, -1, {{1, 1}}},
      {"half a step past entry 1", 0.75, -1, {{0, -0.125}, {1, 0.75}, {2, 0.375}}},
      {"centre on entry N-2", 5.75, -1, {{10, -0.125}, {11, 0.75}, {12, 0.375}}},
      {"band change below: moved up", 3.25, 3, {{6, 0.375}, {7, 0.75}, {8, -0.125}}},
      {"band change above: moved down", 2.75, 3, {{3, 0.375}, {4, -1.25}, {5, 1.875}}},
  };
  for (const auto& c : cases) {
    SetUp();
    UseCustomGrid(1, 0.5);
    if (c.band_from >= 0) SetBands(c.band_from, 1);
    ExpectLookup(*this, c, Apply(c.f, kZm));
  }
}

TEST_F(Correction, CustomBandTestBelowZeroMHzReadsTheFirstBand) {
  UseCustomGrid(0.1, 0.5);
  SetBands(0, 7);  // every MHz in one band, also the one a test below 0 MHz falls back on
  const LookupCase c{"u = 0.4 around entry 2", 0.3, -1, {{1, -0.12}, {2, 0.84}, {3, 0.28}}};
  ExpectLookup(*this, c, Apply(c.f, kZm));
}

TEST_F(Correction, CustomPointOutsideTheTableFailsWith34514) {
  ASSERT_EQ(ZEL_CommPort(1, 1, 57600), 0);
  struct Case {
    const char* what;
    double f, start, step;
  };
  const Case cases[] = {
      {"centre on entry 0", 0.25, 1, 0.5},
      {"centre on entry N-1", 6, 1, 0.5},
      {"far above", 1e12, 1, 0.5},
      {"step 0", 1, 1, 0},
      {"frequency not a number", std::numeric_limits<double>::quiet_NaN(), 1, 0.5},
  };
  for (const auto& c : cases) {
    UseCustomGrid(c.start, c.step);
    state.measure.ScanRunning = 1;
    state.link.RelayState = 3;
    platform.TakeWrites();
    const cd got = Apply(c.f, kZm);
    EXPECT_EQ(state.frame.StatusCode, 34514) << c.what;
    EXPECT_EQ(state.measure.ScanRunning, 0) << c.what;
    EXPECT_EQ(got, cd(kZm.real() - kRgen, kZm.imag())) << c.what << ": the uncorrected values";
    const auto writes = platform.TakeWrites();
    ASSERT_FALSE(writes.empty()) << c.what;
    EXPECT_EQ(writes[0], std::string("K") + char(40)) << c.what << ": relay off";
  }
}

TEST_F(Correction, FixedPointsOfTheCorrection) {
  // The short gives exactly 0, returned as 0.01 + j0.001.
  const Entry e10 = TableEntry(10);
  EXPECT_EQ(Apply(10, e10.s), cd(0.01, 0.001));

  // The resistor measured at calibration gives Rcal.
  auto& c = state.cal;
  c.Rcal = 75;
  const cd load(180, -40);
  for (int k = 0; k < kEntries; ++k) c.CalLoadRe[k] = load.real(), c.CalLoadIm[k] = load.imag();
  zel::CalcLoadFactor();
  const cd z = Apply(10, load);
  EXPECT_NEAR(z.real(), 75, 1e-9);
  // 0 up to rounding; an exact 0 is returned as 0.001.
  EXPECT_TRUE(std::fabs(z.imag()) < 1e-9 || z.imag() == 0.001) << z.imag();
}

TEST_F(Correction, GuardsOnNegativeZeroAndUndefinedResults) {
  // Tables with S = 0, O = 1e6, K = 1e6: the device reads almost as the arm itself.
  auto& c = state.cal;
  for (int k = 0; k < kEntries; ++k) {
    c.CalShortRe[k] = c.CalShortIm[k] = c.CalOpenIm[k] = c.CalLoadIm[k] = 0;
    c.CalOpenRe[k] = c.CalLoadRe[k] = 1e6;
  }
  struct Case {
    const char* what;
    cd zm;
    double mag_load;
    cd want;
  };
  const Case cases[] = {
      {"negative, weak load signal: open-like", {-10, 5}, 999, {99999, 0}},
      {"negative, strong load signal: short-like", {-10, 5}, 1000, {0.00001, 0}},
      {"on the open: 0/0", {1e6, 0}, 500, {99999, 0.001}},
  };
  for (const auto& k : cases) {
    const cd got = Apply(3, k.zm, k.mag_load);
    EXPECT_EQ(got.real(), k.want.real()) << k.what;
    if (k.want.imag() != 0) {
      EXPECT_EQ(got.imag(), k.want.imag()) << k.what;
    }
    EXPECT_NE(got.imag(), 0) << k.what;
  }
}

TEST_F(Correction, ZeroTablesGiveTheGuardValues) {
  zel::ResetState();  // nothing loaded: NumCalPoints 0, every table entry 0
  state.ident.Rgen = kRgen;
  for (double f : {0.0, 5.0, 1e9, -3.0}) {
    EXPECT_EQ(Apply(f, {80, -15}), cd(0.01, 0.001)) << f;
  }
}

TEST_F(Correction, StandardFrequencyNotANumberGivesTheGuardValues) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(Apply(nan, kZm, 500), cd(99999, 0.001));
  EXPECT_EQ(Apply(nan, kZm, 5000), cd(0.00001, 0.001));
  EXPECT_EQ(state.frame.StatusCode, 0) << "a standard lookup reports nothing";
}

TEST_F(Correction, OversizedPointCountStaysInsideTheTables) {
  // A count past the tables (never left by a load, but the lookups do not rely on that) reads
  // the last entries the tables hold.
  state.cal.NumCalPoints = 1 << 30;
  Apply(1e9, kZm);
  UseCustomGrid(0, 1);
  Apply(zel::kCalTableSize - 3.5, kZm);
  EXPECT_EQ(state.frame.StatusCode, 0);
  Apply(zel::kCalTableSize - 3, kZm);
  EXPECT_EQ(state.frame.StatusCode, 34514);
}

}  // namespace
