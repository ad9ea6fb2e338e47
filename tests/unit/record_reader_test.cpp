#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ZEL_863_DLL.h"
#include "link/exchange.h"
#include "platform/fake/fake_platform.h"
#include "state/defaults.h"
#include "state/state.h"
#include "support/records.h"

using zel::state;
using zel::platform::FakePlatform;
using zel::platform::ScriptedPeer;

namespace {

class RecordReader : public ::testing::Test {
 protected:
  void SetUp() override {
    zel::ResetState();
    zel::InitDefaults();
    ASSERT_EQ(ZEL_CommPort(1, 1, 57600), 0);
    platform.writes.clear();
  }
  int CountWrites(const std::string& text) const {
    int n = 0;
    for (auto& w : platform.writes) n += w.Text() == text;
    return n;
  }

  ScriptedPeer peer;
  FakePlatform platform{&peer};
  zel::platform::ScopedPlatform scope{&platform};
};

TEST_F(RecordReader, AcceptsLongRecordAndScalesWords) {
  state.measure.ReadingScale = 4;
  auto rec = zeltest::LongRecord(zeltest::CountingWords(1000));
  peer.Queue(rec);
  zel::ReadRecord(0);
  EXPECT_EQ(state.link.PortStatus, 1);
  EXPECT_EQ(state.link.DataValid, 1);
  EXPECT_EQ(state.link.RxWords[0], 4 * (rec[4] * 256 + rec[5]));
  EXPECT_EQ(state.link.RxWords[32], 4 * 1032);
  EXPECT_EQ(state.link.RxBytes[71], rec[71]);
  EXPECT_TRUE(platform.writes.empty()) << "no R before the first attempt";
}

TEST_F(RecordReader, AcceptsShortRecordWithEightBitChecksum) {
  state.link.ShortRecord = 7;
  state.measure.ReadingScale = 16;
  auto rec = zeltest::ShortRecord(zeltest::CountingWords(300));
  ASSERT_EQ(rec.size(), 67u);
  peer.Queue(rec);
  zel::ReadRecord(0);
  EXPECT_EQ(state.link.PortStatus, 1);
  EXPECT_EQ(state.link.DataValid, 1);
  EXPECT_EQ(state.link.RxWords[0], 16 * (rec[0] * 256 + rec[1]));
  EXPECT_EQ(state.link.RxWords[32], 16 * 332);
}

TEST_F(RecordReader, ResendsAfterBadChecksumAtMostFourTimes) {
  struct Case {
    int bad_records;
    int expected_r;
    int expected_valid;
    int expected_status;  // a point read from a fifth bad record is no measurement
  };
  for (Case c : {Case{1, 1, 1, 777}, Case{4, 4, 1, 777}, Case{5, 4, 0, ZEL_ERR_RECORD_CHECKSUM},
                 Case{9, 4, 0, ZEL_ERR_RECORD_CHECKSUM}}) {
    SCOPED_TRACE(c.bad_records);
    platform.writes.clear();
    auto good = zeltest::LongRecord(zeltest::CountingWords(50));
    auto bad = good;
    bad[71] ^= 0x01;
    int sent = 0;
    peer.rx.clear();
    peer.Queue(sent++ < c.bad_records ? bad : good);
    peer.on_write = [&](const std::vector<std::uint8_t>& cmd, ScriptedPeer& self) {
      if (cmd == std::vector<std::uint8_t>{'R'}) self.Queue(sent++ < c.bad_records ? bad : good);
    };
    state.frame.StatusCode = 777;
    zel::ReadRecord(0);
    EXPECT_EQ(CountWrites("R"), c.expected_r);
    EXPECT_EQ(state.link.DataValid, c.expected_valid);
    EXPECT_EQ(state.frame.StatusCode, c.expected_status);
    if (c.expected_valid == 0) {
      EXPECT_NE(state.link.PortStatus, 1);
    } else {
      EXPECT_EQ(state.link.PortStatus, 1);
    }
  }
}

TEST_F(RecordReader, CutRecordTimesOutWithoutAskingAgain) {
  auto rec = zeltest::LongRecord(zeltest::CountingWords(9));
  peer.Queue(std::vector<std::uint8_t>(rec.begin(), rec.begin() + 40));
  std::uint64_t t0 = platform.clock_ms;
  state.frame.StatusCode = 0;
  zel::ReadRecord(0);
  EXPECT_EQ(state.frame.StatusCode, ZEL_ERR_NO_RECORD);
  EXPECT_EQ(CountWrites("R"), 0);
  EXPECT_EQ(platform.empty_reads, zel::kRecordEmptyReadLimit + 1);
  EXPECT_EQ(platform.clock_ms - t0, 2001u);
  EXPECT_EQ(state.link.DataValid, 1) << "the time-out leaves DataValid as the attempt set it";
}

// A peer that hands out one byte every `gap_ms` of virtual time.
class TricklePeer : public zel::platform::Peer {
 public:
  TricklePeer(std::vector<std::uint8_t> bytes, std::uint64_t gap_ms)
      : bytes_(std::move(bytes)), gap_(gap_ms) {}
  void OnWrite(const std::uint8_t*, int, std::uint64_t now) override { start_ = now; }
  int NextByte(std::uint64_t now) override {
    if (next_ >= bytes_.size() || now < start_ + gap_ * (next_ + 1)) return -1;
    return bytes_[next_++];
  }
  std::uint64_t start_ = 0;

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint64_t gap_;
  std::size_t next_ = 0;
};

TEST_F(RecordReader, BytesBetweenEmptyReadsDoNotResetTheCount) {
  auto rec = zeltest::LongRecord(zeltest::CountingWords(9));
  for (std::uint64_t gap : {20u, 40u}) {
    SCOPED_TRACE(gap);
    TricklePeer slow(rec, gap);
    slow.start_ = platform.clock_ms;
    platform.SetPeer(&slow);
    state.frame.StatusCode = 0;
    zel::ReadRecord(0);
    // 72 bytes 20 ms apart need 1440 empty reads in all: accepted. 40 ms apart need 2880: the
    // total passes 2000 although no single gap comes near it.
    EXPECT_EQ(state.frame.StatusCode, gap == 20 ? 0 : ZEL_ERR_NO_RECORD);
    platform.SetPeer(&peer);
  }
}

TEST_F(RecordReader, AllZeroRecordIsAcceptedButNotValid) {
  peer.Queue(std::vector<std::uint8_t>(72, 0));
  zel::ReadRecord(0);
  EXPECT_EQ(state.link.PortStatus, 1);
  EXPECT_EQ(state.link.DataValid, 0);
  EXPECT_EQ(CountWrites("R"), 0);
}

TEST_F(RecordReader, AskingFirstClearsTheBuffersAndWritesR) {
  for (int i = 0; i < 72; ++i) state.link.RxWords[i] = 5;
  zel::ReadRecord(1);  // nobody answers
  EXPECT_EQ(CountWrites("R"), 1);
  EXPECT_EQ(state.frame.StatusCode, ZEL_ERR_NO_RECORD);
  for (int i = 0; i < 72; ++i) EXPECT_EQ(state.link.RxWords[i], -1) << i;
}

TEST_F(RecordReader, BytesAfterARecordAreLeftForTheNextReply) {
  auto rec = zeltest::LongRecord(zeltest::CountingWords(100));
  peer.Queue(rec);
  peer.Queue(std::vector<std::uint8_t>{0xAA, 0xBB});
  zel::ReadRecord(0);
  EXPECT_EQ(state.link.DataValid, 1);
  EXPECT_EQ(peer.rx.size(), 2u) << "the reader takes exactly one record";
}

TEST_F(RecordReader, NothingHappensOutsideLibraryMode) {
  state.frame.LibraryMode = 0;
  state.link.PortStatus = 3;
  zel::ReadRecord(1);
  EXPECT_TRUE(platform.writes.empty());
  EXPECT_EQ(state.link.PortStatus, 3);
}

TEST_F(RecordReader, ClosedPortTimesOut) {
  ASSERT_EQ(ZEL_CommPort(0, 1, 0), 0);
  peer.Queue(zeltest::LongRecord(zeltest::CountingWords(1)));
  zel::ReadRecord(0);
  EXPECT_EQ(state.frame.StatusCode, ZEL_ERR_NO_RECORD);
}

TEST(SensorReply, ReadsTwoBytesHighFirst) {
  zel::ResetState();
  zel::InitDefaults();
  ScriptedPeer peer;
  FakePlatform platform{&peer};
  zel::platform::ScopedPlatform scope{&platform};
  ASSERT_EQ(ZEL_CommPort(1, 1, 57600), 0);
  platform.writes.clear();
  peer.on_write = [](const std::vector<std::uint8_t>& cmd, ScriptedPeer& self) {
    if (cmd == std::vector<std::uint8_t>{'Z', '4'})
      self.Queue(std::vector<std::uint8_t>{0x10, 0x02, 0x33});
  };
  EXPECT_EQ(zel::ReadSensorReply("Z4", 5000), 0x1002);
  EXPECT_EQ(state.link.DataValid, 0);
  ASSERT_EQ(platform.writes.size(), 1u);
  EXPECT_EQ(platform.writes[0].Text(), "Z4");

  platform.empty_reads = 0;
  peer.rx.clear();
  EXPECT_EQ(zel::ReadSensorReply("Z7", 1000), -1);
  EXPECT_EQ(platform.empty_reads, 1001);
  EXPECT_STREQ(state.frame.TextBuf, " Check analyzer power and comm cable");
}

}  // namespace
