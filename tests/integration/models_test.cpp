// Each of the four models over a real pseudo-terminal, through the C interface only: identify,
// measure a known device in raw mode against the simulator's own raw impedance, hold a frequency,
// read the sensors, switch the relay.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <string>

#include "ZEL_863_DLL.h"
#include "integration/support/pty_sim.h"

namespace {

struct ModelCase {
  zelsim::Model model;
  int code;           // ZEL_MODEL_*
  const char* token;  // what the version text must name
  double freq_mhz;    // a raw point inside the model's range
  double max_mhz;     // the highest frequency a held generator is clamped to
  bool rf_sensor;
  bool temp_sensor;
};

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

class Models : public ::testing::TestWithParam<ModelCase> {};

TEST_P(Models, IdentifyMeasureHoldAndReadSensors) {
  const ModelCase& c = GetParam();
  zelsim::Config cfg = zelsim::DefaultConfig(c.model);
  cfg.rf_volts = 12.5;
  cfg.temp_f = 80;
  std::string err;
  ASSERT_TRUE(zelsim::ParseDut("r=30,x=20", &cfg.dut, &err)) << err;
  zeltest::PtySim sim(cfg, 4);
  ASSERT_TRUE(sim.ok()) << sim.error();

  ASSERT_EQ(ZEL_CommPort(1, 4, 57600), ZEL_OK);
  ZEL_InitVars(0);
  char* version = ZEL_GetVersion(0);
  ASSERT_NE(version, nullptr);
  std::string text = version;
  std::free(version);
  EXPECT_NE(text.find(c.token), std::string::npos) << text;
  std::string ident = sim.WithSim([](zelsim::Simulator& s) { return s.IdentText(); });
  EXPECT_EQ(text, Lower(ident)) << "the first byte dropped, the rest in lower case";
  const int serial = ZEL_GetSerialNum(0);
  EXPECT_NE(serial, 6);

  // What the library tells a host of the unit agrees with the identification it ran.
  ZEL_UnitInfo info;
  ASSERT_EQ(ZEL_GetUnitInfo(&info), 0);
  EXPECT_EQ(info.identified, 1);
  EXPECT_EQ(info.model, c.code);
  EXPECT_EQ(info.serial_number, serial);
  EXPECT_EQ(info.max_freq_mhz, c.max_mhz);
  const zelsim::ModelInfo& model = zelsim::Info(c.model);
  EXPECT_EQ(info.rgen_ohms, model.rgen_ohms);
  EXPECT_EQ(info.rref_ohms, model.rref_ohms);
  EXPECT_EQ(info.rf_sensor, c.rf_sensor ? 1 : 0);
  EXPECT_EQ(info.temp_sensor, c.temp_sensor ? 1 : 0);
  EXPECT_EQ(std::string(info.device), sim.path()) << "the device as ZEL_COM<n> names it";
  EXPECT_EQ(info.baud_rate, 57600);
  EXPECT_EQ(std::string(info.ident_text), text);
  EXPECT_EQ(info.record_bytes, text.find("sfd ") != std::string::npos ? 67 : 72);
  EXPECT_EQ(info.max_baud, text.find("maxbaud115") != std::string::npos ? 115000 : 57600);
  EXPECT_NE(std::string(info.firmware), "");
  EXPECT_EQ(ZEL_GetUnitInfo(nullptr), -1);

  // A raw point: the library's Rs + jXs is the simulator's error-laden impedance.
  ASSERT_EQ(ZEL_AvgReadings(16), ZEL_OK);
  double r = 0, x = 0;
  EXPECT_EQ(ZEL_ScanPoint(0, c.freq_mhz, &r, &x), ZEL_OK);
  auto raw = sim.WithSim([&](zelsim::Simulator& s) { return s.RawImpedance(c.freq_mhz); });
  auto truth = sim.WithSim([&](zelsim::Simulator& s) { return s.TrueImpedance(c.freq_mhz); });
  const double tol = 0.01 * std::abs(raw) + 0.2;
  EXPECT_NEAR(r, raw.real(), tol);
  EXPECT_NEAR(x, raw.imag(), tol);
  EXPECT_GT(std::abs(std::complex<double>(r, x) - truth), tol)
      << "raw readings carry the instrument's own errors";
  EXPECT_EQ(sim.state().relay_code, 3);

  // Hold a frequency above the range: clamped to the model's maximum.
  ASSERT_EQ(ZEL_ConstantFreq(1, 1e6), ZEL_OK);
  EXPECT_EQ(sim.state().relay_code, 1);
  double held = sim.WithSim([](zelsim::Simulator& s) { return s.LastFrequencyMHz(); });
  EXPECT_NEAR(held, c.max_mhz, 1e-3 * c.max_mhz);
  ASSERT_EQ(ZEL_ConstantFreq(0, 0), ZEL_OK);
  EXPECT_EQ(sim.state().relay_code, 0);

  double volts = ZEL_BitsToDouble(ZEL_GetRFVoltage(0));
  if (c.rf_sensor) {
    EXPECT_NEAR(volts, 12.5, 0.1);
  } else {
    EXPECT_EQ(volts, ZEL_ERR_NO_RF_SENSOR);
  }
  double temp_f = ZEL_BitsToDouble(ZEL_GetTemperature(1));
  double temp_c = ZEL_BitsToDouble(ZEL_GetTemperature(0));
  if (c.temp_sensor) {
    EXPECT_NEAR(temp_f, 80, 1.0);
    EXPECT_NEAR(temp_c, (temp_f - 32) * 5 / 9, 0.2);
  } else {
    EXPECT_EQ(temp_f, ZEL_ERR_NO_TEMP_SENSOR);
    EXPECT_EQ(temp_c, ZEL_ERR_NO_TEMP_SENSOR);
  }

  EXPECT_EQ(ZEL_ProgRelay(1), ZEL_OK);
  EXPECT_EQ(sim.state().relay_code, 3);
  EXPECT_EQ(ZEL_ProgRelay(0), ZEL_OK);
  EXPECT_EQ(sim.state().relay_code, 0);
  EXPECT_EQ(ZEL_CommPort(0, 4, 0), ZEL_OK);
  ASSERT_EQ(ZEL_GetUnitInfo(&info), 0);
  EXPECT_EQ(std::string(info.device), "") << "no port open";
  EXPECT_EQ(info.baud_rate, 0);
}

INSTANTIATE_TEST_SUITE_P(
    AllFour, Models,
    ::testing::Values(
        ModelCase{zelsim::Model::kLowRange, ZEL_MODEL_LOW_RANGE, "zelkq3", 10, 32, false, false},
        ModelCase{zelsim::Model::kStandard, ZEL_MODEL_STANDARD, "kq", 100.01, 180, false, false},
        ModelCase{zelsim::Model::kUhf, ZEL_MODEL_UHF, " uhf", 700, 1000, false, true},
        ModelCase{zelsim::Model::kHighPower, ZEL_MODEL_HIGH_POWER, "powerzel", 50.3, 170, true,
                  true}),
    [](const ::testing::TestParamInfo<ModelCase>& p) {
      return std::string(zelsim::ModelName(p.param.model));
    });

TEST(ModelsFast, HighSpeedLinkMeasuresTheSame) {
  zelsim::Config cfg = zelsim::DefaultConfig(zelsim::Model::kStandard);
  cfg.paced = true;
  zeltest::PtySim sim(cfg, 5);
  ASSERT_TRUE(sim.ok()) << sim.error();
  ASSERT_EQ(ZEL_CommPort(1, 5, 115200), ZEL_OK);
  EXPECT_EQ(sim.state().baud, 115000);
  ZEL_InitVars(0);
  EXPECT_NE(ZEL_GetSerialNum(0), 6);
  ZEL_UnitInfo info;
  ASSERT_EQ(ZEL_GetUnitInfo(&info), 0);
  EXPECT_EQ(info.baud_rate, 115000) << "the line's rate, whatever ZEL_InitVars left in the state";
  double r = 0, x = 0;
  EXPECT_EQ(ZEL_ScanPoint(0, 14.2, &r, &x), ZEL_OK);
  auto raw = sim.WithSim([](zelsim::Simulator& s) { return s.RawImpedance(14.2); });
  EXPECT_NEAR(r, raw.real(), 0.02 * std::abs(raw) + 0.3);
  EXPECT_NEAR(x, raw.imag(), 0.02 * std::abs(raw) + 0.3);
  EXPECT_EQ(ZEL_CommPort(0, 5, 0), ZEL_OK);
}

}  // namespace
