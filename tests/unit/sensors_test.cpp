// The RF voltage and temperature readings against a scripted controller that answers the sensor
// commands with a given converter count.
#include "instrument/sensors.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ZEL_863_DLL.h"
#include "platform/fake/fake_platform.h"
#include "state/defaults.h"
#include "state/state.h"
#include "support/engine_test.h"
#ifdef ZEL_HAVE_SIM
#include "support/sim_peer.h"
#endif

using zel::state;
using zel::platform::FakePlatform;
using zel::platform::ScriptedPeer;

namespace {

class Sensors : public zeltest::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    peer.on_write = [this](const std::vector<std::uint8_t>&, ScriptedPeer& self) {
      if (raw >= 0)
        self.Queue(std::vector<std::uint8_t>{static_cast<std::uint8_t>(raw >> 8),
                                             static_cast<std::uint8_t>(raw)});
    };
  }

  int raw = -1;  // the converter count the controller answers with; -1: no answer
};

double RFVoltsFor(int raw) {
  return (raw * 3.3 / 4096 + 0.052) * 20.12;
}

TEST_F(Sensors, RFVoltageScalesTheCountAboveTheDiodeThreshold) {
  struct Case {
    int raw;
    double volts;
  };
  const Case cases[] = {
      {87, RFVoltsFor(87)},  // 0.0701 V at the converter: about 2.46 V
      {86, 0},               // below 0.07 V: nothing
      {0, 0},
      {4095, RFVoltsFor(4095)},  // full scale, about 67.4 V
      {4097, RFVoltsFor(4097)},  // still taken as a count
  };
  state.ident.PowerModel = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    raw = c.raw;
    zel::ReadRFVoltage();
    EXPECT_EQ(state.frame.StatusCode, 0);
    EXPECT_DOUBLE_EQ(state.ident.RFVolts, c.volts);
    EXPECT_EQ(Writes(), (std::vector<std::string>{"Z4"}));
  }
  EXPECT_NEAR(RFVoltsFor(87), 2.46, 0.005);
  EXPECT_TRUE(platform.notices.empty());
}

// Two bytes without a checksum: a count no 12-bit converter gives is a garbled reply. It must not
// read as 0 V (the relay guard would switch on it) or as a temperature, with success.
TEST_F(Sensors, GarbledCountsFailAndKeepTheHeldValues) {
  state.ident.PowerModel = 1;
  state.ident.TempF = 71;
  for (int garbled : {4098, 0x3FFF, 0xFFFF}) {
    SCOPED_TRACE(garbled);
    raw = garbled;
    zel::ReadTemperature();
    EXPECT_EQ(state.frame.StatusCode, 34516);
    EXPECT_EQ(state.ident.TempF, 71);
  }
  state.ident.RFVolts = 12;
  raw = 0x1002;  // 4098
  zel::ReadRFVoltage();
  EXPECT_EQ(state.frame.StatusCode, 34518);
  EXPECT_EQ(state.ident.RFVolts, 12);
  ASSERT_EQ(platform.notices.size(), 1u);
  EXPECT_EQ(platform.notices[0].title, " Comm error 3732");
  EXPECT_EQ(platform.notices[0].text,
            "Comm error while reading RF voltage.\r\n\r\nCheck the comm port.\r\n\r\n"
            "   Raw RF voltage data =  4098");
  EXPECT_EQ(platform.notices[0].flags, zel::platform::kNoticeTopmost);
}

TEST_F(Sensors, ModelWithoutSensorsSendsNothing) {
  state.ident.StandardModel = 1;
  state.ident.RFVolts = 5;
  state.ident.TempF = 60;
  raw = 1000;
  zel::ReadRFVoltage();
  EXPECT_EQ(state.frame.StatusCode, 34517);
  EXPECT_EQ(state.ident.RFVolts, 0);
  zel::ReadTemperature();
  EXPECT_EQ(state.frame.StatusCode, 34515);
  EXPECT_EQ(state.ident.TempF, 85.123);
  EXPECT_TRUE(Writes().empty());
}

TEST_F(Sensors, TemperatureOfEachModelWithSmoothing) {
  struct Case {
    int power, uhf;
    int raw;
    double held;      // TempF before
    double expected;  // TempF after
    const char* command;
  };
  // 931 counts are 0.7501 V: 70.03 F on the high-power sensor; 1224 counts are 0.9861 V:
  // 22.06 F on the UHF sensor, which wins when both flags are set.
  const double t_power = ((931 * 3.3 / 4096 - 0.5) / 0.01 + 40) * 1.8 - 40 - 7;
  const double t_uhf = ((1224 * 3.3 / 4096 - 0.986) / 0.00355 + 40) * 1.8 - 40 - 10;
  const Case cases[] = {
      {1, 0, 931, 69.5, 69.5 + (t_power - 69.5) * 0.1, "Z7"},
      {1, 0, 931, 0, t_power, "Z7"},     // first reading replaces the load-time 0
      {1, 0, 931, 72.1, t_power, "Z7"},  // a jump of 2 degrees or more is taken at once
      {1, 0, 931, 71.9, 71.9 + (t_power - 71.9) * 0.1, "Z7"},
      {0, 1, 1224, 0, t_uhf, "ZT"},
      {1, 1, 1224, 0, t_uhf, "Z7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.held);
    state.ident.PowerModel = c.power;
    state.ident.UhfModel = c.uhf;
    state.ident.TempF = c.held;
    raw = c.raw;
    zel::ReadTemperature();
    EXPECT_EQ(state.frame.StatusCode, 0);
    EXPECT_DOUBLE_EQ(state.ident.TempF, c.expected);
    EXPECT_EQ(Writes(), (std::vector<std::string>{c.command}));
  }
  EXPECT_NEAR(t_power, 70, 0.05);
  EXPECT_NEAR(t_uhf, 22, 0.1);
}

TEST_F(Sensors, TimeOutsKeepTheHeldValues) {
  state.ident.PowerModel = 1;
  state.ident.RFVolts = 12.5;
  state.ident.TempF = 71;
  raw = -1;
  zel::ReadRFVoltage();
  EXPECT_EQ(state.frame.StatusCode, 34518);
  EXPECT_EQ(state.ident.RFVolts, 12.5);
  EXPECT_STREQ(state.frame.TextBuf, " Check analyzer power and comm cable");
  zel::ReadTemperature();
  EXPECT_EQ(state.frame.StatusCode, 34516);
  EXPECT_EQ(state.ident.TempF, 71);
}

}  // namespace

#ifdef ZEL_HAVE_SIM
namespace {

TEST(SensorsSim, ReadingsFollowTheSimulatedInstrument) {
  struct Case {
    zelsim::Model model;
    double rf_volts;  // what ZEL_GetRFVoltage gives, or its failure code
    double temp_tolerance_f;
  };
  const Case cases[] = {
      {zelsim::Model::kHighPower, 20, 0.2},
      {zelsim::Model::kUhf, 34517, 0.5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(zelsim::ModelName(c.model));
    auto config = zelsim::DefaultConfig(c.model);
    config.noise = 0;
    config.rf_volts = 20;
    config.temp_f = 72;
    zeltest::SimBench bench(config);
    bench.Connect();
    EXPECT_NEAR(ZEL_BitsToDouble(ZEL_GetRFVoltage(0)), c.rf_volts, 0.1);
    EXPECT_NEAR(ZEL_BitsToDouble(ZEL_GetTemperature(1)), 72, c.temp_tolerance_f);
    EXPECT_NEAR(ZEL_BitsToDouble(ZEL_GetTemperature(0)), (72 - 32) / 1.8, c.temp_tolerance_f);
  }
}

}  // namespace
#endif
