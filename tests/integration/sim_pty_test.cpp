// The simulator over a real pseudo-terminal: raw bytes through the slave, then the library's
// exported calls through ZEL_COM<n>, including a port that goes away mid-sweep.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ZEL_863_DLL.h"
#include "integration/support/pty_sim.h"
#include "text.h"

namespace {

using zelsim::Model;
using zeltest::PtySim;

// Reads until n bytes or the terminator came, or a second passed.
std::string ReadReply(int fd, std::size_t n, char terminator = 0) {
  std::string out;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (out.size() < n && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    char b;
    if (::read(fd, &b, 1) == 1) {
      out += b;
      if (terminator && b == terminator) break;
    }
  }
  return out;
}

int OpenRaw(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return fd;
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  return fd;
}

TEST(SimPty, AnswersRawCommandsThroughTheLinkedSlave) {
  PtySim pty(zelsim::DefaultConfig(Model::kStandard));
  ASSERT_TRUE(pty.ok()) << pty.error();
  int fd = OpenRaw(pty.path());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "V", 1), 1);
  std::string id = ReadReply(fd, 300, '?');
  EXPECT_EQ(id, "\r" + pty.WithSim([](zelsim::Simulator& s) { return s.IdentText(); }));
  ASSERT_EQ(::write(fd, "F0666667C", 9), 9);
  EXPECT_EQ(ReadReply(fd, 72).size(), 72u);
  ::close(fd);
  EXPECT_EQ(pty.counters().freq9, 1);
}

TEST(SimPty, UnpluggedPortFailsReadsAndComesBackAtTheSamePath) {
  PtySim pty(zelsim::DefaultConfig(Model::kStandard));
  ASSERT_TRUE(pty.ok()) << pty.error();
  int fd = OpenRaw(pty.path());
  ASSERT_GE(fd, 0);
  pty.Unplug();
  char b;
  pollfd p{fd, POLLIN, 0};
  ::poll(&p, 1, 200);
  EXPECT_LE(::read(fd, &b, 1), 0);  // hung up
  ::close(fd);
  EXPECT_NE(::access(pty.path().c_str(), F_OK), 0);  // the device node is gone
  ASSERT_TRUE(pty.Replug()) << pty.error();
  fd = OpenRaw(pty.path());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "V", 1), 1);
  EXPECT_EQ(ReadReply(fd, 300, '?').back(), '?');
  ::close(fd);
}

TEST(SimPty, TheLibraryMeasuresThroughZelCom) {
  zelsim::Config cfg = zelsim::DefaultConfig(Model::kStandard);
  ASSERT_TRUE(zelsim::ParseDut("antenna:f0=14.2,r=40,q=9", &cfg.dut, nullptr));
  cfg.paced = true;
  PtySim pty(cfg, 3);
  ASSERT_TRUE(pty.ok()) << pty.error();
  ASSERT_EQ(ZEL_CommPort(1, 3, 115200), 0);
  ZEL_InitVars(0);
  char* v = ZEL_GetVersion(0);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(std::string(v),
            zeltext::Lower(pty.WithSim([](zelsim::Simulator& s) { return s.IdentText(); })));
  std::free(v);
  EXPECT_EQ(pty.state().baud, 115000);
  EXPECT_EQ(pty.counters().rate_mismatches, 0);

  for (double f : {7.0, 14.2, 21.0}) {
    double r = 0, x = 0;
    EXPECT_EQ(ZEL_ScanPoint(0, f, &r, &x), 0);
    auto want = pty.WithSim([&](zelsim::Simulator& s) { return s.RawImpedance(f); });
    EXPECT_NEAR(std::abs(std::complex<double>(r, x) - want) / std::abs(want), 0, 0.01) << f;
  }

  // The port goes away mid-sweep: the point times out, and after a replug a reopen works.
  pty.WithSim([](zelsim::Simulator& s) { return s.faults().unplug_after_commands = 1; });
  double r = 0, x = 0;
  EXPECT_EQ(ZEL_ScanPoint(0, 28.0, &r, &x), ZEL_ERR_NO_RECORD);
  ASSERT_TRUE(pty.Replug()) << pty.error();
  ASSERT_EQ(ZEL_CommPort(1, 3, 57600), 0);
  EXPECT_EQ(ZEL_ScanPoint(0, 28.0, &r, &x), 0);
  EXPECT_EQ(ZEL_CommPort(0, 3, 0), 0);
}

// zel-sim --link PATH: a path may hold a user's file or a running simulator's link.
TEST(SimPty, LinkNeverReplacesAFileOrALiveLinkOnlyADeadSimulatorsOne) {
  char tmpl[] = "/tmp/zel-link-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  const std::string path = dir + "/com";
  auto read_link = [](const std::string& p) {
    char buf[512];
    ssize_t n = ::readlink(p.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  };
  // A pseudo-terminal that existed and is gone: what a killed simulator's link leads to.
  std::string dead_slave;
  {
    zelsim::Simulator gone_sim(zelsim::DefaultConfig(Model::kStandard));
    zelsim::PtyServer gone(gone_sim);
    ASSERT_TRUE(gone.Start(nullptr));
    dead_slave = gone.SlavePath();
  }
  zelsim::Simulator first_sim(zelsim::DefaultConfig(Model::kStandard));
  zelsim::PtyServer first(first_sim);
  ASSERT_TRUE(first.Start(nullptr));

  enum class There { kNothing, kFile, kDirectory, kLiveLink, kDeadSimLink, kOtherDeadLink };
  struct Case {
    const char* name;
    There there;
    bool linked;
  } cases[] = {
      {"nothing there", There::kNothing, true},
      {"a user's file", There::kFile, false},
      {"a directory", There::kDirectory, false},
      {"a running simulator's link", There::kLiveLink, false},
      {"a dead simulator's dangling link", There::kDeadSimLink, true},
      {"a dangling link to something else", There::kOtherDeadLink, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string before_target;
    switch (c.there) {
      case There::kNothing:
        break;
      case There::kFile: {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_EQ(::write(fd, "keep", 4), 4);
        ::close(fd);
        break;
      }
      case There::kDirectory:
        ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
        break;
      case There::kLiveLink:
        ASSERT_TRUE(first.LinkAt(path, nullptr));
        before_target = first.SlavePath();
        break;
      case There::kDeadSimLink:
        ASSERT_EQ(::symlink(dead_slave.c_str(), path.c_str()), 0);
        break;
      case There::kOtherDeadLink:
        before_target = dir + "/elsewhere";
        ASSERT_EQ(::symlink(before_target.c_str(), path.c_str()), 0);
        break;
    }
    {
      zelsim::Simulator sim(zelsim::DefaultConfig(Model::kStandard));
      zelsim::PtyServer second(sim);
      ASSERT_TRUE(second.Start(nullptr));
      std::string error;
      EXPECT_EQ(second.LinkAt(path, &error), c.linked) << error;
      if (c.linked) {
        EXPECT_EQ(read_link(path), second.SlavePath());
      } else {
        EXPECT_NE(error.find(path), std::string::npos) << error;
      }
    }  // the second simulator ends: it removes its own link and nothing else
    struct stat st {};
    const bool exists = ::lstat(path.c_str(), &st) == 0;
    switch (c.there) {
      case There::kNothing:
      case There::kDeadSimLink:
        EXPECT_FALSE(exists);
        break;
      case There::kFile: {
        ASSERT_TRUE(exists && S_ISREG(st.st_mode));
        int fd = ::open(path.c_str(), O_RDONLY);
        char b[8] = {};
        EXPECT_EQ(::read(fd, b, sizeof b), 4);
        EXPECT_STREQ(b, "keep");
        ::close(fd);
        ::unlink(path.c_str());
        break;
      }
      case There::kDirectory:
        EXPECT_TRUE(exists && S_ISDIR(st.st_mode));
        ::rmdir(path.c_str());
        break;
      case There::kLiveLink:
      case There::kOtherDeadLink:
        EXPECT_EQ(read_link(path), before_target);
        if (c.there == There::kLiveLink) {
          first.Unplug();  // the first simulator takes its own link away
          EXPECT_NE(::lstat(path.c_str(), &st), 0);
          ASSERT_TRUE(first.Replug(nullptr));
          first.Stop();
        }
        ::unlink(path.c_str());
        break;
    }
  }
  ::rmdir(dir.c_str());
}

double RelError(double r, double x, std::complex<double> want) {
  return std::abs(std::complex<double>(r, x) - want) / std::abs(want);
}

// The instrument stalls on one point and its record lands on the line after the time-out, while
// the host pauses. Every later point reads its own record: the stale one is dropped before the
// next frequency command, by the tty driver, at no cost.
TEST(SimPty, ARecordThatCameLateIsNotTakenForTheNextPoint) {
  zelsim::Config cfg = zelsim::DefaultConfig(Model::kStandard);
  ASSERT_TRUE(zelsim::ParseDut("antenna:f0=14.2,r=40,q=9", &cfg.dut, nullptr));
  cfg.noise = 0;
  PtySim pty(cfg, 4);
  ASSERT_TRUE(pty.ok()) << pty.error();
  ASSERT_EQ(ZEL_CommPort(1, 4, 57600), 0);
  ZEL_InitVars(0);
  std::free(ZEL_GetVersion(0));
  double r = 0, x = 0;
  // Well past the record's time-out (2000 empty reads, 2.0-2.5 s, longer on a loaded machine),
  // and the host waits until the record has landed.
  pty.WithSim([](zelsim::Simulator& s) { return s.faults().extra_latency_ms = 3500; });
  EXPECT_NE(ZEL_ScanPoint(0, 7.0, &r, &x), 0);
  pty.WithSim([](zelsim::Simulator& s) { return s.faults().extra_latency_ms = 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  for (double f : {14.2, 21.0, 28.0}) {
    EXPECT_EQ(ZEL_ScanPoint(0, f, &r, &x), 0) << f;
    auto want = pty.WithSim([&](zelsim::Simulator& s) { return s.RawImpedance(f); });
    EXPECT_LT(RelError(r, x, want), 0.01) << f;
  }
  EXPECT_EQ(ZEL_CommPort(0, 4, 0), 0);
}

// A host with a worker thread that sweeps while another thread polls the sensors: each call's
// exchange stays whole, so every point is the device's impedance and every sensor reading the
// instrument's.
TEST(SimPty, CallsFromSeveralThreadsRunOneAtATime) {
  zelsim::Config cfg = zelsim::DefaultConfig(Model::kHighPower);
  ASSERT_TRUE(zelsim::ParseDut("series:r=25,l=300n", &cfg.dut, nullptr));
  cfg.noise = 0;
  cfg.temp_f = 72;
  cfg.rf_volts = 12.5;
  cfg.paced = true;  // replies take their wire time, so the calls overlap
  PtySim pty(cfg, 5);
  ASSERT_TRUE(pty.ok()) << pty.error();
  ASSERT_EQ(ZEL_CommPort(1, 5, 115200), 0);
  ZEL_InitVars(0);
  std::free(ZEL_GetVersion(0));
  constexpr int kRounds = 40;
  std::atomic<int> bad_points{0}, bad_temps{0}, bad_volts{0};
  std::thread points([&] {
    for (int i = 0; i < kRounds; ++i) {
      const double f = 1 + (i % 10) * 15;
      double r = 0, x = 0;
      const int status = ZEL_ScanPoint(0, f, &r, &x);
      auto want = pty.WithSim([&](zelsim::Simulator& s) { return s.RawImpedance(f); });
      if (status != 0 || RelError(r, x, want) > 0.01) ++bad_points;
    }
  });
  std::thread sensors([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (std::fabs(ZEL_BitsToDouble(ZEL_GetTemperature(1)) - 72) > 0.5) ++bad_temps;
      if (std::fabs(ZEL_BitsToDouble(ZEL_GetRFVoltage(0)) - 12.5) > 0.1) ++bad_volts;
    }
  });
  points.join();
  sensors.join();
  EXPECT_EQ(bad_points, 0);
  EXPECT_EQ(bad_temps, 0);
  EXPECT_EQ(bad_volts, 0);
  EXPECT_EQ(ZEL_CommPort(0, 5, 0), 0);
}

}  // namespace
