#include "measure/point.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "platform/fake/fake_platform.h"
#include "state/defaults.h"
#include "state/state.h"
#include "support/engine_test.h"
#include "support/records.h"
#include "synth/mult_table.h"

using zel::state;
using zel::platform::FakePlatform;
using zel::platform::ScriptedPeer;

namespace {

// A synthesizer clock high enough that every frequency of these tests maps back from its word.
constexpr double kClockMHz = 1000;
constexpr std::uint16_t kDetectorOffset = 30000;

void PutBlock(zeltest::Words& w, int start, double amplitude, double phase) {
  for (int i = 0; i < 16; ++i)
    w[static_cast<std::size_t>(start + i)] = static_cast<std::uint16_t>(
        std::lround(kDetectorOffset + amplitude * std::sin(2 * std::numbers::pi * i / 16 + phase)));
}

zeltest::Words Record(double load_amp, double load_phase, double ref_amp, double ref_phase) {
  zeltest::Words w{};
  PutBlock(w, 0, load_amp, load_phase);
  PutBlock(w, 16, ref_amp, ref_phase);
  return w;
}

// A standard-model controller whose detectors answer each frequency with a record chosen by the
// test; the frequencies it was asked for are logged.
class Point : public zeltest::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    state.synth.DdsClockMHz = kClockMHz;
    state.ident.Rgen = 50.2;
    state.ident.Rref = 100.9;
    peer.on_write = [this](const std::vector<std::uint8_t>& cmd, ScriptedPeer& self) {
      if (cmd.size() == 19 && cmd[0] == 'E') {
        uhf_commands.emplace_back(cmd.begin(), cmd.end());
        if (record_for) self.Queue(zeltest::LongRecord(record_for(0)));
        return;
      }
      if (cmd.size() != 9 || cmd[0] != 'F') return;
      const double word = std::stoul(std::string(cmd.begin() + 1, cmd.end()), nullptr, 16);
      const double mhz = word / 4294967296.0 * kClockMHz;
      asked_mhz.push_back(mhz);
      if (!raw_reply.empty()) {
        self.Queue(raw_reply);
      } else if (record_for) {
        self.Queue(zeltest::LongRecord(record_for(mhz)));
      }
    };
  }

  std::function<zeltest::Words(double mhz)> record_for;
  std::vector<std::uint8_t> raw_reply;  // sent instead of a record when set
  std::vector<double> asked_mhz;
  std::vector<std::string> uhf_commands;
};

// The load detector's amplitude and phase rise linearly with frequency, so a point interpolated
// between its two substitute frequencies reads what a clean measurement at the point would.
TEST_F(Point, StepsAroundGridFrequenciesAndInterpolatesToThePoint) {
  struct Case {
    const char* what;
    double mhz;
    int scan_running;
    int constant_freq;
    std::vector<double> asked;
    double offset_before, offset_after;
  } cases[] = {
      {"ratio 0.75", 50.01, 1, 0, {49.98, 50.02}, 0, 0.02},
      {"on the grid", 50, 1, 0, {49.98, 50.02}, 0, 0.02},
      {"edge of zone", 50.02, 1, 0, {50.02}, 0, 0.02},
      {"edge below", 49.98, 1, 0, {49.98}, 0, 0.02},
      {"held frequency", 50.01, 1, 1, {50.01}, 0, 0.02},
      {"unscanned below 245", 100.01, 0, 0, {100.01}, 0, 0.02},
      {"always above 245", 250, 0, 0, {249.98, 250.02}, 0, 0.02},
      {"never below 30.24", 20.001, 1, 0, {20.001}, 0.033, 0.033},
      {"wide zone", 600.01, 0, 0, {599.95, 600.05}, 0, 0.05},
  };
  for (const auto& c : cases) {
    const double base = c.mhz - 0.1;
    auto load_amp = [&](double f) { return 1000 + 5000 * (f - base); };
    auto load_phase = [&](double f) { return 0.2 + 5 * (f - base); };
    record_for = [&](double f) { return Record(load_amp(f), load_phase(f), 2000, 0.1); };
    asked_mhz.clear();
    state.measure.ScanRunning = c.scan_running;
    state.frame.ConstantFreqActive = c.constant_freq;
    state.measure.FreqOffset = c.offset_before;
    state.measure.ScanIndex = 7;
    state.synth.TestFreqMHz = c.mhz;
    state.frame.StatusCode = 0;

    zel::MeasurePoint(2);

    ASSERT_EQ(asked_mhz.size(), c.asked.size()) << c.what;
    for (std::size_t i = 0; i < c.asked.size(); ++i)
      EXPECT_NEAR(asked_mhz[i], c.asked[i], 1e-3) << c.what;
    EXPECT_EQ(state.measure.FreqOffset, c.offset_after) << c.what;
    // Words arrive scaled by the averaging's ReadingScale of 4.
    EXPECT_NEAR(state.measure.MagLoad, 4 * load_amp(c.mhz), 10) << c.what;
    EXPECT_NEAR(state.measure.PhaseLoad, load_phase(c.mhz), 2e-3) << c.what;
    EXPECT_NEAR(state.measure.MagRef, 8000, 4) << c.what;
    const double zmag = 100.9 / (state.measure.MagLoad / state.measure.MagRef);
    const double phi = state.measure.PhaseLoad - state.measure.PhaseRef;
    EXPECT_NEAR(state.measure.Rs, zmag * std::cos(phi) - 50.2, 1e-9) << c.what;
    EXPECT_NEAR(state.measure.Xs, zmag * std::sin(phi), 1e-9) << c.what;
    EXPECT_EQ(state.measure.CorR, state.measure.Rs) << c.what << ": no correction in mode 2";
    EXPECT_EQ(state.measure.CorX, state.measure.Xs) << c.what;
    EXPECT_EQ(state.synth.TestFreqMHz, c.mhz) << c.what << ": the requested frequency is put back";
    EXPECT_EQ(state.measure.ScanIndex, 7) << c.what;
    EXPECT_EQ(state.frame.StatusCode, 0) << c.what;
  }
}

// A detector phase close to +-PI comes out on opposite sides of the cut at the two substitute
// frequencies; the point must still read what a measurement at the point itself would.
TEST_F(Point, InterpolationAcrossThePhaseCutStaysOnTheSameTurn) {
  const double pi = std::numbers::pi;
  struct Case {
    double lower_ref, upper_ref;  // reference phase at 49.98 and 50.02 MHz
  } cases[] = {{pi - 0.01, -pi + 0.01}, {-pi + 0.01, pi - 0.01}, {0.3, 0.32}};
  for (const auto& c : cases) {
    record_for = [&](double f) {
      const double ref = f < 50 ? c.lower_ref : c.upper_ref;
      return Record(1000, ref + 0.5, 2000, ref);  // the load leads the reference by 0.5 rad
    };
    state.measure.ScanRunning = 1;
    state.synth.TestFreqMHz = 50.01;
    zel::MeasurePoint(2);
    ASSERT_EQ(asked_mhz.size(), 2u);
    asked_mhz.clear();
    const double phi = state.measure.PhaseLoad - state.measure.PhaseRef;
    EXPECT_NEAR(std::remainder(phi - 0.5, 2 * pi), 0, 1e-3) << c.lower_ref;
    EXPECT_GT(std::cos(state.measure.PhaseRef - c.lower_ref), 0.99) << c.lower_ref;
  }
}

TEST_F(Point, WeakReferenceIsFlooredAndReportedButThePointIsComputed) {
  record_for = [](double) { return Record(1000, 0.5, 7.5, 0.1); };  // reference amplitude 30
  state.synth.TestFreqMHz = 10;
  zel::MeasurePoint(2);
  EXPECT_EQ(state.measure.MagRef, 50);
  EXPECT_EQ(state.frame.StatusCode, 34526);
  EXPECT_NEAR(state.measure.Rs, 100.9 / (4000.0 / 50) * std::cos(0.4) - 50.2, 0.01);
  EXPECT_EQ(state.measure.CorR, state.measure.Rs);
}

TEST_F(Point, FlatLoadBlockReadsAsAmplitudeOne) {
  record_for = [](double) { return Record(0, 0, 2000, 0.1); };
  state.synth.TestFreqMHz = 10;
  zel::MeasurePoint(2);
  EXPECT_EQ(state.measure.MagLoad, 1);
  EXPECT_EQ(state.frame.StatusCode, 0);
}

// A record that fails its checks leaves the detector values of the last good one, and the point
// is computed from them again without a status of its own.
TEST_F(Point, InvalidRecordKeepsLastGoodDetectorValues) {
  record_for = [](double) { return Record(1500, 0.7, 2000, 0.1); };
  state.synth.TestFreqMHz = 10;
  zel::MeasurePoint(2);
  const double mag_load = state.measure.MagLoad;
  const double rs = state.measure.Rs;
  ASSERT_EQ(state.link.DataValid, 1);

  raw_reply.assign(72, 0);  // all zero: passes the sum, carries nothing
  state.synth.TestFreqMHz = 12;
  zel::MeasurePoint(2);
  EXPECT_EQ(state.link.DataValid, 0);
  EXPECT_EQ(state.measure.MagLoad, mag_load);
  EXPECT_EQ(state.measure.Rs, rs);
  EXPECT_EQ(state.frame.StatusCode, 0);
}

TEST_F(Point, MissingRecordIsReportedAndFrequencyPutBack) {
  record_for = [](double) { return Record(1500, 0.7, 2000, 0.1); };
  state.synth.TestFreqMHz = 10;
  zel::MeasurePoint(2);
  asked_mhz.clear();
  record_for = nullptr;  // the controller stays silent
  state.measure.ScanRunning = 1;
  state.synth.TestFreqMHz = 50.01;
  zel::MeasurePoint(1);
  EXPECT_EQ(asked_mhz.size(), 2u) << "both substitute frequencies are still tried";
  EXPECT_EQ(state.frame.StatusCode, 34525);
  EXPECT_EQ(state.synth.TestFreqMHz, 50.01);
}

// On the UHF model the multipliers and settling code are chosen for the requested frequency, the
// gain band for the lower substitute frequency, and both passes send the same settings.
TEST_F(Point, UhfSteppedPointSendsSettingsOfPointAndGainOfLowerSubstitute) {
  record_for = [](double) { return Record(1500, 0.7, 2000, 0.1); };
  state.ident.UhfModel = 1;
  state.synth.XtalOsc = 50;
  state.measure.StepGridMHz = 12.5;
  state.synth.DeltaFreq = 0.002;
  zel::BuildMultTable();
  state.synth.BandEdge1MHz = 500;  // on a grid frequency
  state.measure.ScanRunning = 1;
  state.synth.TestFreqMHz = 500.01;
  zel::MeasurePoint(2);
  ASSERT_EQ(uhf_commands.size(), 2u);
  for (const auto& cmd : uhf_commands) {
    EXPECT_EQ(static_cast<std::uint8_t>(cmd[1]), 0x98) << "multipliers 14 and 13";
    EXPECT_EQ(static_cast<std::uint8_t>(cmd[2]), 0x15) << "band 0 below 500 MHz, settling 20";
  }
  EXPECT_NE(uhf_commands[0].substr(3), uhf_commands[1].substr(3)) << "two frequencies";

  uhf_commands.clear();
  state.synth.TestFreqMHz = 510;
  zel::MeasurePoint(2);
  ASSERT_EQ(uhf_commands.size(), 1u);
  EXPECT_EQ(static_cast<std::uint8_t>(uhf_commands[0][2]), 0x43) << "band 1, same code: settling 2";
  EXPECT_EQ(state.frame.StatusCode, 0);
}

}  // namespace
