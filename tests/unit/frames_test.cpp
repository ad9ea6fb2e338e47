// The exported frames, the defaults, the port commands and the averaging, on the fake platform.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "ZEL_863_DLL.h"
#include "link/port.h"
#include "platform/fake/fake_platform.h"
#include "state/defaults.h"
#include "state/state.h"
#include "support/records.h"

using zel::state;
using zel::platform::FakePlatform;
using zel::platform::ScriptedPeer;

namespace {

class Frames : public ::testing::Test {
 protected:
  void SetUp() override { zel::ResetState(); }
  std::vector<std::string> Writes() { return platform.TakeWrites(); }

  ScriptedPeer peer;
  FakePlatform platform{&peer};
  zel::platform::ScopedPlatform scope{&platform};
};

TEST_F(Frames, InitVarsSetsTheDefaultsAndKeepsTheStatus) {
  state.frame.StatusCode = 34525;
  state.ident.PowerModel = 1;
  state.link.SyncEnabled = 9;
  state.ident.UhfModel = 1;
  state.link.ShortRecord = 4;
  state.cal.CalLoaded = 1;
  state.ident.TempF = 70;
  EXPECT_EQ(ZEL_InitVars(0), 0);
  EXPECT_EQ(state.frame.StatusCode, 34525);
  EXPECT_EQ(state.synth.TestFreqMHz, 5);
  EXPECT_EQ(state.synth.MinFreqMHz, 0.002);
  EXPECT_EQ(state.synth.MaxFreqMHz, 1000);
  EXPECT_EQ(state.measure.AvgCount, 4);
  EXPECT_EQ(state.measure.ReadingScale, 4);
  EXPECT_EQ(state.link.RelayState, 0);
  EXPECT_EQ(state.link.RelayControl, 1);
  EXPECT_EQ(state.cal.CalLoaded, 0);
  EXPECT_STREQ(state.ident.UnitIdText, "123456");
  EXPECT_STREQ(state.ident.UnitIdAltText, "123456");
  EXPECT_EQ(state.ident.PowerModel, 0);
  EXPECT_EQ(state.link.SyncEnabled, 0);
  EXPECT_EQ(state.ident.UhfModel, 1) << "kept across the defaults";
  EXPECT_EQ(state.link.ShortRecord, 4) << "kept across the defaults";
  EXPECT_EQ(state.ident.TempF, 70) << "kept across the defaults";
  EXPECT_EQ(state.measure.StepGridMHz, 5);
  EXPECT_EQ(state.synth.OffsetMult, 19);
  EXPECT_EQ(state.ident.IdentDelayMs, 1000);
  EXPECT_EQ(state.frame.InExportCall, 0);
  EXPECT_EQ(state.frame.LibraryMode, 1);
  EXPECT_TRUE(Writes().empty()) << "the defaults talk to no instrument";
}

TEST_F(Frames, DemodulationTablesHoldTheQuarterPoints) {
  ZEL_InitVars(0);
  const double sin_q[4] = {0, 1, 0, -1};
  const double cos_q[4] = {1, 0, -1, 0};
  for (int q = 0; q < 4; ++q) {
    EXPECT_NEAR(state.measure.SinTable[4 * q], sin_q[q], 1e-9);
    EXPECT_NEAR(state.measure.CosTable[4 * q], cos_q[q], 1e-9);
  }
  EXPECT_NEAR(state.measure.Sin2Table[2], 1, 1e-9);
  EXPECT_NEAR(state.measure.Cos3Table[0], 1, 1e-9);
  EXPECT_EQ(state.measure.PI, 3.141592654);
}

TEST_F(Frames, CommPortOpensAtLowRateAndSwitchesOnRequest) {
  struct Case {
    int port;
    int rate;
    int opened_port;
    bool switched;
  };
  for (Case c :
       {Case{0, 57600, 1, false}, Case{-7, 0, 1, false}, Case{3, 115200, 3, true},
        Case{3, 100000, 3, false}, Case{3, 100001, 3, true}, Case{INT_MAX, 0, INT_MAX, false}}) {
    SCOPED_TRACE(c.port);
    zel::ResetState();
    platform.opened_ports.clear();
    platform.line_writes.clear();
    std::uint64_t t0 = platform.clock_ms;
    ASSERT_EQ(ZEL_CommPort(1, c.port, c.rate), 0);
    auto w = Writes();
    ASSERT_FALSE(platform.opened_ports.empty());
    EXPECT_EQ(platform.opened_ports[0], c.opened_port);
    ASSERT_GE(platform.line_writes.size(), 2u);
    EXPECT_EQ(platform.line_writes[0].BaudRate, 57600);
    EXPECT_EQ(platform.line_writes[0].DataBits, 8);
    EXPECT_EQ(platform.line_writes[0].Parity, 0);
    EXPECT_EQ(platform.line_writes[0].StopBits, 1);
    if (c.switched) {
      ASSERT_EQ(w.size(), 2u);
      EXPECT_EQ(w[0], "C");
      EXPECT_EQ(platform.line_writes.back().BaudRate, 115000);
      EXPECT_EQ(platform.open_handles.size(), 1u) << "the reopen closed the first handle";
      EXPECT_EQ(platform.clock_ms - t0, 250u);
    } else {
      ASSERT_EQ(w.size(), 1u);
      EXPECT_EQ(platform.line_writes.back().BaudRate, 57600);
      EXPECT_EQ(platform.clock_ms - t0, 150u) << "100 ms to settle, 50 ms for D0";
    }
    EXPECT_EQ(w.back(), "D0");
    EXPECT_EQ(state.link.AutoPowerDown, 0);
    EXPECT_EQ(state.link.PortStatus, 1);
    ASSERT_EQ(ZEL_CommPort(0, c.port, 0), 0);
    Writes();
  }
}

TEST_F(Frames, FailedOpenReportsAndLeavesNoUsableHandle) {
  platform.fail_open = true;
  std::uint64_t t0 = platform.clock_ms;
  EXPECT_EQ(ZEL_CommPort(1, 4, 115200), ZEL_ERR_PORT_OPEN);
  EXPECT_EQ(platform.clock_ms - t0, 100u);
  EXPECT_TRUE(Writes().empty()) << "no C and no D0 after a failed open";
  EXPECT_EQ(state.link.HighSpeedComm, 0);
  // A point cannot be measured without a port: refused at once, the outputs untouched.
  ZEL_InitVars(0);
  double r = -1, x = -1;
  t0 = platform.clock_ms;
  EXPECT_EQ(ZEL_ScanPoint(0, 10, &r, &x), ZEL_ERR_NOT_SENT);
  EXPECT_EQ(platform.clock_ms - t0, 0u);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(x, -1);
}

TEST_F(Frames, UnreadableLineSettingsAreLeftAlone) {
  platform.fail_get_line = true;
  EXPECT_EQ(ZEL_CommPort(1, 2, 0), 0);
  EXPECT_TRUE(platform.line_writes.empty());
  EXPECT_EQ(state.link.PortStatus, 1);
}

TEST_F(Frames, ReopenClosesTheOldHandleFirst) {
  ASSERT_EQ(ZEL_CommPort(1, 1, 0), 0);
  ASSERT_EQ(ZEL_CommPort(1, 2, 0), 0);
  EXPECT_EQ(platform.open_handles.size(), 1u);
  EXPECT_EQ(platform.closes, 1);
}

TEST_F(Frames, CloseIsFinalAndASecondCloseFails) {
  EXPECT_EQ(ZEL_CommPort(0, 1, 0), ZEL_ERR_PORT_CLOSE) << "nothing open yet";
  ASSERT_EQ(ZEL_CommPort(1, 1, 0), 0);
  Writes();
  std::uint64_t t0 = platform.clock_ms;
  EXPECT_EQ(ZEL_CommPort(0, 1, 0), 0);
  EXPECT_TRUE(Writes().empty()) << "D0 goes to the closed port and is lost";
  EXPECT_EQ(platform.clock_ms - t0, 50u);
  t0 = platform.clock_ms;
  EXPECT_EQ(ZEL_CommPort(0, 1, 0), ZEL_ERR_PORT_CLOSE);
  EXPECT_EQ(platform.clock_ms - t0, 0u) << "no D0 pause after a failed close";
  EXPECT_EQ(platform.closes, 1);
}

TEST_F(Frames, AutoPowerDownClearsOnlyPositiveStatus) {
  ASSERT_EQ(ZEL_CommPort(1, 1, 0), 0);
  ZEL_InitVars(0);
  Writes();
  state.frame.StatusCode = 34525;
  zel::SendAutoPowerDown(1);
  EXPECT_EQ(state.frame.StatusCode, 0);
  state.frame.StatusCode = -3;
  zel::SendAutoPowerDown(0);
  EXPECT_EQ(state.frame.StatusCode, -3);
  EXPECT_EQ(Writes(), (std::vector<std::string>{"D1", "D0"}));
}

TEST_F(Frames, AveragingMapsEveryRequest) {
  struct Case {
    int n;
    int high;
    int count;
    int byte;
    int scale;
  };
  const Case cases[] = {{300, 1, 1, 1, 16},    {-5, 0, 1, 1, 16},     {0, 0, 0, 1, 16},
                        {1, 0, 1, 1, 16},      {2, 0, 2, 2, 4},       {4, 0, 4, 4, 4},
                        {5, 0, 5, 5, 2},       {8, 0, 8, 8, 2},       {9, 0, 9, 9, 1},
                        {16, 0, 16, 16, 1},    {64, 0, 16, 16, 1},    {64, 1, 64, 64, 1},
                        {255, 1, 255, 255, 1}, {256, 1, 256, 200, 1}, {256, 0, 16, 16, 1}};
  ASSERT_EQ(ZEL_CommPort(1, 1, 0), 0);
  ZEL_InitVars(0);
  Writes();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    state.ident.HighAvgAllowed = c.high;
    state.frame.StatusCode = 34525;
    EXPECT_EQ(ZEL_AvgReadings(c.n), 0);
    EXPECT_EQ(state.measure.AvgCount, c.count);
    EXPECT_EQ(state.measure.ReadingScale, c.scale);
    auto w = Writes();
    ASSERT_EQ(w.size(), 1u);
    ASSERT_EQ(w[0].size(), 2u);
    EXPECT_EQ(w[0][0], 'J');
    EXPECT_EQ(static_cast<unsigned char>(w[0][1]), c.byte);
  }
}

TEST_F(Frames, SyncNeedsAControllerWithSyncOutput) {
  ZEL_InitVars(0);
  state.link.SyncMode = 2;
  EXPECT_EQ(ZEL_Sync(1), ZEL_ERR_NO_SYNC);
  EXPECT_EQ(state.link.SyncMode, 0);
  state.link.SyncEnabled = 12;
  EXPECT_EQ(ZEL_Sync(2), 0);
  EXPECT_EQ(state.link.SyncMode, 2);
  EXPECT_EQ(state.frame.InExportCall, 0);
}

// A peer that answers every frequency command with a fixed long record.
void AnswerFrequencies(ScriptedPeer& peer) {
  peer.on_write = [](const std::vector<std::uint8_t>& cmd, ScriptedPeer& self) {
    if (!cmd.empty() && (cmd[0] == 'F' || cmd[0] == 'U' || cmd[0] == 'E') && cmd.size() >= 9) {
      self.Queue(zeltest::LongRecord(zeltest::SineWords(1000, 0.2, 1500, 0.1)));
    }
  };
}

TEST_F(Frames, ScanPointRefusesCorrectedModeWithoutCalibration) {
  AnswerFrequencies(peer);
  ASSERT_EQ(ZEL_CommPort(1, 1, 0), 0);
  ZEL_InitVars(0);
  Writes();
  double r = 123, x = 456;
  int counter = state.frame.PointCounter;
  EXPECT_EQ(ZEL_ScanPoint(1, 10, &r, &x), ZEL_ERR_NOT_CALIBRATED);
  EXPECT_EQ(r, 123);
  EXPECT_EQ(x, 456);
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(state.frame.PointCounter, counter) << "refused calls do not count";
  EXPECT_EQ(state.frame.InExportCall, 0);
}

TEST_F(Frames, ScanPointSwitchesTheRelayOnceAndSendsSyncPulses) {
  AnswerFrequencies(peer);
  ASSERT_EQ(ZEL_CommPort(1, 1, 0), 0);
  ZEL_InitVars(0);
  state.link.SyncEnabled = 1;
  Writes();
  double r = 0, x = 0;
  ASSERT_EQ(ZEL_Sync(1), 0);
  ZEL_ScanPoint(0, 10, &r, &x);
  auto first = Writes();
  ASSERT_GE(first.size(), 4u);
  EXPECT_EQ(first[0], "K+");
  EXPECT_EQ(first[1], std::string("K\xAB"));
  EXPECT_EQ(first[2], std::string("J\x04"));
  EXPECT_EQ(first[3], "Z2");
  ZEL_ScanPoint(0, 10, &r, &x);
  auto second = Writes();
  ASSERT_FALSE(second.empty());
  EXPECT_NE(second[0], "Z2") << "mode 1 is one pulse";
  EXPECT_NE(second[0], "K+") << "the relay is already on";
  ASSERT_EQ(ZEL_Sync(2), 0);
  for (int i = 0; i < 2; ++i) {
    ZEL_ScanPoint(0, 10, &r, &x);
    auto w = Writes();
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w[0], "Z2");
  }
}

TEST_F(Frames, ScanPointOtherModesLeaveTheOutputsAlone) {
  AnswerFrequencies(peer);
  ASSERT_EQ(ZEL_CommPort(1, 1, 0), 0);
  ZEL_InitVars(0);
  state.cal.CalLoaded = 1;
  double r = 7, x = 8;
  ZEL_ScanPoint(2, 10, &r, &x);
  EXPECT_EQ(r, 7);
  EXPECT_EQ(x, 8);
  ZEL_ScanPoint(-1, 10, &r, &x);
  EXPECT_EQ(r, 7);
  EXPECT_EQ(ZEL_ScanPoint(0, 10, nullptr, nullptr), 0) << "null outputs are not written";
}

TEST_F(Frames, PeriodicCommandGoesOutOnEvery1001stPoint) {
  AnswerFrequencies(peer);
  ASSERT_EQ(ZEL_CommPort(1, 1, 0), 0);
  ZEL_InitVars(0);
  const std::string periodic("\x59\x25\x64\x29\x63\x1A\x7F", 7);
  double r, x;
  std::vector<int> sent_at;
  for (int i = 1; i <= 2002; ++i) {
    ZEL_ScanPoint(0, 10, &r, &x);
    for (auto& w : Writes())
      if (w == periodic) sent_at.push_back(i);
  }
  EXPECT_EQ(sent_at, (std::vector<int>{1001, 2002}));
}

TEST_F(Frames, FailuresCrossAsCodes) {
  ZEL_InitVars(0);
  // No port at all: the identification fails.
  char* a = ZEL_GetVersion(0);
  char* b = ZEL_GetVersion(0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(a, "34506");
  EXPECT_NE(a, b) << "a new block every call";
  std::free(a);
  std::free(b);
  EXPECT_EQ(ZEL_GetSerialNum(0), 6);
  // The standard model has neither sensor.
  EXPECT_EQ(ZEL_BitsToDouble(ZEL_GetRFVoltage(0)), 34517.0);
  EXPECT_EQ(state.ident.RFVolts, 34517.0);
  EXPECT_EQ(ZEL_BitsToDouble(ZEL_GetTemperature(0)), 34515.0);
  EXPECT_EQ(ZEL_BitsToDouble(ZEL_GetTemperature(1)), 34515.0);
  EXPECT_EQ(state.frame.InExportCall, 0);
}

TEST_F(Frames, LoadCalFileRefusesAPathThatDoesNotFit) {
  ZEL_InitVars(0);
  state.cal.CalLoaded = 1;
  std::string longpath(300, 'a');
  EXPECT_EQ(ZEL_LoadCalFile(longpath.c_str()), ZEL_ERR_CAL_PATH);
  EXPECT_EQ(state.cal.CalLoaded, 1) << "the calibration in use stays";
  std::string fits(255, 'b');
  EXPECT_EQ(ZEL_LoadCalFile(fits.c_str()), ZEL_ERR_CAL_OPEN);
  EXPECT_EQ(std::string(state.cal.CalFilePath), fits);
}

}  // namespace
