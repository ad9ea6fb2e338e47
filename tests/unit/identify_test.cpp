// The controller identification, the unit id and the flash date code, against a scripted
// controller that answers "V" with a given line and keeps four flash words.
#include "ident/identify.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ZEL_863_DLL.h"
#include "platform/fake/fake_platform.h"
#include "state/defaults.h"
#include "state/state.h"
#include "state/text.h"
#include "support/engine_test.h"
#ifdef ZEL_HAVE_SIM
#include "support/sim_peer.h"
#endif

using zel::state;
using zel::platform::FakePlatform;
using zel::platform::ScriptedPeer;

namespace {

constexpr std::uint16_t kErased = 0xFFFF;
// 2012-03-15 09:30:45, the fake platform's "now".
const std::vector<std::uint16_t> kDateCode = {3332, 4106, 7982, 15420};
const std::string kDateCodeWrite = "ZWDA10000D04100A1F2E3C3C";

class Identify : public zeltest::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    peer.on_write = [this](const std::vector<std::uint8_t>& cmd, ScriptedPeer& self) {
      const std::string c(cmd.begin(), cmd.end());
      if (c == "V") {
        self.Queue(reply);
      } else if (c.rfind("ZR", 0) == 0) {
        std::vector<std::uint8_t> bytes;
        for (auto w : flash) {
          bytes.push_back(static_cast<std::uint8_t>(w >> 8));
          bytes.push_back(static_cast<std::uint8_t>(w & 0xFF));
        }
        bytes.resize(std::min<std::size_t>(bytes.size(), flash_reply_bytes));
        self.Queue(bytes);
      } else if (c.rfind("ZW", 0) == 0) {
        if (write_answer == "K" && c.size() == 24) {
          for (int k = 0; k < 4; ++k)
            flash[k] = static_cast<std::uint16_t>(std::stoul(c.substr(8 + 4 * k, 4), nullptr, 16));
        }
        self.Queue(write_answer);
      }
    };
  }

  // The first byte of every reply is not part of the line.
  void Run(const std::string& line) {
    reply = "\r" + line;
    platform.writes.clear();
    state.frame.InExportCall = 1;
    zel::IdentifyController();
    state.frame.InExportCall = 0;
  }
  std::vector<std::string> FlashWrites() {
    std::vector<std::string> out;
    for (auto& w : Writes())
      if (w.rfind("ZW", 0) == 0) out.push_back(w);
    return out;
  }

  std::string reply;
  std::vector<std::uint16_t> flash = kDateCode;
  std::size_t flash_reply_bytes = 8;
  std::string write_answer = "K";
};

TEST_F(Identify, EachModelGetsItsParameters) {
  struct Case {
    const char* line;
    int low, standard, uhf, power;
    double max_mhz, min_mhz, dds_clock, rgen, rref;
  };
  const Case cases[] = {
      {"ZELKQ3 ver 4.75 sn=100001 ?", 1, 0, 0, 0, 32, 0.1, 120, 100.6, 150},
      {"ZELKQB ver 4.75 sn=100002 ?", 0, 1, 0, 0, 180, 0.002, 400, 50.2, 100.9},
      {"ZELKQA ver 4.75 sn=100002 ?", 0, 1, 0, 0, 180, 0.002, 400, 50.2, 100.9},
      {"ZELKQC ver 4.75 sn=100002 ?", 0, 1, 0, 0, 180, 0.002, 400, 50.2, 100.9},
      {"ZEL UHF ver 5.01 ddsclk=50 dfr=0007d0 sn=100003 ?", 0, 0, 1, 0, 1000, 0.002, 77, 51.3, 95},
      {"POWERZEL ver 4.80 sn=100004 ?", 0, 0, 0, 1, 170, 0.01, 400, 115, 100},
      // Both flags: the UHF row wins for limits and resistances, the clock stays the standard's.
      {"ZELKQB UHF ver 5.01 ddsclk=50 dfr=0007d0 sn=1 ?", 0, 1, 1, 0, 1000, 0.002, 400, 51.3, 95},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    state.synth.DdsClockMHz = 77;
    Run(c.line);
    EXPECT_EQ(state.frame.StatusCode, 0);
    EXPECT_EQ(state.ident.IdentReplyOk, 1);
    EXPECT_EQ(state.ident.LowRangeModel, c.low);
    EXPECT_EQ(state.ident.StandardModel, c.standard);
    EXPECT_EQ(state.ident.UhfModel, c.uhf);
    EXPECT_EQ(state.ident.PowerModel, c.power);
    EXPECT_EQ(state.synth.MaxFreqMHz, c.max_mhz);
    EXPECT_EQ(state.ident.NominalMaxFreqMHz, c.max_mhz);
    EXPECT_EQ(state.synth.MinFreqMHz, c.min_mhz);
    EXPECT_EQ(state.synth.DdsClockMHz, c.dds_clock);
    EXPECT_EQ(state.ident.Rgen, c.rgen);
    EXPECT_EQ(state.ident.Rref, c.rref);
    EXPECT_TRUE(platform.notices.empty());
  }
}

TEST_F(Identify, UhfUnitTakesItsSynthesizerValues) {
  Run("ZEL UHF ver 5.01 ddsclk=50 dfr=00c350 sfd sn=100003 ?");
  EXPECT_EQ(state.ident.UhfModel, 1);
  EXPECT_DOUBLE_EQ(state.synth.DeltaFreq, 0.0005);
  EXPECT_EQ(state.synth.XtalOsc, 50);
  EXPECT_EQ(state.measure.StepGridMHz, 12.5);
  EXPECT_EQ(state.synth.SignalMult, 8);
  EXPECT_EQ(state.synth.OffsetMult, 7);
  EXPECT_EQ(state.link.SyncEnabled, 1) << "every UHF unit has the sync output";
  EXPECT_EQ(state.link.ShortRecord, 39) << "position of \"sfd \"";
  EXPECT_STREQ(state.ident.ControllerText, "zel uhf ver 5.01 ddsclk=50 dfr=00c350 sfd sn=100003 ?");
  EXPECT_STREQ(state.frame.TextBuf, state.ident.ControllerText);
}

TEST_F(Identify, UhfTokenWithoutOffsetFieldIsNotUhf) {
  state.synth.XtalOsc = 20;
  Run("ZEL UHF ver 5.01 ddsclk=50 sync sn=100003 ?");
  EXPECT_EQ(state.ident.UhfModel, 0);
  EXPECT_EQ(state.synth.DeltaFreq, 0.002);
  EXPECT_EQ(state.synth.XtalOsc, 20);
  EXPECT_EQ(state.link.SyncEnabled, 28) << "position of \"sync\"";
  EXPECT_EQ(state.link.ShortRecord, 0);
}

TEST_F(Identify, ClockAndOffsetFieldsGiveDefinedValues) {
  struct Case {
    const char* line;
    int signal_mult, offset_mult;
    double xtal;  // XtalOsc after a UHF identification (20 held before)
  };
  const Case cases[] = {
      {"zelkqb ddsclk=100 sn=1 ?", 4, 3, 20},
      {"zelkqb sn=1 ?", 20, 19, 20},  // no clock field
      {"zelkqb ddsclk=12 sn=1 ?", 20, 19, 20},
      {"zel uhf ddsclk=0 dfr=0007d0 sn=1 ?", 20, 19, 20},  // a zero clock never divides
      {"zel uhf ddsclk=99999999 dfr=0007d0 sn=1 ?", 0, -1, 99999999},
      {"zel uhf ddsclk=50.5 dfr=zz?", 8, 7, 50.5},  // 50.5 rounds to 50; a short, non-hex offset
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    state.synth.XtalOsc = 20;
    Run(c.line);
    EXPECT_EQ(state.synth.SignalMult, c.signal_mult);
    EXPECT_EQ(state.synth.OffsetMult, c.offset_mult);
    EXPECT_EQ(state.synth.XtalOsc, c.xtal);
    EXPECT_TRUE(std::isfinite(state.synth.DeltaFreq));
    EXPECT_TRUE(std::isfinite(state.measure.StepGridMHz));
  }
}

TEST_F(Identify, FirmwareVersionAndAveragingOption) {
  struct Case {
    const char* line;
    int version100, df_option, high_avg;
  };
  const Case cases[] = {
      {"zelkqb ver 4.75 sn=1 ?", 470, 0, 1},  // three characters: "4.7"
      {"zelkqb ver 4.69 sn=1 ?", 460, 0, 0},
      {"zelkqb ver 4.50 df3khz sn=1 ?", 450, 1, 1},
      {"zelkqb ver 3.10 df2khz sn=1 ?", 310, 1, 1},
      {"zelkqb ver x.yz sn=1 ?", 0, 0, 0},
      {"zelkqb sn=1 ?", 0, 0, 0},
      {"zelkqb ver", 0, 0, 0},  // cut off by the deadline...
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    Run(c.line);
    if (std::string(c.line).find('?') == std::string::npos) {
      EXPECT_EQ(state.frame.StatusCode, 121);  // ...and without "2005": rejected
      continue;
    }
    EXPECT_EQ(state.ident.FirmwareVersion100, c.version100);
    EXPECT_EQ(state.ident.DfOption, c.df_option);
    EXPECT_EQ(state.ident.HighAvgAllowed, c.high_avg);
  }
}

TEST_F(Identify, LowestFrequencyFollowsTokensThenTheModelRow) {
  struct Case {
    const char* line;
    double min_mhz;
  };
  const Case cases[] = {
      {"zelkqb sn=1 ?", 0.002},
      {"zelkqb 5khz 10khz sn=1 ?", 0.002},
      {"zelkqb 20khz sn=1 ?", 0.01},
      {"zelkqb 50khz 20khz sn=1 ?", 0.05},  // the table order decides, not the line's
      {"zelkq3 20khz 50khz sn=1 ?", 0.1},
      {"zel uhf dfr=0007d0 20khz 50khz sn=1 ?", 0.002},
      {"powerzel 20khz 50khz sn=1 ?", 0.01},
      {"nobody 50khz sn=1 ?", 0.05},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    Run(c.line);
    EXPECT_EQ(state.synth.MinFreqMHz, c.min_mhz);
  }
}

TEST_F(Identify, LineWithoutModelWarnsAndKeepsTheModelValues) {
  Run("zelkqb ver 4.75 sn=1 ?");
  state.synth.MaxFreqMHz = 123;
  state.ident.NominalMaxFreqMHz = 124;
  state.synth.DdsClockMHz = 125;
  state.ident.Rgen = 126;
  state.ident.Rref = 127;
  Run("ANALYZER ver 4.75 sn=1 50khz ?");
  EXPECT_EQ(state.frame.StatusCode, 0);
  EXPECT_EQ(state.ident.StandardModel, 0);
  EXPECT_EQ(state.synth.MaxFreqMHz, 123);
  EXPECT_EQ(state.ident.NominalMaxFreqMHz, 124);
  EXPECT_EQ(state.synth.DdsClockMHz, 125);
  EXPECT_EQ(state.ident.Rgen, 126);
  EXPECT_EQ(state.ident.Rref, 127);
  EXPECT_EQ(state.synth.MinFreqMHz, 0.05);
  ASSERT_EQ(platform.notices.size(), 1u);
  EXPECT_EQ(platform.notices[0].title, " Invalid program");
  EXPECT_EQ(platform.notices[0].text, "This program is only for the ZEL");
  EXPECT_EQ(platform.notices[0].flags, zel::platform::kNoticeTopmost);
}

TEST_F(Identify, WaitsBeforeAskingAndGivesUpAtTheDeadline) {
  const std::uint64_t start = platform.clock_ms;
  Run("");  // nothing but the dropped first byte
  ASSERT_FALSE(platform.writes.empty());
  const std::uint64_t sent = platform.writes[0].at_ms;
  EXPECT_EQ(platform.writes[0].Text(), "V");
  EXPECT_GT(sent - start, 1000u) << "the controller gets IdentDelayMs after the port settles";
  EXPECT_LE(sent - start, 1002u);
  EXPECT_GT(platform.clock_ms - sent, 1100u);
  EXPECT_LE(platform.clock_ms - sent, 1102u);
  EXPECT_EQ(state.frame.StatusCode, 121);
}

TEST_F(Identify, ReplyCompletenessDecidesTheStatus) {
  struct Case {
    const char* line;
    int status;
    const char* controller_text;
  };
  const Case cases[] = {
      {"ZELKQB ver 4.75 jan 10 2005 sn=1", 0, "zelkqb ver 4.75 jan 10 2005 sn=1"},
      {"ZELKQB ver 4.75 sn=1", 121, ""},
      {"?", 0, "?"},  // one byte (dropped) and the terminator
      {"ZELKQB sn=1 @", 0, "zelkqb sn=1 @"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    state.ident.StandardModel = 1;
    zel::SetText(state.ident.UnitIdAltText, "kept");
    Run(c.line);
    EXPECT_EQ(state.frame.StatusCode, c.status);
    EXPECT_EQ(state.ident.IdentReplyOk, c.status == 0 ? 1 : 0);
    EXPECT_STREQ(state.ident.ControllerText, c.controller_text);
    EXPECT_STREQ(state.frame.TextBuf, c.controller_text);
    if (c.status != 0) {
      EXPECT_STREQ(state.ident.UnitIdText, "");
      EXPECT_STREQ(state.ident.UnitIdAltText, "kept");
      EXPECT_EQ(state.ident.StandardModel, 1) << "a failed exchange leaves the model flags";
    }
  }
}

TEST_F(Identify, OverlongReplyKeepsItsFirst255Characters) {
  const std::string line = "ZELKQB sn=1 " + std::string(400, 'x') + "?";
  Run(line);
  EXPECT_EQ(state.frame.StatusCode, 0) << "the terminator was read even though it was not kept";
  EXPECT_EQ(std::string(state.ident.ControllerText), "zelkqb sn=1 " + std::string(243, 'x'));
  EXPECT_EQ(state.ident.StandardModel, 1);
}

// A line that never pauses: every byte takes a millisecond of the clock, but no read is empty.
class BabblingPeer : public zel::platform::Peer {
 public:
  explicit BabblingPeer(FakePlatform* p) : platform_(p) {}
  void OnWrite(const std::uint8_t* bytes, int count, std::uint64_t) override {
    talking_ = count == 1 && bytes[0] == 'V';
  }
  int NextByte(std::uint64_t) override {
    if (!talking_) return -1;
    platform_->clock_ms += 1;
    return 'x';
  }

 private:
  FakePlatform* platform_;
  bool talking_ = false;
};

TEST_F(Identify, BabblingLineEndsAtTheDeadline) {
  BabblingPeer babbler(&platform);
  platform.SetPeer(&babbler);
  Run("");
  EXPECT_EQ(state.frame.StatusCode, 121);
  EXPECT_STREQ(state.ident.ControllerText, "");
  EXPECT_LT(platform.clock_ms - platform.writes[0].at_ms, 1200u);
}

TEST_F(Identify, FailedExchangeReachesTheHostAsItsFailureValues) {
  reply = "";
  peer.on_write = nullptr;
  ZEL_InitVars(0);
  char* text = ZEL_GetVersion(0);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "34506");
  std::free(text);
  EXPECT_EQ(ZEL_GetSerialNum(0), 6);
  EXPECT_STREQ(state.ident.UnitIdAltText, "123456");
}

TEST_F(Identify, SerialNumberFromTheLine) {
  struct Case {
    const char* line;
    const char* unit_id;
    const char* alt_id;
    int serial;
  };
  const Case cases[] = {
      {"ZELKQB ver 4.75 sn=123456 ?", " 123456", " 123456", 123456},
      // No serial number and no flash: the build time is scrambled; the alternative id is the
      // weighted sum of the line.
      {"ZELKQB ver 4.75 Jan 10 2005 14:32:10 ?", "822047392", " 157069", 47392},
      {"ZELKQB ver 4.75 Jan 99 2010 23:59:59 ?", "16719874666", nullptr, 874666},
      // Fields near the ends of the line read what is there and nothing beyond.
      {":5?", "305121", nullptr, 305121},
      {"ZELKQB sn=?", " 0", " 0", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    reply = std::string("\r") + c.line;
    EXPECT_EQ(ZEL_GetSerialNum(0), c.serial);
    EXPECT_EQ(state.frame.StatusCode, 0);
    EXPECT_STREQ(state.ident.UnitIdText, c.unit_id);
    if (c.alt_id) {
      EXPECT_STREQ(state.ident.UnitIdAltText, c.alt_id);
    }
    EXPECT_TRUE(FlashWrites().empty());
  }
}

TEST_F(Identify, StoredDateCodeIsTheUnitId) {
  Run("ZELKQB ver 4.75 flash ?");
  EXPECT_EQ(state.frame.StatusCode, 0);
  EXPECT_STREQ(state.ident.UnitIdText, "120315093045");
  EXPECT_STREQ(state.ident.UnitIdAltText, "120315093045");
  const auto writes = Writes();
  EXPECT_EQ(writes, (std::vector<std::string>{"V", "ZRD1000", "ZRD1000"}));
  EXPECT_TRUE(platform.notices.empty());
}

TEST_F(Identify, SerialNumberWinsOverFlash) {
  Run("ZELKQB ver 4.75 flash sn=654321 ?");
  EXPECT_STREQ(state.ident.UnitIdText, " 654321");
  EXPECT_EQ(Writes(), (std::vector<std::string>{"V"}));
}

TEST_F(Identify, ErasedFlashIsProgrammedWithoutAQuestion) {
  flash = {kErased, kErased, kErased, kErased};
  Run("ZELKQB ver 4.75 flash ?");
  EXPECT_EQ(FlashWrites(), (std::vector<std::string>{kDateCodeWrite}));
  EXPECT_TRUE(platform.notices.empty());
  EXPECT_EQ(state.frame.StatusCode, 0);
  EXPECT_STREQ(state.ident.UnitIdText, "120315093045") << "read back by the second run";
}

TEST_F(Identify, BadChecksumAsksBeforeReprogramming) {
  struct Case {
    std::vector<bool> answers;
    std::vector<std::string> writes;
    const char* unit_id;
    std::size_t questions;
  };
  const Case cases[] = {
      {{}, {}, "", 2},  // nobody answers: No
      {{false, false}, {}, "", 2},
      {{true}, {kDateCodeWrite}, "120315093045", 1},
  };
  for (const auto& c : cases) {
    flash = {1, 2, 3, 4};
    platform.notices.clear();
    platform.yes_no_answers.assign(c.answers.begin(), c.answers.end());
    Run("ZELKQB ver 4.75 flash ?");
    EXPECT_EQ(FlashWrites(), c.writes);
    EXPECT_STREQ(state.ident.UnitIdText, c.unit_id);
    ASSERT_EQ(platform.notices.size(), c.questions);
    EXPECT_EQ(platform.notices[0].title, " Serial Num is programmed");
    EXPECT_EQ(platform.notices[0].text,
              "This unit may already have an ID number. Do you want to reprogram it?");
    EXPECT_EQ(platform.notices[0].flags, zel::platform::kNoticeYesNo);
    EXPECT_EQ(state.frame.StatusCode, 0);
  }
}

TEST_F(Identify, FlashFailuresAreReportedAndNoticed) {
  struct Case {
    const char* name;
    std::size_t reply_bytes;
    const char* write_answer;
    int status;
    std::size_t flash_writes;
  };
  const Case cases[] = {
      {"short read", 7, "K", 27, 0},
      {"write not acknowledged", 8, "N", 29, 2},
      {"write never answered", 8, "", 29, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    flash = {kErased, kErased, kErased, kErased};
    flash_reply_bytes = c.reply_bytes;
    write_answer = c.write_answer;
    platform.notices.clear();
    // Stale words of an erased read: a short read must not be taken for one.
    for (int k = 0; k < 4; ++k) state.link.RxWords[k] = kErased;
    Run("ZELKQB ver 4.75 flash ?");
    EXPECT_EQ(state.frame.StatusCode, c.status);
    EXPECT_EQ(FlashWrites().size(), c.flash_writes);
    ASSERT_EQ(platform.notices.size(), 2u) << "one notice per run";
    EXPECT_EQ(platform.notices[0].title, " Error 7213");
    EXPECT_EQ(platform.notices[0].text,
              "Comm Error Reading Date Code =  " + std::to_string(c.status));
    EXPECT_EQ(platform.notices[0].flags, zel::platform::kNoticeWarning);
    char* text = ZEL_GetVersion(0);
    EXPECT_STREQ(text, "34506");
    std::free(text);
  }
}

TEST_F(Identify, FlashCommandsClampTheirCount) {
  struct Case {
    int count;
    const char* read_cmd;
    std::size_t write_len;
  };
  const Case cases[] = {{0, "ZRA1000", 12}, {4, "ZRD1000", 24}, {20, "ZRP1000", 72}};
  const std::int32_t words[16] = {0x1234};
  for (const auto& c : cases) {
    flash_reply_bytes = 2 * 16;
    zel::ReadFlashWords(c.count, 4096);
    peer.rx.clear();
    zel::WriteFlashWords(c.count, 4096, words);
    peer.rx.clear();
    const auto w = Writes();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], c.read_cmd);
    EXPECT_EQ(w[1].size(), c.write_len);
    EXPECT_EQ(w[1].substr(0, 12), std::string("ZW") + c.read_cmd[2] + "A10001234");
  }
}

}  // namespace

#ifdef ZEL_HAVE_SIM
namespace {

// The library and the simulated controller agree on every model's identity.
TEST(IdentifySim, EveryModelIsRecognised) {
  for (auto model : {zelsim::Model::kLowRange, zelsim::Model::kStandard, zelsim::Model::kUhf,
                     zelsim::Model::kHighPower}) {
    SCOPED_TRACE(zelsim::ModelName(model));
    zeltest::SimBench bench(zelsim::DefaultConfig(model));
    const std::string text = bench.Connect();
    const auto& info = bench.sim.info();
    EXPECT_EQ(state.frame.StatusCode, 0);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(state.ident.LowRangeModel, model == zelsim::Model::kLowRange ? 1 : 0);
    EXPECT_EQ(state.ident.StandardModel, model == zelsim::Model::kStandard ? 1 : 0);
    EXPECT_EQ(state.ident.UhfModel, model == zelsim::Model::kUhf ? 1 : 0);
    EXPECT_EQ(state.ident.PowerModel, model == zelsim::Model::kHighPower ? 1 : 0);
    EXPECT_EQ(state.ident.Rgen, info.rgen_ohms);
    EXPECT_EQ(state.ident.Rref, info.rref_ohms);
    EXPECT_EQ(state.synth.MaxFreqMHz, info.max_mhz);
    if (model != zelsim::Model::kUhf) {
      EXPECT_EQ(state.synth.DdsClockMHz, info.dds_clock_mhz);
    }
    EXPECT_NE(state.link.SyncEnabled, 0);
    // The UHF unit keeps a date code in flash: programmed at the first identification, read
    // back unchanged at the next.
    const std::string first_id = state.ident.UnitIdText;
    EXPECT_FALSE(first_id.empty());
    bench.platform.now.Minute = 59;
    EXPECT_NE(ZEL_GetSerialNum(0), 6);
    EXPECT_EQ(std::string(state.ident.UnitIdText), first_id);
    EXPECT_TRUE(bench.platform.notices.empty());
  }
}

}  // namespace
#endif
