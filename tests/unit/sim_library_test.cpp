// The library's exported calls against the simulated instrument, in-process on the virtual clock.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "ZEL_863_DLL.h"
#include "support/sim_peer.h"
#include "text.h"

namespace {

using zelsim::Model;
using zeltest::SimBench;

zelsim::Config WithDut(Model m, const std::string& desc) {
  zelsim::Config c = zelsim::DefaultConfig(m);
  EXPECT_TRUE(zelsim::ParseDut(desc, &c.dut, nullptr));
  return c;
}

TEST(SimLibrary, EveryModelIdentifiesItself) {
  for (Model m : {Model::kLowRange, Model::kStandard, Model::kUhf, Model::kHighPower}) {
    SimBench bench(zelsim::DefaultConfig(m));
    EXPECT_EQ(bench.Connect(), zeltext::Lower(bench.sim.IdentText())) << zelsim::ModelName(m);
    EXPECT_EQ(bench.sim.counters().idents, 1);
    EXPECT_EQ(bench.sim.counters().unknown_bytes + bench.sim.counters().malformed, 0);
  }
}

TEST(SimLibrary, SerialNumbersFromTheReplyTheBuildTimeAndTheFlashDateCode) {
  {
    SimBench bench(zelsim::DefaultConfig(Model::kStandard));
    bench.Connect();
    EXPECT_EQ(ZEL_GetSerialNum(0), 12345);
  }
  {
    SimBench bench(zelsim::DefaultConfig(Model::kLowRange));  // built jan 10 2005 14:32:10
    bench.Connect();
    EXPECT_EQ(ZEL_GetSerialNum(0), 47392);
  }
  {
    // Erased flash is programmed with the date code of the fake clock, 2012-03-15 09:30:45.
    SimBench bench(zelsim::DefaultConfig(Model::kUhf));
    bench.Connect();
    EXPECT_EQ(bench.sim.counters().flash_writes, 1);
    EXPECT_EQ(bench.sim.FlashWord(4096), 3332);
    EXPECT_EQ(bench.sim.FlashWord(4097), 4106);
    EXPECT_EQ(bench.sim.FlashWord(4098), 7982);
    EXPECT_EQ(bench.sim.FlashWord(4099), 15420);
    bench.Connect();
    EXPECT_EQ(bench.sim.counters().flash_writes, 1);  // read back, not programmed again
  }
}

TEST(SimLibrary, UncorrectedPointsMatchTheInstrumentsRawImpedance) {
  struct Case {
    Model model;
    std::string dut;
    std::vector<double> freqs;
  } cases[] = {
      {Model::kLowRange, "antenna:f0=14.2,r=50,q=8", {1.8, 7.1, 14.2, 28.5}},
      {Model::kStandard, "series:r=25,l=300n", {3.5, 14.2, 50.0, 144.3}},
      {Model::kHighPower, "r=75,x=-20", {0.5, 10.0, 50.01, 160.0}},
      {Model::kUhf, "parallel:r=100,c=2p", {50.0, 146.0, 433.92, 700.0, 915.0}},
  };
  for (const auto& c : cases) {
    SimBench bench(WithDut(c.model, c.dut));
    bench.Connect();
    for (double f : c.freqs) {
      double r = 0, x = 0;
      EXPECT_EQ(ZEL_ScanPoint(0, f, &r, &x), 0) << c.dut << " at " << f;
      std::complex<double> want = bench.sim.RawImpedance(f);
      EXPECT_NEAR(std::abs(std::complex<double>(r, x) - want) / std::abs(want), 0, 0.01)
          << c.dut << " at " << f << ": " << r << " " << x << " vs " << want;
      EXPECT_NEAR(bench.sim.LastFrequencyMHz(), f, 0.06) << f;
    }
  }
}

TEST(SimLibrary, SensorsAndTheRelayGuard) {
  zelsim::Config cfg = zelsim::DefaultConfig(Model::kHighPower);
  cfg.rf_volts = 12.5;
  cfg.temp_f = 72;
  SimBench bench(cfg);
  bench.Connect();
  EXPECT_NEAR(ZEL_BitsToDouble(ZEL_GetRFVoltage(0)), 12.5, 0.02);
  EXPECT_NEAR(ZEL_BitsToDouble(ZEL_GetTemperature(1)), 72, 0.2);
  EXPECT_EQ(ZEL_ProgRelay(1), 0);
  EXPECT_EQ(bench.sim.state().relay_code, 3);
  EXPECT_EQ(ZEL_ProgRelay(0), 0);
  bench.sim.config().rf_volts = 30.2;
  EXPECT_EQ(ZEL_ProgRelay(1), ZEL_ERR_RF_OVERVOLTAGE);
  EXPECT_EQ(bench.sim.state().relay_code, 0);
}

TEST(SimLibrary, HighSpeedLinkAndFaultsSeenThroughTheLibrary) {
  SimBench bench(zelsim::DefaultConfig(Model::kStandard));
  ZEL_CommPort(1, 1, 115200);
  ZEL_InitVars(0);
  EXPECT_EQ(bench.sim.counters().rate_switches, 1);
  EXPECT_EQ(bench.sim.state().baud, 115000);
  EXPECT_EQ(bench.sim.counters().rate_mismatches, 0);
  char* v = ZEL_GetVersion(0);
  std::free(v);

  double r = 0, x = 0;
  bench.sim.faults().bad_checksums = 2;
  EXPECT_EQ(ZEL_ScanPoint(0, 14.2, &r, &x), 0);
  EXPECT_EQ(bench.sim.counters().resends, 2);
  EXPECT_NEAR(r, bench.sim.RawImpedance(14.2).real(), 1.0);

  bench.sim.faults().silent_replies = 1;
  EXPECT_EQ(ZEL_ScanPoint(0, 14.2, &r, &x), ZEL_ERR_NO_RECORD);

  bench.sim.faults().unplug_after_commands = 1;
  EXPECT_EQ(ZEL_ScanPoint(0, 14.2, &r, &x), ZEL_ERR_NO_RECORD);
  EXPECT_TRUE(bench.peer.unplugged());
  bench.peer.Replug();
  EXPECT_EQ(ZEL_ScanPoint(0, 14.2, &r, &x), 0);
}

TEST(SimLibrary, ShortOpenLoadCalibrationThroughTheLibraryRecoversTheDevice) {
  // A calibration run as a host does it: the three standards switched in on the simulator, every
  // grid point measured raw, the file written and loaded, then the antenna measured corrected.
  SimBench bench(WithDut(Model::kStandard, "short"));
  bench.Connect();
  const int points = 180 + 3;
  std::vector<double> re[3], im[3];
  const char* standards[] = {"short", "open", "load"};
  for (int k = 0; k < 3; ++k) {
    zelsim::Dut d;
    ASSERT_TRUE(zelsim::ParseDut(standards[k], &d, nullptr));
    bench.sim.SetDut(d);
    for (int i = 0; i < points; ++i) {
      double r = 0, x = 0;
      ZEL_ScanPoint(0, i, &r, &x);
      re[k].push_back(r);
      im[k].push_back(x);
    }
  }
  ZEL_CalSpec desc{};
  desc.rcal_ohms = 50;
  desc.temperature_f = 72;
  desc.from_mode0 = 1;
  std::string path = testing::TempDir() + "/sim_library_cal.txt";
  ASSERT_EQ(ZEL_WriteCalFile(path.c_str(), &desc, re[0].data(), im[0].data(), re[1].data(),
                             im[1].data(), re[2].data(), im[2].data()),
            0);
  ASSERT_EQ(ZEL_LoadCalFile(path.c_str()), 0);
  std::remove(path.c_str());

  zelsim::Dut antenna;
  ASSERT_TRUE(zelsim::ParseDut("antenna:f0=14.2,r=40,q=6", &antenna, nullptr));
  bench.sim.SetDut(antenna);
  for (double f : {3.7, 10.1, 13.9, 14.2, 14.35, 18.1, 28.4, 50.01, 144.2}) {
    double r = 0, x = 0;
    EXPECT_EQ(ZEL_ScanPoint(1, f, &r, &x), 0) << f;
    std::complex<double> want = bench.sim.TrueImpedance(f);
    std::complex<double> raw = bench.sim.RawImpedance(f);
    EXPECT_NEAR(std::abs(std::complex<double>(r, x) - want) / std::abs(want), 0, 0.01)
        << f << ": " << r << " " << x << " vs " << want;
    EXPECT_GT(std::abs(raw - want) / std::abs(want), 0.03) << f;  // the correction did the work
  }
}

}  // namespace
