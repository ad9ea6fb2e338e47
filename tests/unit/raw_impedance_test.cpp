#include "measure/raw_impedance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <utility>

#include "state/defaults.h"
#include "state/state.h"

using zel::state;

namespace {

constexpr double kPi = 3.141592654;
constexpr double kQuarterTurn = 1.570796;

class CalcMagPhase : public ::testing::Test {
 protected:
  void SetUp() override {
    zel::ResetState();
    zel::InitDefaults();
  }
  void Sinusoid(double amplitude, double phase, double offset) {
    for (int i = 0; i < 16; ++i)
      state.measure.DemodSamples[i] = static_cast<int>(
          std::lround(offset + amplitude * std::sin(2 * std::numbers::pi * i / 16 + phase)));
  }
  // Tables that make one sample the whole sine sum and another the whole cosine sum, so that the
  // two sums can be set exactly: SinSum = sin_sample / 8, CosSum = cos_sample / 8.
  void Sums(int sin_sample, int cos_sample) {
    auto& m = state.measure;
    for (int i = 0; i < 16; ++i) m.SinTable[i] = m.CosTable[i] = m.DemodSamples[i] = 0;
    m.SinTable[0] = 1;
    m.CosTable[1] = 1;
    m.DemodSamples[0] = sin_sample;
    m.DemodSamples[1] = cos_sample;
  }
};

TEST_F(CalcMagPhase, RecoversAmplitudeAndPhaseOfSinusoidWhateverTheOffset) {
  for (double phase : {0.0, 0.4, 1.2, 2.0, 3.0, -0.4, -1.2, -2.0, -3.0}) {
    for (double offset : {0.0, 20000.0, -5000.0}) {
      Sinusoid(10000, phase, offset);
      zel::CalcMagPhase();
      EXPECT_NEAR(state.measure.DemodAmplitude, 10000, 1.0) << phase << " " << offset;
      EXPECT_NEAR(state.measure.Phase, phase, 1e-4) << phase << " " << offset;
    }
  }
}

TEST_F(CalcMagPhase, PhaseQuadrantsAndZeroSineSum) {
  struct Case {
    int sin_sample, cos_sample;
    double amplitude, phase;
  } cases[] = {
      {0, 0, 0, -kQuarterTurn},  // an empty block
      {0, 8, 1, kQuarterTurn},   // pure cosine, the constant as written
      {0, -8, 1, -kQuarterTurn},
      {-8, 0, 1, -kPi},  // never +PI
      {8, 0, 1, 0},
      {8, 8, std::sqrt(2.0), std::numbers::pi / 4},
      {-8, 8, std::sqrt(2.0), std::atan(-1.0) + kPi},  // (pi/2, pi)
      {-8, -8, std::sqrt(2.0), std::atan(1.0) - kPi},  // (-pi, -pi/2)
      {8, -8, std::sqrt(2.0), -std::numbers::pi / 4},
  };
  for (const auto& c : cases) {
    Sums(c.sin_sample, c.cos_sample);
    zel::CalcMagPhase();
    EXPECT_DOUBLE_EQ(state.measure.DemodAmplitude, c.amplitude)
        << c.sin_sample << "," << c.cos_sample;
    EXPECT_DOUBLE_EQ(state.measure.Phase, c.phase) << c.sin_sample << "," << c.cos_sample;
  }
}

class CalcRawImped : public ::testing::Test {
 protected:
  void SetUp() override {
    zel::ResetState();
    zel::InitDefaults();
    state.ident.Rgen = 50.2;  // the standard model's bridge
    state.ident.Rref = 100.9;
    state.synth.TestFreqMHz = 10;
  }
  void Detectors(double mag_load, double phase_load, double mag_ref, double phase_ref) {
    state.measure.MagLoad = mag_load;
    state.measure.PhaseLoad = phase_load;
    state.measure.MagRef = mag_ref;
    state.measure.PhaseRef = phase_ref;
  }
};

TEST_F(CalcRawImped, BridgeArmMinusSourceResistance) {
  struct Case {
    double mag_load, phase_load, mag_ref, phase_ref;
    double rs, xs;
  } cases[] = {
      {1000, 0.3, 1000, 0.3, 100.9 - 50.2, 0},      // equal detectors: Rref, less Rgen
      {2000, 0.5, 1000, 0.5, 100.9 / 2 - 50.2, 0},  // negative Rs is not clamped
      {1000, 1.0, 1000, 1.0 - std::numbers::pi / 2, -50.2, 100.9},
      {0, 0, 1000, 0, 1e6 - 50.2, 0},  // no load signal: an open bridge
  };
  for (const auto& c : cases) {
    Detectors(c.mag_load, c.phase_load, c.mag_ref, c.phase_ref);
    zel::CalcRawImped();
    EXPECT_NEAR(state.measure.Rs, c.rs, 1e-9) << c.mag_load << " " << c.phase_load;
    EXPECT_NEAR(state.measure.Xs, c.xs, 1e-7) << c.mag_load << " " << c.phase_load;
  }
}

TEST_F(CalcRawImped, PhaseDifferenceNeedsNoWrapping) {
  Detectors(700, 6.0, 1000, 0);
  zel::CalcRawImped();
  const double rs = state.measure.Rs;
  const double xs = state.measure.Xs;
  Detectors(700, 6.0 - 2 * std::numbers::pi, 1000, 0);
  zel::CalcRawImped();
  EXPECT_NEAR(state.measure.Rs, rs, 1e-9);
  EXPECT_NEAR(state.measure.Xs, xs, 1e-9);
  EXPECT_LT(xs, 0);
}

TEST_F(CalcRawImped, BeforeIdentificationEveryPointIsZero) {
  state.ident.Rgen = 0;
  state.ident.Rref = 0;
  Detectors(1234, 0.7, 987, -0.2);
  zel::CalcRawImped();
  EXPECT_EQ(state.measure.Rs, 0);
  EXPECT_EQ(state.measure.Xs, 0);
}

TEST_F(CalcRawImped, RaisesFrequencyToLowestUsable) {
  Detectors(1000, 0, 1000, 0);
  for (auto [given, left] :
       {std::pair{0.00005, 0.0001}, {-3.0, 0.0001}, {0.0001, 0.0001}, {0.0002, 0.0002}}) {
    state.synth.TestFreqMHz = given;
    zel::CalcRawImped();
    EXPECT_EQ(state.synth.TestFreqMHz, left) << given;
  }
}

}  // namespace
