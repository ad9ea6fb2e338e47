// No wrong reading reported as success, and a refused input changes nothing: late replies left
// on the line, records that keep failing their checksum, frequencies that are not frequencies,
// commands that cannot be sent, and calls from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "ZEL_863_DLL.h"
#include "ident/identify.h"
#include "platform/fake/fake_platform.h"
#include "state/defaults.h"
#include "state/state.h"
#include "support/records.h"
#ifdef ZEL_HAVE_SIM
#include "support/sim_peer.h"
#endif

using zel::state;
using zel::platform::FakePlatform;
using zel::platform::ScriptedPeer;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// A controller that answers every request the library makes with a fixed reply.
struct Controller {
  Bytes record = zeltest::LongRecord(zeltest::SineWords(3000, 0.3, 8000, 0.1));
  std::string ident = "\rZELKQB ver 4.75 Jan 10 2005 14:32:10 ddsclk=400 sn=123456 ?";
  Bytes sensor = {0x01, 0xF4};                                     // raw 500
  Bytes flash = {0x0D, 0x04, 0x10, 0x0A, 0x1F, 0x2E, 0x3C, 0x3C};  // a valid date code

  void Answer(const Bytes& cmd, ScriptedPeer& self) const {
    if (cmd.empty()) return;
    if (cmd[0] == 'F' || cmd[0] == 'U' || cmd[0] == 'R') self.Queue(record);
    if (cmd[0] == 'V') self.Queue(ident);
    if (cmd.size() == 2 && cmd[0] == 'Z' && (cmd[1] == '4' || cmd[1] == '7' || cmd[1] == 'T'))
      self.Queue(sensor);
    if (cmd.size() == 7 && cmd[0] == 'Z' && cmd[1] == 'R') self.Queue(flash);
  }
};

class Integrity : public ::testing::Test {
 protected:
  // The library freshly loaded, the port open and the defaults set.
  void Fresh() {
    zel::ResetState();
    peer.rx.clear();
    peer.on_write = [this](const Bytes& cmd, ScriptedPeer& self) { controller.Answer(cmd, self); };
    ASSERT_EQ(ZEL_CommPort(1, 1, 57600), 0);
    ZEL_InitVars(0);
    platform.writes.clear();
  }

  Controller controller;
  ScriptedPeer peer;
  FakePlatform platform{&peer};
  zel::platform::ScopedPlatform scope{&platform};
};

// A reply that came after its call had given up waits on the line. Every request drops it
// before it is written, so the call reads its own reply; without that each call reads the reply
// meant for the one before.
TEST_F(Integrity, EveryRequestDropsWhatWaitsOnTheLineBeforeItIsWritten) {
  struct Case {
    const char* what;
    std::function<void()> model;
    Bytes stale;
    std::function<double()> call;
  };
  const Case cases[] = {
      {"point", [] {}, zeltest::LongRecord(zeltest::SineWords(1000, 1.2, 8000, 0.1)),
       [] {
         double r = 0, x = 0;
         EXPECT_EQ(ZEL_ScanPoint(0, 10, &r, &x), 0);
         return r;
       }},
      {"temperature", [] { state.ident.UhfModel = 1; }, Bytes{0x0F, 0xFF},
       [] { return ZEL_BitsToDouble(ZEL_GetTemperature(1)); }},
      {"RF voltage", [] { state.ident.PowerModel = 1; }, Bytes{0x00, 0x00},
       [] { return ZEL_BitsToDouble(ZEL_GetRFVoltage(0)); }},
      {"identification", [] {}, B("\rZELKQB ver 4.75 Jan 10 2005 14:32:10 sn=999999 ?"),
       [] { return static_cast<double>(ZEL_GetSerialNum(0)); }},
      {"flash read", [] {}, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
       [] {
         zel::ReadFlashWords(4, 4096);
         EXPECT_EQ(state.frame.StatusCode, 0);
         return static_cast<double>(state.link.RxWords[0]);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    c.model();
    const double clean = c.call();
    Fresh();
    c.model();
    peer.Queue(c.stale);
    EXPECT_EQ(c.call(), clean);
    EXPECT_TRUE(peer.rx.empty());
  }
}

TEST_F(Integrity, OpeningThePortEmptiesTheLine) {
  Fresh();
  peer.Queue(controller.record);
  const int purges = platform.purges;
  ASSERT_EQ(ZEL_CommPort(1, 1, 57600), 0);
  EXPECT_GT(platform.purges, purges);
  EXPECT_TRUE(peer.rx.empty());
}

// Five bad checksums in a row: the four "R" commands go out as before, and the point is a
// failure, also when the averaging is raised for a low frequency or the point is stepped.
TEST_F(Integrity, APointWhoseRecordsAllFailTheirChecksumFails) {
  struct Case {
    double mhz;
    int bad_records;
    int status;
  };
  const Case cases[] = {{10, 4, 0},
                        {10, 5, ZEL_ERR_RECORD_CHECKSUM},
                        {0.1, 5, ZEL_ERR_RECORD_CHECKSUM},
                        {50.01, 5, ZEL_ERR_RECORD_CHECKSUM}};  // stepped: the lower pass fails
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mhz);
    Fresh();
    state.ident.StandardModel = 1;
    zel::ApplyModelParameters();
    Bytes bad = controller.record;
    bad[71] ^= 0x01;
    int left = c.bad_records;
    peer.on_write = [&](const Bytes& cmd, ScriptedPeer& self) {
      if (cmd[0] != 'F' && cmd[0] != 'R') return;
      self.Queue(left > 0 ? bad : controller.record);
      --left;
    };
    double r = 0, x = 0;
    EXPECT_EQ(ZEL_ScanPoint(0, c.mhz, &r, &x), c.status);
    int resends = 0;
    for (const auto& w : platform.writes) resends += w.Text() == "R";
    EXPECT_EQ(resends, 4);
  }
}

TEST_F(Integrity, AFrequencyThatIsNoFrequencyIsRefusedBeforeAnythingIsSent) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double f : {nan, -nan, inf, -inf, -1.0, -1e-300}) {
    SCOPED_TRACE(f);
    for (int mode : {0, 1, 2}) {
      Fresh();
      const int points = state.frame.PointCounter;
      double r = 7, x = 8;
      EXPECT_EQ(ZEL_ScanPoint(mode, f, &r, &x), ZEL_ERR_BAD_FREQUENCY);
      EXPECT_TRUE(platform.writes.empty());
      EXPECT_EQ(r, 7);
      EXPECT_EQ(x, 8);
      EXPECT_EQ(state.frame.PointCounter, points);
      EXPECT_EQ(state.link.RelayState, 0);
    }
  }
  // 0 MHz, -0 and a frequency above the range are measured as before.
  for (double f : {0.0, -0.0, 5000.0}) {
    SCOPED_TRACE(f);
    Fresh();
    double r = 7, x = 8;
    EXPECT_EQ(ZEL_ScanPoint(0, f, &r, &x), 0);
    EXPECT_NE(r, 7);
  }
}

// A call that has to send and cannot (no port, or the adapter was pulled) says so at once,
// instead of "done" for a relay that never switched or a two-second wait that ends in a
// misleading code.
TEST_F(Integrity, ACallThatCannotSendItsCommandFailsAtOnce) {
  struct Case {
    const char* what;
    std::function<void()> before;
    std::function<std::int32_t()> call;
  };
  const Case cases[] = {
      {"point", [] {}, [] { return ZEL_ScanPoint(0, 10, nullptr, nullptr); }},
      {"point, relay already on", [] { state.link.RelayState = 3; },
       [] { return ZEL_ScanPoint(0, 0.05, nullptr, nullptr); }},
      {"point with sync",
       [] {
         state.link.RelayState = 3;
         state.link.SyncEnabled = 1;
         state.link.SyncMode = 2;
       },
       [] { return ZEL_ScanPoint(0, 10, nullptr, nullptr); }},
      {"point on the high-power model", [] { state.ident.PowerModel = 1; },
       [] { return ZEL_ScanPoint(0, 10, nullptr, nullptr); }},
      {"relay on", [] {}, [] { return ZEL_ProgRelay(1); }},
      {"relay off", [] {}, [] { return ZEL_ProgRelay(0); }},
      {"relay on, high-power model", [] { state.ident.PowerModel = 1; },
       [] { return ZEL_ProgRelay(1); }},
      {"constant frequency on", [] {}, [] { return ZEL_ConstantFreq(1, 10); }},
      {"constant frequency on, relay held", [] { state.frame.ConstantFreqActive = 1; },
       [] { return ZEL_ConstantFreq(1, 10); }},
      {"constant frequency off", [] {}, [] { return ZEL_ConstantFreq(0, 0); }},
      {"averaging", [] {}, [] { return ZEL_AvgReadings(8); }},
  };
  for (bool port_open : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (port_open ? ", write refused" : ", no port"));
      Fresh();
      if (port_open) {
        platform.fail_write = true;
      } else {
        ASSERT_EQ(ZEL_CommPort(0, 1, 0), 0);
      }
      c.before();
      const int relay = state.link.RelayState;
      const std::uint64_t t0 = platform.clock_ms;
      EXPECT_EQ(c.call(), ZEL_ERR_NOT_SENT);
      EXPECT_EQ(platform.clock_ms, t0) << "no wait for a reply that cannot come";
      EXPECT_EQ(state.link.RelayState, relay) << "a relay that was not switched";
      platform.fail_write = false;
    }
  }
}

TEST_F(Integrity, CallsWithSpecifiedFailureValuesKeepThem) {
  Fresh();
  platform.fail_write = true;
  char* v = ZEL_GetVersion(0);
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "34506");
  std::free(v);
  EXPECT_EQ(ZEL_GetSerialNum(0), 6);
  state.ident.UhfModel = 1;
  EXPECT_EQ(ZEL_BitsToDouble(ZEL_GetTemperature(1)), ZEL_ERR_TEMP_TIMEOUT);
  state.ident.PowerModel = 1;
  EXPECT_EQ(ZEL_BitsToDouble(ZEL_GetRFVoltage(0)), ZEL_ERR_RF_TIMEOUT);
  EXPECT_EQ(ZEL_CommPort(0, 1, 0), 0) << "the close's D0 goes nowhere, as it always did";
}

// The relay command that did not go out is sent again by the first point after the line is back.
TEST_F(Integrity, ARelayThatWasNotSwitchedIsSwitchedByTheNextPoint) {
  Fresh();
  platform.fail_write = true;
  EXPECT_EQ(ZEL_ScanPoint(0, 10, nullptr, nullptr), ZEL_ERR_NOT_SENT);
  platform.fail_write = false;
  double r = 0, x = 0;
  EXPECT_EQ(ZEL_ScanPoint(0, 10, &r, &x), 0);
  const auto w = platform.TakeWrites();
  ASSERT_GE(w.size(), 2u);
  EXPECT_EQ(w[0], "K+");
}

#ifndef _WIN32
// What the default notice writes to stderr.
std::string StderrOfNotice(const char* title, const char* text) {
  std::fflush(stderr);
  const int saved = ::dup(2);
  std::FILE* capture = std::tmpfile();
  ::dup2(::fileno(capture), 2);
  zel::platform::Native().Notice(title, text, 0);
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  std::string out;
  std::rewind(capture);
  for (int ch; (ch = std::fgetc(capture)) != EOF;) out += static_cast<char>(ch);
  std::fclose(capture);
  return out;
}

// Notice texts may come from a calibration file or the instrument: on the terminal they must
// show, not act. A host's handler gets them as they are.
TEST(Notices, StderrShowsControlCharactersAndHighBytesAsEscapes) {
  struct Case {
    const char* text;
    const char* shown;
  };
  const Case cases[] = {
      {"plain text ~!", "plain text ~!"},
      {"a\r\nb\rc\nd", "a / b / c / d"},
      {"\x1b[2J\x1b]0;title\x07", "\\x1b[2J\\x1b]0;title\\x07"},
      {"tab\there\x7f", "tab\\x09here\\x7f"},
      {"\xff\xfe\x80 bin", "\\xff\\xfe\\x80 bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(StderrOfNotice(" Title\x1b", c.text),
              std::string("ZEL notice [ Title\\x1b] ") + c.shown + "\n");
  }
  static std::string got;
  ZEL_SetNoticeHandler([](const char*, const char* text, int) {
    got = text;
    return 0;
  });
  zel::platform::ShowNotice(" T", "\x1b[2J\xff", 0);
  ZEL_SetNoticeHandler(nullptr);
  EXPECT_EQ(got, "\x1b[2J\xff");
}
#endif

#ifdef ZEL_HAVE_SIM

using zelsim::Model;
using zeltest::SimBench;

double RelError(double r, double x, std::complex<double> want) {
  return std::abs(std::complex<double>(r, x) - want) / std::abs(want);
}

// The instrument stalls on one point and its record comes after the time-out; the host goes on a
// moment later. The next point measures its own frequency, not the stale record of the last.
TEST(IntegritySim, ARecordThatCameLateIsNotTakenForTheNextPoint) {
  zelsim::Config cfg = zelsim::DefaultConfig(Model::kStandard);
  ASSERT_TRUE(zelsim::ParseDut("antenna:f0=14.2,r=50,q=8", &cfg.dut, nullptr));
  SimBench bench(cfg);
  bench.Connect();
  double r = 0, x = 0;
  bench.sim.faults().extra_latency_ms = 2500;
  EXPECT_NE(ZEL_ScanPoint(0, 7.0, &r, &x), 0);
  bench.sim.faults().extra_latency_ms = 0;
  bench.platform.PauseMs(1000);
  for (double f : {14.2, 21.0, 28.0}) {
    SCOPED_TRACE(f);
    EXPECT_EQ(ZEL_ScanPoint(0, f, &r, &x), 0);
    EXPECT_LT(RelError(r, x, bench.sim.RawImpedance(f)), 0.01);
  }
}

// A point loop in one thread, sensor readings and status look-ups in others: each call's exchange
// stays whole, so every point is the device's impedance and every temperature the instrument's.
TEST(IntegritySim, CallsFromSeveralThreadsRunOneAtATime) {
  zelsim::Config cfg = zelsim::DefaultConfig(Model::kHighPower);
  ASSERT_TRUE(zelsim::ParseDut("series:r=25,l=300n", &cfg.dut, nullptr));
  cfg.temp_f = 72;
  cfg.noise = 0;
  SimBench bench(cfg);
  bench.Connect();
  constexpr int kRounds = 1000;
  int bad_points = 0, bad_temps = 0, bad_infos = 0;
  std::atomic<int> ready{0};
  auto start = [&ready] {
    ++ready;
    while (ready < 3) std::this_thread::yield();
  };
  // The simulator is only touched from inside the library's calls once the threads run.
  std::vector<std::complex<double>> want;
  for (int k = 0; k < 40; ++k) want.push_back(bench.sim.RawImpedance(1 + k * 4));
  std::thread points([&] {
    start();
    for (int i = 0; i < kRounds; ++i) {
      const double f = 1 + (i % 40) * 4;
      double r = 0, x = 0;
      if (ZEL_ScanPoint(0, f, &r, &x) != 0 || RelError(r, x, want[i % 40]) > 0.01) ++bad_points;
    }
  });
  std::thread temps([&] {
    start();
    for (int i = 0; i < kRounds; ++i) {
      if (std::fabs(ZEL_BitsToDouble(ZEL_GetTemperature(1)) - 72) > 0.5) ++bad_temps;
    }
  });
  std::thread infos([&] {
    start();
    for (int i = 0; i < kRounds; ++i) {
      ZEL_UnitInfo info;
      if (ZEL_GetUnitInfo(&info) != 0 || info.model != ZEL_MODEL_HIGH_POWER ||
          std::string(ZEL_StatusText(ZEL_ERR_NOT_SENT)).empty())
        ++bad_infos;
    }
  });
  points.join();
  temps.join();
  infos.join();
  EXPECT_EQ(bad_points, 0);
  EXPECT_EQ(bad_temps, 0);
  EXPECT_EQ(bad_infos, 0);
}

// The handler runs inside the call that raised the notice, on its thread, and may call back in.
TEST(IntegritySim, ANoticeHandlerMayCallBackIn) {
  zelsim::Config cfg = zelsim::DefaultConfig(Model::kStandard);
  cfg.ident = "NOMODEL ver 4.75 Jan 10 2005 14:32:10 sn=1 ?";  // no model token: a notice
  SimBench bench(cfg);
  static int calls = 0;
  static std::string seen;
  calls = 0;
  ZEL_SetNoticeHandler([](const char*, const char*, int) {
    ZEL_UnitInfo info;
    ZEL_GetUnitInfo(&info);
    seen = ZEL_StatusText(ZEL_ERR_NOT_SENT);
    ++calls;
    return 0;
  });
  bench.Connect();
  ZEL_SetNoticeHandler(nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen, ZEL_StatusText(ZEL_ERR_NOT_SENT));
}

#endif  // ZEL_HAVE_SIM

}  // namespace
