// The relay command with the high-power model's RF voltage guard, against a scripted controller
// whose RF sensor answers with a given converter count.
#include "instrument/relay.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ZEL_863_DLL.h"
#include "platform/fake/fake_platform.h"
#include "state/defaults.h"
#include "state/state.h"
#include "support/engine_test.h"

using zel::state;
using zel::platform::FakePlatform;
using zel::platform::ScriptedPeer;

namespace {

const std::string kOn1("K\x2B"), kOn2("K\xAB");
const std::string kOff1("K\x28"), kOff2("K\xA8");
const std::string kAvg4("J\x04");
std::string RelayCommand(int byte) {
  return std::string(1, 'K') + static_cast<char>(byte);
}
// Converter counts either side of the 30.1 V limit: 30.06 V and 30.22 V.
constexpr int kRawBelowLimit = 1790;
constexpr int kRawAboveLimit = 1800;

class Relay : public zeltest::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    peer.on_write = [this](const std::vector<std::uint8_t>& cmd, ScriptedPeer& self) {
      if (std::string(cmd.begin(), cmd.end()) == "Z4" && raw >= 0)
        self.Queue(std::vector<std::uint8_t>{static_cast<std::uint8_t>(raw >> 8),
                                             static_cast<std::uint8_t>(raw)});
    };
  }

  int raw = -1;  // the RF sensor's count; -1: no answer
};

TEST_F(Relay, StandardModelSwitchesThenWaitsThenRestoresAveraging) {
  state.ident.RFVolts = 99;  // not this model's: cleared before the guard
  state.frame.StatusCode = 34525;
  zel::ProgramRelay(3);
  EXPECT_EQ(state.frame.StatusCode, 0);
  ASSERT_EQ(platform.writes.size(), 3u);
  EXPECT_EQ(platform.writes[0].Text(), kOn1);
  EXPECT_EQ(platform.writes[1].Text(), kOn2);
  EXPECT_EQ(platform.writes[2].Text(), kAvg4);
  EXPECT_EQ(platform.writes[2].at_ms - platform.writes[1].at_ms, 100u);
  EXPECT_EQ(state.link.RelayState, 3);
  EXPECT_EQ(state.link.PrevRelayCode, 3);
  EXPECT_EQ(state.ident.RFVolts, 0);
}

TEST_F(Relay, HighPowerModelRefusesAboveTheVoltageLimit) {
  struct Case {
    const char* name;
    int prev_code;
    double held_volts;
    int sensor_raw;
    int code;
    bool reads_sensor;
    bool sent;
  };
  const Case cases[] = {
      {"held 30.1, same code: no read, sent", 3, 30.1, -1, 3, false, true},
      {"held 30.2, same code: no read, refused", 3, 30.2, -1, 3, false, false},
      {"read below the limit: sent", 0, 0, kRawBelowLimit, 3, true, true},
      {"read above the limit: refused", 0, 0, kRawAboveLimit, 3, true, false},
      // A failed ZEL_GetRFVoltage leaves its code in RFVolts.
      {"failure code held, same code: refused", 3, 34518, kRawBelowLimit, 3, false, false},
      {"failure code held, other code: read again", 3, 34518, kRawBelowLimit, 1, true, true},
      {"off uses the held voltage", 3, 45, kRawBelowLimit, 0, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    state.ident.PowerModel = 1;
    state.link.PrevRelayCode = c.prev_code;
    state.ident.RFVolts = c.held_volts;
    raw = c.sensor_raw;
    zel::ProgramRelay(c.code);
    const auto w = Writes();
    const bool read = !w.empty() && w[0] == "Z4";
    EXPECT_EQ(read, c.reads_sensor);
    EXPECT_EQ(state.link.RelayState, c.code) << "the code is kept even when refused";
    if (c.sent) {
      EXPECT_EQ(state.frame.StatusCode, 0);
      ASSERT_EQ(w.size(), read ? 4u : 3u);
      const std::size_t k = read ? 1 : 0;
      EXPECT_EQ(w[k], RelayCommand(40 + c.code));
      EXPECT_EQ(w[k + 1], RelayCommand(168 + c.code));
      EXPECT_EQ(w.back(), kAvg4);
      EXPECT_EQ(state.link.PrevRelayCode, c.code);
    } else {
      EXPECT_EQ(state.frame.StatusCode, 34506);
      EXPECT_EQ(w.size(), read ? 1u : 0u) << "no relay command after a refusal";
      EXPECT_EQ(state.link.PrevRelayCode, c.prev_code);
    }
  }
}

TEST_F(Relay, VoltageReadWithoutReplyIsStillReported) {
  state.ident.PowerModel = 1;
  state.ident.RFVolts = 10;
  raw = -1;
  zel::ProgramRelay(3);
  EXPECT_EQ(Writes(), (std::vector<std::string>{"Z4", kOn1, kOn2, kAvg4}));
  EXPECT_EQ(state.ident.RFVolts, 10);
  EXPECT_EQ(state.frame.StatusCode, 34518) << "the averaging command must not hide the time-out";
}

TEST_F(Relay, ConstantFrequencyHoldsTheRelayUntilProgRelayClearsIt) {
  state.link.RelayState = 1;
  state.frame.ConstantFreqActive = 1;
  zel::ProgramRelay(0);
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(state.link.RelayState, 1);
  EXPECT_EQ(state.frame.StatusCode, 0);
  EXPECT_EQ(ZEL_ProgRelay(0), 0);
  EXPECT_EQ(Writes(), (std::vector<std::string>{kOff1, kOff2, kAvg4}));
  EXPECT_EQ(state.frame.ConstantFreqActive, 0);
  EXPECT_EQ(state.link.RelayState, 0);
}

TEST_F(Relay, WithoutRelayControlOnlyTheWaitAndAveragingHappen) {
  zel::ResetState();  // load-time zeros: RelayControl 0
  platform.OpenPort(1, &state.link.CommHandle);
  state.measure.AvgCount = 4;
  state.ident.PowerModel = 1;
  state.ident.RFVolts = 45;  // neither read nor cleared without relay control
  const std::uint64_t before = platform.clock_ms;
  zel::ProgramRelay(1);
  EXPECT_TRUE(Writes().empty()) << "over the limit: nothing at all";
  EXPECT_EQ(state.frame.StatusCode, 0) << "no refusal is reported without relay control";
  state.ident.RFVolts = 0;
  zel::ProgramRelay(1);
  EXPECT_EQ(Writes(), (std::vector<std::string>{kAvg4}));
  EXPECT_EQ(platform.clock_ms - before, 100u);
  EXPECT_EQ(state.link.RelayState, 1);
}

}  // namespace
