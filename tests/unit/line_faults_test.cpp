// Faults on the line that the fault soak found: bytes that do not belong to the record being read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ZEL_863_DLL.h"
#include "link/exchange.h"
#include "support/engine_test.h"
#include "support/records.h"

using zel::state;

namespace {

class LineFaults : public zeltest::EngineTest {};

// Stray bytes before a record (line noise, or the rest of a sensor reply read short) shift it; the
// reader drops what is still waiting before it asks for the record again, so the resent record is
// read from its first byte, and the records after it too.
TEST_F(LineFaults, StrayBytesBeforeARecordAreDroppedBeforeTheResend) {
  const auto good = zeltest::LongRecord(zeltest::CountingWords(300));
  for (int stray : {1, 5, 71, 72, 100}) {
    SCOPED_TRACE(stray);
    peer.rx.clear();
    peer.Queue(std::vector<std::uint8_t>(static_cast<std::size_t>(stray), 0x5A));
    peer.Queue(good);
    peer.on_write = [&](const std::vector<std::uint8_t>& cmd, zel::platform::ScriptedPeer& self) {
      if (cmd == std::vector<std::uint8_t>{'R'}) self.Queue(good);
    };
    Writes();
    state.frame.StatusCode = 0;
    zel::ReadRecord(0);
    EXPECT_EQ(state.link.PortStatus, 1);
    EXPECT_EQ(state.link.DataValid, 1);
    EXPECT_EQ(state.frame.StatusCode, 0);
    EXPECT_EQ(state.link.RxWords[0], state.measure.ReadingScale * 300);
    EXPECT_EQ(Writes(), std::vector<std::string>{"R"});
    // The next record on the line is read in step, on the first attempt.
    peer.Queue(good);
    zel::ReadRecord(0);
    EXPECT_EQ(state.link.DataValid, 1);
    EXPECT_TRUE(Writes().empty());
    EXPECT_TRUE(peer.rx.empty());
  }
}

// A line that never falls quiet does not hold the reader: the drop before each resend stops after
// a few records' worth, and the five attempts end as specified, with the point failed.
TEST_F(LineFaults, ABabblingLineEndsAfterFiveAttempts) {
  int served = 0;
  struct Babbler : zel::platform::Peer {
    int* served;
    void OnWrite(const std::uint8_t*, int, std::uint64_t) override {}
    int NextByte(std::uint64_t) override { return ++*served, 0x33; }
  } babbler;
  babbler.served = &served;
  platform.SetPeer(&babbler);
  state.frame.StatusCode = 0;
  zel::ReadRecord(0);
  EXPECT_EQ(state.link.DataValid, 0);
  EXPECT_EQ(state.frame.StatusCode, ZEL_ERR_RECORD_CHECKSUM);
  EXPECT_LT(served, 5 * zel::kRecordBytesLong + 4 * 4 * zel::kRecordBytesLong + 1);
  platform.SetPeer(&peer);
}

}  // namespace
