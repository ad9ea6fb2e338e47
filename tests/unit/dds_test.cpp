#include "synth/dds.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
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

std::string Hex2(int b) {
  static const char* kDigits = "0123456789ABCDEF";
  return {kDigits[(b >> 4) & 15], kDigits[b & 15]};
}

// The controller as seen by the synthesizer code: every frequency command ("F", "U", "E") is
// answered with a good record unless the test silences it.
class Dds : public zeltest::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    peer.on_write = [this](const std::vector<std::uint8_t>& cmd, ScriptedPeer& self) {
      const char c = static_cast<char>(cmd[0]);
      if (answer && (c == 'F' || c == 'U' || c == 'E'))
        self.Queue(zeltest::LongRecord(zeltest::CountingWords(100)));
    };
  }
  // The writes without the averaging commands that go around low frequencies.
  std::vector<std::string> FrequencyCommands() {
    std::vector<std::string> out;
    for (auto& w : Writes())
      if (w[0] != 'J') out.push_back(w);
    return out;
  }
  // A UHF command as "E <mult> <ctrl> <signal word> <offset word>".
  std::string UhfText(const std::string& cmd) const {
    if (cmd.size() != 19) return "size " + std::to_string(cmd.size());
    return cmd.substr(0, 1) + " " + Hex2(static_cast<std::uint8_t>(cmd[1])) + " " +
           Hex2(static_cast<std::uint8_t>(cmd[2])) + " " + cmd.substr(3, 8) + " " +
           cmd.substr(11, 8);
  }
  void StandardModel() {
    state.ident.UhfModel = 0;
    state.synth.DdsClockMHz = 400;
  }
  void UhfModel() {
    state.ident.UhfModel = 1;
    state.synth.XtalOsc = 50;
    state.synth.DeltaFreq = 0.002;
  }

  bool answer = true;
};

TEST_F(Dds, SingleSynthesizerSendsNineByteCommandWithTuningWord) {
  struct Case {
    double mhz;
    int scan_running;
    int df_option;
    const char* sent;
  } cases[] = {
      {10, 0, 0, "F0666667C"},  {10, 1, 0, "F06666692"},  // the scan nudge applies twice
      {100, 1, 0, "F40000432"},  // a quarter of the clock is moved to 100.0001
      {100, 0, 0, "F400000D7"}, {10, 0, 1, "U0666667C"}, {100, 1, 5, "U40000432"},
  };
  for (const auto& c : cases) {
    StandardModel();
    state.measure.ScanRunning = c.scan_running;
    state.ident.DfOption = c.df_option;
    state.synth.TestFreqMHz = c.mhz;
    state.frame.StatusCode = 0;
    zel::ProgramDds();
    EXPECT_EQ(Writes(), std::vector<std::string>{c.sent}) << c.mhz << " scan " << c.scan_running;
    EXPECT_EQ(state.synth.TestFreqMHz, c.mhz) << "frequency is put back";
    EXPECT_EQ(state.link.DataValid, 1) << "the record is read after the command";
    EXPECT_EQ(state.frame.StatusCode, 0);
  }
}

// Frequencies the single synthesizer cannot express in 8 digits, and a clock not yet known: the
// word is exact up to the clock, pinned to FFFFFFFF beyond, and 0 for nothing sensible.
TEST_F(Dds, SingleSynthesizerWordStaysInRangeForAnyFrequencyAndClock) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double clock;
    double mhz;
    const char* sent;
  } cases[] = {
      {400, 250, "FA0000219"},       // a word above 2^31 is sent exactly
      {400, 399.9999, "FFFFFFF2A"},  // just below the clock
      {400, 400, "FFFFFFFFF"},       // the clock itself: pinned at the top
      {400, 1e12, "FFFFFFFFF"},
      {400, inf, "FFFFFFFFF"},
      {400, -5, "F00000000"},  // negative: no output rather than a wrapped word
      {400, nan, "F00000000"},
      {0, 10, "F00000000"},  // before identification there is no clock
      {-400, 10, "F00000000"},
      {nan, 10, "F00000000"},
  };
  for (const auto& c : cases) {
    StandardModel();
    state.synth.DdsClockMHz = c.clock;
    state.synth.TestFreqMHz = c.mhz;
    zel::ProgramDds();
    EXPECT_EQ(FrequencyCommands(), std::vector<std::string>{c.sent}) << c.clock << " " << c.mhz;
  }
}

TEST_F(Dds, UhfSendsNineteenByteCommandWithFoldedWords) {
  struct Case {
    double mhz;
    int signal_mult, offset_mult, gain, settling;
    const char* sent;
    int status;
  } cases[] = {
      // x1 = 1.4 (zone 2), x2 = 1.55556 (zone 3)
      {700, 10, 9, 1, 20, "E 54 55 66666666 71C6D1E1", 0},
      // x1 = 0.142857, nothing folded
      {100, 14, 13, 0, 2, "E 98 03 24924925 2762A9C7", 0},
      // x1 = 1.7333 (zone 3), band 2
      {1300, 15, 14, 2, 2, "E A9 83 44444444 24921935", 0},
      // x = 4.8 on both: beyond the eighth zone, sent unfolded and pinned
      {1200, 5, 5, 1, 20, "E 00 55 7FFFFFFF 7FFFFFFF", 34512},
      // a negative frequency: the signal word is complemented, the offset word is a magnitude
      {-100, 14, 13, 0, 2, "E 98 03 24924924 27624288", 0},
      // no multiplier table (code 0): no clock, nothing reachable, never a division by zero
      {100, 0, 0, 0, 20, "E AB 15 00000000 00000000", 34512},
  };
  for (const auto& c : cases) {
    UhfModel();
    state.synth.SignalMult = c.signal_mult;
    state.synth.OffsetMult = c.offset_mult;
    state.synth.Gain = c.gain;
    state.synth.Settling = c.settling;
    state.synth.TestFreqMHz = c.mhz;
    state.frame.StatusCode = 0;
    zel::ProgramDds();
    auto w = FrequencyCommands();
    ASSERT_EQ(w.size(), 1u) << c.mhz;
    EXPECT_EQ(UhfText(w[0]), c.sent) << c.mhz;
    EXPECT_EQ(state.frame.StatusCode, c.status) << c.mhz;
    EXPECT_EQ(state.link.DataValid, 1) << "the record is still read";
    EXPECT_EQ(state.synth.TestFreqMHz, c.mhz);
  }
}

TEST_F(Dds, UhfFoldsEveryImageZone) {
  // Both clocks 500 MHz: zone n covers x in [n/2, (n+1)/2).
  struct Case {
    double x;
    double folded;
  } cases[] = {{0.4, 0.4}, {0.6, 0.4}, {1.1, 0.1}, {1.6, 0.4}, {2.1, 0.1},
               {2.6, 0.4}, {3.1, 0.1}, {3.6, 0.4}, {4.1, 0.1}, {4.49, 0.49}};
  for (const auto& c : cases) {
    UhfModel();
    state.synth.SignalMult = 10;
    state.synth.OffsetMult = 10;
    state.synth.TestFreqMHz = c.x * 500;
    state.frame.StatusCode = 0;
    zel::ProgramDds();
    auto w = Writes();
    ASSERT_EQ(w.size(), 1u);
    const double sent = std::stoul(w[0].substr(3, 8), nullptr, 16) / 4294967296.0;
    EXPECT_NEAR(sent, c.folded, 1e-9) << c.x;
    EXPECT_EQ(state.frame.StatusCode, 0) << c.x;
  }
}

TEST_F(Dds, LowFrequencyRaisesAveragingForOneCommandAndRestoresIt) {
  struct Case {
    double mhz;
    int avg_count;
    int high_avg;
    std::vector<std::string> sent;
  } cases[] = {
      {0.01, 4, 0, {"J\x10", "F0001A36F", "J\x04"}},
      {0.01, 4, 1, {"J\x40", "F0001A36F", "J\x04"}},
      {0.01, 32, 1, {"J\x40", "F0001A36F", "J\x20"}},  // lowered too below 20 kHz
      {0.03, 4, 0, {"J\x10", "F0004EA4B", "J\x04"}},
      {0.03, 32, 1, {"F0004EA4B"}},  // deep enough already: nothing around the command
      {0.05, 4, 0, {"F00083128"}},
      {0.01, 0, 0, {"J\x10", "F0001A36F"}},  // a count of 0 is not restored
  };
  for (const auto& c : cases) {
    StandardModel();
    state.ident.HighAvgAllowed = c.high_avg;
    state.measure.AvgCount = c.avg_count;
    state.synth.TestFreqMHz = c.mhz;
    zel::ProgramDds();
    EXPECT_EQ(Writes(), c.sent) << c.mhz << " avg " << c.avg_count;
    EXPECT_EQ(state.synth.TestFreqMHz, c.mhz);
  }
}

// The averaging commands clear the status; a failure of the same point must survive them.
TEST_F(Dds, LowFrequencyAveragingKeepsTheFailureOfThePoint) {
  StandardModel();
  state.synth.TestFreqMHz = 0.01;

  state.frame.StatusCode = 34511;  // set earlier in the point
  zel::ProgramDds();
  EXPECT_EQ(state.frame.StatusCode, 34511);

  answer = false;  // the record never arrives
  state.frame.StatusCode = 34511;
  zel::ProgramDds();
  EXPECT_EQ(state.frame.StatusCode, 34525) << "the later failure is the one reported";

  state.frame.StatusCode = 0;
  zel::ProgramDds();
  EXPECT_EQ(state.frame.StatusCode, 34525);
  auto w = Writes();
  ASSERT_FALSE(w.empty());
  EXPECT_EQ(w.back(), "J\x04") << "the averaging is still restored";

  answer = true;
  state.frame.StatusCode = 0;
  zel::ProgramDds();
  EXPECT_EQ(state.frame.StatusCode, 0) << "a good point stays a success";
}

TEST_F(Dds, SelectMultsTakesCodeFromTableAndLongSettlingOnChange) {
  UhfModel();
  zel::BuildMultTable();
  state.synth.TestFreqMHz = 100;
  zel::SelectMults();
  EXPECT_EQ(state.synth.SignalMult, 14);
  EXPECT_EQ(state.synth.OffsetMult, 13);
  EXPECT_EQ(state.synth.Settling, 20) << "first point after the defaults";
  EXPECT_EQ(state.synth.LastMultCode, 461);
  state.synth.TestFreqMHz = 101.5;
  zel::SelectMults();
  EXPECT_EQ(state.synth.Settling, 2) << "same code";
  state.synth.TestFreqMHz = 700;
  zel::SelectMults();
  EXPECT_EQ(state.synth.Settling, 20);
  EXPECT_EQ(state.synth.SignalMult, 10);
  EXPECT_EQ(state.synth.OffsetMult, 9);
  EXPECT_EQ(state.frame.StatusCode, 0);
}

TEST_F(Dds, SelectMultsFlagsInvalidCodeOnceAndGoesOn) {
  UhfModel();
  state.measure.ScanRunning = 1;
  state.synth.MultsByMHz[300] = 700;
  state.synth.TestFreqMHz = 300.5;
  zel::SelectMults();
  EXPECT_EQ(state.frame.StatusCode, 34511);
  EXPECT_EQ(state.measure.ScanRunning, 0);
  EXPECT_EQ(state.synth.SignalMult, 21);
  EXPECT_EQ(state.synth.OffsetMult, 28);
  state.frame.StatusCode = 0;
  state.measure.ScanRunning = 1;
  zel::SelectMults();
  EXPECT_EQ(state.frame.StatusCode, 0) << "only a change of code is checked";
  EXPECT_EQ(state.measure.ScanRunning, 1);
}

// Frequencies with no table entry read as code 0, never outside the table.
TEST_F(Dds, SelectMultsOutsideTableGivesNoMultipliers) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double mhz : {-0.5, -3000.0, 2000.0, 1e300, nan}) {
    UhfModel();
    for (auto& code : state.synth.MultsByMHz) code = 461;
    state.synth.LastMultCode = 461;
    state.synth.TestFreqMHz = mhz;
    zel::SelectMults();
    EXPECT_EQ(state.synth.SignalMult, 0) << mhz;
    EXPECT_EQ(state.synth.OffsetMult, 0) << mhz;
    EXPECT_EQ(state.synth.LastMultCode, 0) << mhz;
    EXPECT_EQ(state.frame.StatusCode, 0) << mhz;
  }
  state.synth.TestFreqMHz = 1999.9;
  zel::SelectMults();
  EXPECT_EQ(state.synth.LastMultCode, 461) << "the top entry is still used";
}

TEST_F(Dds, SelectMultsOnSingleSynthesizerOnlySetsSettling) {
  StandardModel();
  state.synth.Settling = 20;
  state.synth.MultsByMHz[10] = 461;
  state.synth.TestFreqMHz = 10;
  zel::SelectMults();
  EXPECT_EQ(state.synth.Settling, 2);
  EXPECT_EQ(state.synth.LastMultCode, 0);
  EXPECT_EQ(state.synth.SignalMult, 20);
}

TEST_F(Dds, SelectGainAtBandEdges) {
  struct Case {
    double mhz;
    int firmware;
    int gain;
  } cases[] = {
      {514.99, 622, 0},  {515, 622, 1},  {1150, 622, 1},
      {1150.01, 622, 2}, {1300, 622, 2}, {1300, 621, 1},  // band 2 needs firmware 6.22
  };
  for (const auto& c : cases) {
    state.ident.FirmwareVersion100 = c.firmware;
    state.synth.TestFreqMHz = c.mhz;
    zel::SelectGain();
    EXPECT_EQ(state.synth.Gain, c.gain) << c.mhz << " fw " << c.firmware;
  }
}

TEST_F(Dds, BuildMultTableExpandsDefaultSegments) {
  UhfModel();
  state.synth.Gain = 2;
  zel::BuildMultTable();
  struct Range {
    int from, to, code;
  } ranges[] = {{0, 604, 461},   {605, 839, 329},  {840, 889, 394}, {890, 944, 461},
                {945, 954, 394}, {955, 1199, 461}, {1200, 1999, 0}};
  for (const auto& r : ranges)
    for (int f = r.from; f <= r.to; ++f) ASSERT_EQ(state.synth.MultsByMHz[f], r.code) << f;
  EXPECT_EQ(state.measure.FreqOffset, 0.02);
  EXPECT_EQ(state.synth.Gain, 0);
}

TEST_F(Dds, BuildMultTableKeepsLoadedSegmentsBelowFiftyMHzReference) {
  UhfModel();
  state.synth.XtalOsc = 40;
  state.synth.SegStartMHz[0] = 0;
  state.synth.SegMults[0] = 329;
  state.synth.SegStartMHz[1] = 10;
  state.synth.SegMults[1] = 0;
  zel::BuildMultTable();
  EXPECT_EQ(state.synth.MultsByMHz[9], 329);
  EXPECT_EQ(state.synth.MultsByMHz[10], 0);

  state.ident.UhfModel = 0;
  state.synth.MultsByMHz[9] = 1;
  zel::BuildMultTable();
  EXPECT_EQ(state.synth.MultsByMHz[9], 1) << "nothing on the single-synthesizer models";
}

// Segment tables from a file may lack the end mark, reach past 2000 MHz or start anywhere: the
// expansion stays inside MultsByMHz (the variables around it keep their values).
TEST_F(Dds, ExpandMultTableNeverWritesOutsideTable) {
  struct Case {
    const char* what;
    std::vector<std::int32_t> starts;
    std::vector<std::int32_t> codes;
    int check_mhz;
    int check_code;
  } cases[] = {
      {"past 2000", {0, 1500, 2500, 3000}, {461, 329, 394, 0}, 1999, 329},
      {"negative start", {-50, 10, 20}, {329, 394, 0}, 0, 329},
      {"extreme starts", {-2147483647 - 1, 2147483647, 5}, {329, 394, 0}, 1999, 329},
      {"no end mark", {}, {}, 1999, 5},
  };
  for (const auto& c : cases) {
    zel::ResetState();
    zel::InitDefaults();
    auto& s = state.synth;
    s.MaxFreqMHz = 1e9;
    s.Dds1Level = 123;
    if (c.starts.empty()) {
      for (int i = 0; i < zel::kSegCount; ++i) {
        s.SegStartMHz[i] = i * 41;
        s.SegMults[i] = 5;
      }
    } else {
      for (std::size_t i = 0; i < c.starts.size(); ++i) {
        s.SegStartMHz[i] = c.starts[i];
        s.SegMults[i] = c.codes[i];
      }
    }
    zel::ExpandMultTable();
    EXPECT_EQ(s.MultsByMHz[c.check_mhz], c.check_code) << c.what;
    EXPECT_EQ(s.Dds1Level, 123) << c.what;
  }
}

TEST_F(Dds, SetDdsLevelSendsLevelWord) {
  struct Case {
    double level;
    const char* sent;
  } cases[] = {{100, "M03FF"}, {50, "M0200"}, {3, "M0032"}, {-100, "M43FF"}, {250, "M03FF"}};
  for (const auto& c : cases) {
    UhfModel();
    const auto before = platform.clock_ms;
    zel::SetDdsLevel(c.level);
    EXPECT_EQ(Writes(), std::vector<std::string>{c.sent}) << c.level;
    EXPECT_EQ(platform.clock_ms - before, 10u) << "the level settles before the next command";
  }
  EXPECT_EQ(state.synth.Dds1Level, 250);
  EXPECT_EQ(state.synth.Dds2Level, 100);
  state.ident.UhfModel = 0;
  zel::SetDdsLevel(50);
  EXPECT_TRUE(Writes().empty());
}

}  // namespace
