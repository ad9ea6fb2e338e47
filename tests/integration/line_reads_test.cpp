// Reads on a real line as a host sees them: the simulator paced at the wire rate behind a
// pseudo-terminal, with the faults that leave bytes over, cut a reply short or hold it back. The
// library takes whatever is waiting in one read and sleeps through the rest of a reply's wire
// time; none of that may lose, reorder or invent a byte, nor change how long a time-out takes.
#include <gtest/gtest.h>

#include <chrono>
#include <complex>
#include <functional>
#include <string>

#include "ZEL_863_DLL.h"
#include "integration/support/pty_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// The point at f is measured from a whole, aligned record: the simulator's own raw impedance.
void ExpectMeasuredRight(zeltest::PtySim& sim, double f) {
  double r = 0, x = 0;
  ASSERT_EQ(ZEL_ScanPoint(0, f, &r, &x), ZEL_OK) << f;
  auto want = sim.WithSim([&](zelsim::Simulator& s) { return s.RawImpedance(f); });
  EXPECT_NEAR(std::abs(std::complex<double>(r, x) - want) / std::abs(want), 0, 0.01) << f;
}

TEST(LineReads, PacedRepliesSurviveLineFaultsAndTimeOutsKeepTheirLength) {
  struct Case {
    const char* what;
    int rate;
    std::function<void(zelsim::Faults&)> fault;
    int status;  // of the point under the fault
    // "R" commands it took. Leftover bytes are dropped up to the first quiet millisecond; on a
    // loaded machine the simulator's thread can leave such a pause inside a reply, and the rest
    // then costs another resend.
    int min_resends, max_resends;
    long long min_ms, max_ms;
  };
  const Case cases[] = {
      {"garbage before the record, the record's tail left over", 57600,
       [](zelsim::Faults& f) {
         f.garbage_replies = 1;
         f.garbage_bytes = 5;
       },
       ZEL_OK, 1, 4, 0, 500},
      {"more garbage than a record", 115000,
       [](zelsim::Faults& f) {
         f.garbage_replies = 1;
         f.garbage_bytes = 80;
       },
       ZEL_OK, 1, 4, 0, 500},
      {"two bad checksums", 115000, [](zelsim::Faults& f) { f.bad_checksums = 2; }, ZEL_OK, 2, 2, 0,
       500},
      {"a reply held back", 57600, [](zelsim::Faults& f) { f.extra_latency_ms = 40; }, ZEL_OK, 0, 0,
       40, 500},
      // 2000 empty reads of about 1 ms after the first 40 bytes, as before any byte came.
      {"a reply cut after 40 bytes", 57600,
       [](zelsim::Faults& f) {
         f.cut_replies = 1;
         f.cut_after_bytes = 40;
       },
       ZEL_ERR_NO_RECORD, 0, 0, 2000, 3000},
      {"a reply cut after 71 bytes", 115000,
       [](zelsim::Faults& f) {
         f.cut_replies = 1;
         f.cut_after_bytes = 71;
       },
       ZEL_ERR_NO_RECORD, 0, 0, 2000, 3000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + " at " + std::to_string(c.rate));
    zelsim::Config cfg = zelsim::DefaultConfig(zelsim::Model::kStandard);
    cfg.paced = true;
    ASSERT_TRUE(zelsim::ParseDut("antenna:f0=14.2,r=50,q=10", &cfg.dut, nullptr));
    zeltest::PtySim sim(cfg, 4);
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_EQ(ZEL_CommPort(1, 4, c.rate), ZEL_OK);
    ZEL_InitVars(0);
    ZEL_GetSerialNum(0);
    ExpectMeasuredRight(sim, 14.2);

    const int resends_before = sim.counters().resends;
    sim.WithSim([&](zelsim::Simulator& s) {
      c.fault(s.faults());
      return 0;
    });
    double r = 0, x = 0;
    auto t0 = Clock::now();
    EXPECT_EQ(ZEL_ScanPoint(0, 21.0, &r, &x), c.status);
    const long long ms = MsSince(t0);
    EXPECT_GE(ms, c.min_ms);
    EXPECT_LE(ms, c.max_ms);
    const int resends = sim.counters().resends - resends_before;
    EXPECT_GE(resends, c.min_resends);
    EXPECT_LE(resends, c.max_resends);

    // Nothing of the fault is left on the line or in the library: the next points are whole.
    ExpectMeasuredRight(sim, 7.0);
    ExpectMeasuredRight(sim, 14.2);
    EXPECT_EQ(ZEL_CommPort(0, 4, 0), ZEL_OK);
  }
}

TEST(LineReads, PacedSensorRepliesAreReadWhole) {
  zelsim::Config cfg = zelsim::DefaultConfig(zelsim::Model::kHighPower);
  cfg.paced = true;
  cfg.rf_volts = 12.5;
  cfg.temp_f = 80;
  zeltest::PtySim sim(cfg, 4);
  ASSERT_TRUE(sim.ok()) << sim.error();
  ASSERT_EQ(ZEL_CommPort(1, 4, 115200), ZEL_OK);
  ZEL_InitVars(0);
  ZEL_GetSerialNum(0);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(ZEL_BitsToDouble(ZEL_GetRFVoltage(0)), 12.5, 0.3);
    EXPECT_NEAR(ZEL_BitsToDouble(ZEL_GetTemperature(1)), 80, 1.0);
  }
  EXPECT_EQ(ZEL_CommPort(0, 4, 0), ZEL_OK);
}

}  // namespace
