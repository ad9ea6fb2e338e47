// The fuzzer's bytes as the instrument's output: a peer that hands them out one by one, whatever
// was asked, on the fake platform's virtual clock.
#pragma once

#include <cstddef>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ZEL_863_DLL.h"
#include "platform/fake/fake_platform.h"
#include "state/state.h"

namespace zelfuzz {

class StreamPeer : public zel::platform::Peer {
 public:
  StreamPeer(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  void OnWrite(const std::uint8_t*, int, std::uint64_t) override {}
  int NextByte(std::uint64_t) override { return pos_ < size_ ? data_[pos_++] : -1; }
  // Once the stream is used up every further exchange only runs into its time-out.
  bool exhausted() const { return pos_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// A library fresh from loading, with the port open on the fake platform.
// The calibration tables (1.4 MB) are left as they are unless asked for: zeroing them on every run
// would take most of the fuzzer's time, and only the calibration loader and correction read them.
inline void FreshLibrary(zel::platform::FakePlatform& platform, bool tables = false) {
  if (tables) {
    zel::ResetState();
  } else {
    auto& st = zel::state;
    st.frame = {};
    st.link = {};
    st.synth = {};
    st.measure = {};
    st.ident = {};
    std::memset(&st.cal, 0, offsetof(zel::CalState, CalShortRe));
  }
  zel::platform::Install(&platform);
  ZEL_CommPort(1, 1, 57600);
  ZEL_InitVars(0);
}

}  // namespace zelfuzz
