// The simulator's controller side, driven with hand-built command bytes.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "simulator.h"

namespace {

using zelsim::Config;
using zelsim::Model;
using zelsim::Simulator;
using Bytes = std::vector<std::uint8_t>;

void Send(Simulator& sim, const std::string& cmd, double t = 0) {
  sim.Receive(reinterpret_cast<const std::uint8_t*>(cmd.data()), cmd.size(), t);
}
void Send(Simulator& sim, const Bytes& cmd, double t = 0) {
  sim.Receive(cmd.data(), cmd.size(), t);
}

Bytes Drain(Simulator& sim, double t = 1e9) {
  Bytes out;
  for (int b; (b = sim.NextByte(t)) >= 0;) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

Config Quiet(Model m) {
  Config c = zelsim::DefaultConfig(m);
  c.noise = 0;
  return c;
}

std::string Hex8(std::uint32_t w) {
  char b[16];
  std::snprintf(b, sizeof b, "%08X", w);
  return b;
}

// The library's UHF command for f: multipliers, gain band and settling as given, both words
// folded into the first Nyquist zone.
Bytes UhfCommand(double f, int sm, int om, int gain, int settling, double xtal, double delta) {
  auto word = [](double x) {
    if (x >= 0.5) {
      int n = static_cast<int>(std::floor(2 * x));
      x = (n % 2 == 1) ? (n + 1) / 2 - x : x - n / 2;
    }
    return static_cast<std::uint32_t>(std::nearbyint(std::abs(x * 4294967296.0)));
  };
  std::string s = "E";
  s += static_cast<char>(((om - 5) + 16 * (sm - 5)) & 0xFF);
  s += static_cast<char>(64 * gain + settling + 1);
  s += Hex8(word(f / (xtal * sm)));
  s += Hex8(word((f + delta) / (xtal * om)));
  return Bytes(s.begin(), s.end());
}

struct Demod {
  double amp, phase;
};
// The library's demodulation of one 16-sample block.
Demod CalcMagPhase(const double* x) {
  double s = 0, c = 0;
  for (int i = 0; i < 16; ++i) {
    s += x[i] * std::sin(2 * std::numbers::pi * i / 16);
    c += x[i] * std::cos(2 * std::numbers::pi * i / 16);
  }
  s = 2 * s / 16;
  c = 2 * c / 16;
  return {std::hypot(s, c), std::atan2(c, s)};
}

// Zarm as the library computes it from a record, each word multiplied by scale.
std::complex<double> RecordZarm(const Bytes& rec, bool short_format, int scale, double rref) {
  int s = short_format ? 0 : 4;
  double load[16], ref[16];
  for (int k = 0; k < 16; ++k) {
    load[k] = scale * (rec[s + 2 * k] * 256 + rec[s + 2 * k + 1]);
    ref[k] = scale * (rec[s + 32 + 2 * k] * 256 + rec[s + 33 + 2 * k]);
  }
  Demod l = CalcMagPhase(load), r = CalcMagPhase(ref);
  return std::polar(rref * r.amp / l.amp, l.phase - r.phase);
}

bool ChecksumOk(const Bytes& rec) {
  unsigned sum = 0;
  if (rec.size() == 72) {
    for (int i = 0; i < 70; i += 2) sum += rec[i] * 256u + rec[i + 1];
    return (sum & 0xFFFF) == rec[70] * 256u + rec[71];
  }
  if (rec.size() == 67) {
    for (int i = 0; i < 66; i += 2) sum += rec[i] * 256u + rec[i + 1];
    return ((sum >> 4) & 0xFF) == rec[66];
  }
  return false;
}

TEST(SimProtocol, SkipsGarbageAndMalformedCommandsAndResynchronises) {
  Simulator sim(Quiet(Model::kStandard));
  // Bytes that start no command, a frequency command with a bad digit, a "Y" with a wrong tail,
  // then good commands: only the good ones are carried out.
  Send(sim, Bytes{0x00, 0xFF, 'q', '!'});
  Send(sim, "F0666G67C");
  Send(sim, Bytes{'Y', 1, 2, 3, 4, 5, 6});
  Send(sim, "F0666667C");
  Bytes rec = Drain(sim);
  ASSERT_EQ(rec.size(), 72u);
  EXPECT_TRUE(ChecksumOk(rec));
  EXPECT_NEAR(sim.LastFrequencyMHz(), 10.000002, 1e-6);
  EXPECT_EQ(sim.counters().freq9, 1);
  EXPECT_EQ(sim.counters().y_commands, 0);
  EXPECT_GE(sim.counters().unknown_bytes, 4);
  EXPECT_GE(sim.counters().malformed, 2);
}

TEST(SimProtocol, DropsACommandLeftIncompleteAcrossAPause) {
  Simulator sim(Quiet(Model::kStandard));
  Send(sim, "F0666", 0.0);
  Send(sim, "F0666667C", 1.0);  // a second later: the stale half is not glued to it
  EXPECT_EQ(Drain(sim).size(), 72u);
  EXPECT_NEAR(sim.LastFrequencyMHz(), 10.000002, 1e-6);
  EXPECT_EQ(sim.counters().malformed, 1);
}

TEST(SimProtocol, NeverCrashesOnRandomBytes) {
  Simulator sim(zelsim::DefaultConfig(Model::kUhf));
  std::uint64_t x = 12345;
  Bytes junk(200000);
  for (auto& b : junk) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    b = static_cast<std::uint8_t>(x >> 56);
  }
  for (std::size_t i = 0; i < junk.size(); i += 37)
    sim.Receive(junk.data() + i, std::min<std::size_t>(37, junk.size() - i), i * 1e-5);
  Drain(sim);
  Send(sim, "V", 10);
  Bytes id = Drain(sim);
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(id.back(), '?');
}

TEST(SimProtocol, KeepsInstrumentState) {
  Simulator sim(Quiet(Model::kStandard));
  Send(sim, Bytes{'J', 200, 'K', 0x2B, 'K', 0xAB, 'Z', '2', 'Z', '2', 'D', '1', 'C'});
  Send(sim, Bytes{'Y', 0x25, 0x64, 0x29, 0x63, 0x1A, 0x7F});
  const auto& c = sim.counters();
  const auto& st = sim.state();
  EXPECT_EQ(st.avg_count, 256);
  EXPECT_EQ(st.relay_code, 3);
  EXPECT_EQ(c.relay, 2);
  EXPECT_EQ(c.sync_pulses, 2);
  EXPECT_TRUE(st.power_down);
  EXPECT_EQ(st.baud, 115000);
  EXPECT_EQ(c.y_commands, 1);
  EXPECT_TRUE(Drain(sim).empty());  // none of these is answered
}

TEST(SimProtocol, IdentificationStartsWithADroppedByteAndEndsWithTheTerminator) {
  for (Model m : {Model::kLowRange, Model::kStandard, Model::kUhf, Model::kHighPower}) {
    Simulator sim(Quiet(m));
    Send(sim, "V");
    Bytes id = Drain(sim);
    std::string text(id.begin() + 1, id.end());
    EXPECT_EQ(id.front(), '\r');
    EXPECT_EQ(text, sim.IdentText());
    EXPECT_EQ(text.find_first_of("?@"), text.size() - 1) << text;
    EXPECT_NE(text.find(':'), std::string::npos);
  }
}

TEST(SimRecord, LongAndShortChecksumsAndResendIsByteForByte) {
  for (Model m : {Model::kStandard, Model::kLowRange}) {
    Simulator sim(zelsim::DefaultConfig(m));  // with noise: a resend must not re-measure
    Send(sim, "F0666667C");
    Bytes first = Drain(sim);
    EXPECT_EQ(first.size(), sim.ShortRecords() ? 67u : 72u);
    EXPECT_TRUE(ChecksumOk(first));
    Send(sim, "R");
    EXPECT_EQ(Drain(sim), first);
  }
  EXPECT_TRUE(Simulator(Quiet(Model::kLowRange)).ShortRecords());
}

struct FreqCase {
  Model model;
  std::string cmd;
  double f_mhz;
};

TEST(SimFrequency, RecoversTheProgrammedFrequencyFromSingleSynthesizerWords) {
  const FreqCase cases[] = {
      // The library's words carry its factor 1.0000002 (twice while a scan runs).
      {Model::kStandard, "F0666667C", 10.000002},
      {Model::kStandard, "F06666692", 10.000004},
      {Model::kStandard, "F400000D7", 100.00002},
      {Model::kStandard, "F40000432", 100.0001},
      {Model::kHighPower, "U0666667C", 10.000002},
      {Model::kLowRange,
       "F" + Hex8(static_cast<std::uint32_t>(std::nearbyint(14.2 / 120 * 4294967296.0))), 14.2},
  };
  for (const auto& c : cases) {
    Simulator sim(Quiet(c.model));
    Send(sim, c.cmd);
    EXPECT_EQ(Drain(sim).size(), sim.ShortRecords() ? 67u : 72u) << c.cmd;
    EXPECT_NEAR(sim.LastFrequencyMHz(), c.f_mhz, 2e-7) << c.cmd;
  }
}

TEST(SimFrequency, UhfWorkedExampleBytesGive700MHz) {
  Config cfg = Quiet(Model::kUhf);
  cfg.ident = "ZEL uhf ver 6.30 nov 21 2008 16:05:31 flash sync ddsclk=50.00000 dfr=030d40?";
  Simulator sim(cfg);
  Bytes cmd = {0x45, 0x54, 0x55};
  for (char ch : std::string("6666666671C6D1E1")) cmd.push_back(static_cast<std::uint8_t>(ch));
  Send(sim, cmd);
  EXPECT_EQ(Drain(sim).size(), 72u);
  EXPECT_NEAR(sim.LastFrequencyMHz(), 700.0, 1e-6);
  EXPECT_EQ(sim.state().signal_mult, 10);
  EXPECT_EQ(sim.state().offset_mult, 9);
  EXPECT_EQ(sim.state().gain_band, 1);
  EXPECT_EQ(sim.state().settling, 20);
}

TEST(SimFrequency, UnfoldsEveryImageZoneOfTheUhfCommand) {
  // The default segment table's multipliers: 14/13 low, 10/9 from 605, 12/10 from 840, 15/14.
  struct Uhf {
    double f;
    int sm, om, gain;
  };
  const Uhf cases[] = {{0.05, 14, 13, 0},   {3.5, 14, 13, 0}, {100, 14, 13, 0},  {250, 14, 13, 0},
                       {433.92, 14, 13, 0}, {600, 14, 13, 1}, {700, 10, 9, 1},   {839.5, 10, 9, 1},
                       {850, 12, 10, 1},    {915, 14, 13, 1}, {1000, 14, 13, 1}, {1296, 15, 14, 2},
                       {1500, 15, 14, 2},   {2400, 12, 11, 2}};
  Simulator sim(Quiet(Model::kUhf));
  for (const auto& c : cases) {
    Send(sim, UhfCommand(c.f, c.sm, c.om, c.gain, 2, 50, 0.0005));
    Drain(sim);
    EXPECT_NEAR(sim.LastFrequencyMHz(), c.f, 1e-6) << c.f;
  }
  EXPECT_EQ(sim.counters().no_signal_records, 0);
}

TEST(SimFrequency, SynthesizersNotDeltaFreqApartGiveNoSignal) {
  Simulator sim(Quiet(Model::kUhf));
  Send(sim, UhfCommand(700, 10, 9, 1, 2, 50, 0.002));  // the unit's DeltaFreq is 0.0005
  Bytes rec = Drain(sim);
  ASSERT_EQ(rec.size(), 72u);
  EXPECT_EQ(sim.counters().no_signal_records, 1);
  double ref[16];
  for (int k = 0; k < 16; ++k) ref[k] = 4 * (rec[36 + 2 * k] * 256 + rec[37 + 2 * k]);
  EXPECT_LT(CalcMagPhase(ref).amp, 50);  // the library reports "no reference signal"
}

TEST(SimRecord, WordsTimesReadingScaleGiveTheSameBridgeArmAtEveryCount) {
  Config cfg = Quiet(Model::kStandard);
  zelsim::ParseDut("series:r=30,l=220n", &cfg.dut, nullptr);
  Simulator sim(cfg);
  const double f = 14.0;
  std::complex<double> want = sim.info().rgen_ohms + sim.RawImpedance(f);
  std::string word = Hex8(static_cast<std::uint32_t>(std::nearbyint(f / 400 * 4294967296.0)));
  for (int count : {1, 4, 8, 16, 64}) {
    Send(sim, Bytes{'J', static_cast<std::uint8_t>(count)});
    Send(sim, "F" + word);
    Bytes rec = Drain(sim);
    auto z = RecordZarm(rec, false, zelsim::ReadingScaleFor(count), sim.info().rref_ohms);
    EXPECT_NEAR(std::abs(z - want) / std::abs(want), 0, 2e-3) << "count " << count;
  }
}

TEST(SimRecord, NoiseFallsAsTheAveragingCountRises) {
  Config cfg = zelsim::DefaultConfig(Model::kStandard);
  Simulator sim(cfg);
  auto spread = [&](int count) {
    Send(sim, Bytes{'J', static_cast<std::uint8_t>(count)});
    double sum = 0, sum2 = 0;
    const int n = 200;
    for (int i = 0; i < n; ++i) {
      Send(sim, "F0666667C");
      double r = RecordZarm(Drain(sim), false, zelsim::ReadingScaleFor(count), 100.9).real();
      sum += r;
      sum2 += r * r;
    }
    return std::sqrt(sum2 / n - (sum / n) * (sum / n));
  };
  double s4 = spread(4), s64 = spread(64);
  EXPECT_GT(s4, 0);
  EXPECT_LT(s64, s4 / 2.5);  // 1/sqrt(16) = 1/4, allowing for sampling scatter
}

TEST(SimSensors, RepliesDecodeToTheConfiguredValues) {
  Config cfg = Quiet(Model::kHighPower);
  cfg.rf_volts = 30.2;
  cfg.temp_f = 70;
  Simulator sim(cfg);
  auto raw = [&](const std::string& cmd) {
    Send(sim, cmd);
    Bytes r = Drain(sim);
    return r.size() == 2 ? r[0] * 256 + r[1] : -1;
  };
  double v = raw("Z4") * 3.3 / 4096;
  EXPECT_NEAR((v + 0.052) * 20.12, 30.2, 0.02);
  double tv = raw("Z7") * 3.3 / 4096;
  EXPECT_NEAR(((tv - 0.5) / 0.01 + 40) * 1.8 - 40 - 7, 70, 0.15);
  EXPECT_EQ(raw("ZT"), -1);  // no UHF sensor on this model

  Config u = Quiet(Model::kUhf);
  u.temp_f = 22;
  Simulator uhf(u);
  Send(uhf, "ZT");
  Bytes r = Drain(uhf);
  ASSERT_EQ(r.size(), 2u);
  double uv = (r[0] * 256 + r[1]) * 3.3 / 4096;
  EXPECT_NEAR(((uv - 0.986) / 0.00355 + 40) * 1.8 - 40 - 10, 22, 0.45);
  Send(uhf, "Z4");
  Send(uhf, "Z7");
  EXPECT_TRUE(Drain(uhf).empty());
  EXPECT_EQ(uhf.counters().unanswered, 2);

  EXPECT_EQ(zelsim::RfVoltsToRaw(0), 0);
  EXPECT_EQ(zelsim::RfVoltsToRaw(1000), 4095);
}

TEST(SimFlash, ReadsErasedWritesAnswersKAndKeepsWordsInItsFile) {
  std::string path = testing::TempDir() + "/sim_flash_test.txt";
  std::remove(path.c_str());
  Config cfg = Quiet(Model::kUhf);
  cfg.flash_file = path;
  {
    Simulator sim(cfg);
    Send(sim, "ZRD1000");
    EXPECT_EQ(Drain(sim), Bytes(8, 0xFF));
    Send(sim,
         "ZWDA1000"
         "0D04"
         "100A"
         "1F2E"
         "3C3C");
    EXPECT_EQ(Drain(sim), Bytes{'K'});
    EXPECT_EQ(sim.FlashWord(4096 + 3), 0x3C3C);
  }
  Simulator again(cfg);
  Send(again, "ZRD1000");
  EXPECT_EQ(Drain(again), (Bytes{0x0D, 0x04, 0x10, 0x0A, 0x1F, 0x2E, 0x3C, 0x3C}));
  Send(again, "ZR@1000");  // a count of 0 is no command
  EXPECT_TRUE(Drain(again).empty());
  std::remove(path.c_str());
}

TEST(SimFaults, EachFaultIsInjectedAsOftenAsAskedAndCounted) {
  Simulator sim(Quiet(Model::kStandard));
  auto& f = sim.faults();
  f.bad_checksums = 2;
  Send(sim, "F0666667C");
  EXPECT_FALSE(ChecksumOk(Drain(sim)));
  Send(sim, "R");
  EXPECT_FALSE(ChecksumOk(Drain(sim)));
  Send(sim, "R");
  EXPECT_TRUE(ChecksumOk(Drain(sim)));
  EXPECT_EQ(sim.counters().bad_checksums_sent, 2);

  f.silent_replies = 1;
  Send(sim, Bytes{'J', 4});  // no reply: does not use up the silence
  Send(sim, "F0666667C");
  EXPECT_TRUE(Drain(sim).empty());
  Send(sim, "F0666667C");
  EXPECT_EQ(Drain(sim).size(), 72u);

  f.cut_replies = 1;
  f.cut_after_bytes = 40;
  Send(sim, "F0666667C");
  EXPECT_EQ(Drain(sim).size(), 40u);

  f.garbage_replies = 1;
  f.garbage_bytes = 5;
  Send(sim, "V");
  EXPECT_EQ(Drain(sim).size(), 1 + sim.IdentText().size() + 5);

  f.extra_latency_ms = 30;
  Send(sim, "F0666667C", 1.0);
  EXPECT_EQ(sim.NextByte(1.029), -1);
  EXPECT_EQ(Drain(sim, 1.030).size(), 72u);
  f.extra_latency_ms = 0;

  // A late reply holds up the replies behind it: the line stays in order.
  f.late_replies = 1;
  f.late_ms = 2500;
  Send(sim, "F0666667C", 2.0);
  Send(sim, "V", 2.1);
  EXPECT_EQ(sim.LateRepliesQueued(), 1);
  EXPECT_EQ(sim.NextByte(4.49), -1);
  EXPECT_EQ(Drain(sim, 4.5).size(), 72 + 1 + sim.IdentText().size());
  EXPECT_EQ(sim.LateRepliesQueued(), 0);
  Send(sim, "F0666667C", 5.0);
  EXPECT_EQ(Drain(sim, 5.0).size(), 72u);  // on time again

  f.unplug_after_commands = 2;
  Send(sim, Bytes{'J', 4});
  EXPECT_FALSE(sim.TakeUnplugRequest());
  Send(sim, "F0666667C");
  EXPECT_TRUE(sim.TakeUnplugRequest());
  EXPECT_FALSE(sim.TakeUnplugRequest());
  const auto& c = sim.counters();
  EXPECT_EQ(c.replies_silenced, 1);
  EXPECT_EQ(c.replies_cut, 1);
  EXPECT_EQ(c.garbage_bytes_sent, 5);
  EXPECT_EQ(c.replies_late, 1);
  EXPECT_EQ(c.unplugs, 1);
}

TEST(SimFaults, PacedBytesTakeTheirWireTimeAtTheLinkRate) {
  Config cfg = Quiet(Model::kStandard);
  cfg.paced = true;
  Simulator sim(cfg);
  for (int baud : {57600, 115000}) {
    double t0 = baud == 57600 ? 0 : 10;
    if (baud == 115000) Send(sim, "C", t0 - 1);
    Send(sim, "F0666667C", t0);
    double last = 0;
    int n = 0;
    while (sim.NextByteTime() >= 0) {
      last = sim.NextByteTime();
      sim.NextByte(last);
      ++n;
    }
    EXPECT_EQ(n, 72);
    EXPECT_NEAR(last - t0, (9 + 72) * 10.0 / baud, 1e-9) << baud;
  }
}

TEST(SimLine, FollowsTheHostsLineRateAndCountsAMismatch) {
  Simulator sim(Quiet(Model::kStandard));
  sim.HostLineRate(57600);
  EXPECT_EQ(sim.counters().rate_mismatches, 0);
  Send(sim, "C");
  sim.HostLineRate(57600);  // not yet reopened after the switch: no mismatch
  sim.HostLineRate(115000);
  EXPECT_EQ(sim.counters().rate_mismatches, 0);
  sim.HostLineRate(57600);  // reopened at the low rate without a "C": the controller follows
  EXPECT_EQ(sim.counters().rate_mismatches, 1);
  EXPECT_EQ(sim.state().baud, 57600);
}

}  // namespace
