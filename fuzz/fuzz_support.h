// The fuzzer's bytes as the instrument's output: a platform whose port hands them out one by one,
// whatever was asked, on a virtual clock.
//
// The platform is kept lean and out of the coverage instrumentation: every time-out of the
// library is thousands of empty reads, and with the test platform (which records every write and
// looks its handles up) those reads took most of the fuzzer's time while telling it nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ZEL_863_DLL.h"
#include "platform/platform.h"
#include "state/defaults.h"
#include "state/state.h"

#define ZEL_FUZZ_UNTRACED __attribute__((no_sanitize("coverage")))

namespace zelfuzz {

class StreamPlatform final : public zel::platform::Platform {
 public:
  StreamPlatform(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  // Answers to the Yes/No questions, lowest bit first; No once they run out.
  void AnswerYesNo(unsigned bits, int count) {
    answers_ = bits;
    answers_left_ = count;
  }
  // Once the stream is used up every further exchange only runs into its time-out.
  bool exhausted() const { return pos_ >= size_; }
  int notices() const { return notices_; }

  ZEL_FUZZ_UNTRACED bool OpenPort(int, zel::PortHandle* handle) override {
    open_ = true;
    *handle = kHandle;
    return true;
  }
  ZEL_FUZZ_UNTRACED bool ClosePort(zel::PortHandle handle) override {
    if (!Mine(handle)) return false;
    open_ = false;
    return true;
  }
  ZEL_FUZZ_UNTRACED bool SetTimeouts(zel::PortHandle handle,
                                     const zel::platform::ReadTimeouts&) override {
    return Mine(handle);
  }
  ZEL_FUZZ_UNTRACED bool GetLine(zel::PortHandle handle,
                                 zel::platform::LineSettings* line) override {
    if (!Mine(handle)) return false;
    *line = {9600, 8, 0, 1};
    return true;
  }
  ZEL_FUZZ_UNTRACED bool SetLine(zel::PortHandle handle,
                                 const zel::platform::LineSettings&) override {
    return Mine(handle);
  }
  ZEL_FUZZ_UNTRACED bool RaiseRts(zel::PortHandle handle) override { return Mine(handle); }
  // Every write goes out: the stream says nothing about the line failing.
  ZEL_FUZZ_UNTRACED bool Write(zel::PortHandle, const std::uint8_t*, int) override { return true; }
  // Drops nothing: the stream's next byte is taken to arrive after the purge, so every byte of
  // the input still reaches a reader.
  ZEL_FUZZ_UNTRACED void Purge(zel::PortHandle, int) override {}
  ZEL_FUZZ_UNTRACED int ReadByte(zel::PortHandle handle) override {
    if (Mine(handle) && pos_ < size_) return data_[pos_++];
    // Nothing can arrive after the stream's end: a deadline-bound wait (the identification's)
    // may as well reach its deadline in a few reads; count-bound waits are unchanged.
    clock_ms_ += pos_ < size_ ? 1 : kIdleStepMs;
    return -1;
  }
  ZEL_FUZZ_UNTRACED std::uint32_t TickMs() override { return clock_ms_; }
  ZEL_FUZZ_UNTRACED void PauseMs(int ms) override {
    if (ms > 0) clock_ms_ += static_cast<std::uint32_t>(ms);
  }
  ZEL_FUZZ_UNTRACED void SleepMs(int ms) override { PauseMs(ms); }
  ZEL_FUZZ_UNTRACED bool Notice(const char*, const char*, int flags) override {
    ++notices_;
    if (!(flags & zel::platform::kNoticeYesNo) || answers_left_ <= 0) return false;
    --answers_left_;
    const bool yes = (answers_ & 1) != 0;
    answers_ >>= 1;
    return yes;
  }
  ZEL_FUZZ_UNTRACED zel::platform::DateTime Now() override { return {2012, 3, 15, 9, 30, 45}; }

 private:
  static constexpr zel::PortHandle kHandle = 7;
  static constexpr std::uint32_t kIdleStepMs = 64;
  ZEL_FUZZ_UNTRACED bool Mine(zel::PortHandle handle) const { return open_ && handle == kHandle; }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  bool open_ = false;
  unsigned answers_ = 0;
  int answers_left_ = 0;
  int notices_ = 0;
  std::uint32_t clock_ms_ = 5000;
};

// Installs a platform for the life of a run.
class Installed {
 public:
  explicit Installed(zel::platform::Platform* p) { zel::platform::Install(p); }
  ~Installed() { zel::platform::Install(nullptr); }
  Installed(const Installed&) = delete;
  Installed& operator=(const Installed&) = delete;
};

// The six calibration tables (1.4 MB), named once. Only the calibration loader and the correction
// read them; zeroing or copying them on every run took most of the fuzzer's time, so the targets
// that read them keep them in a known state themselves.
inline constexpr double (zel::CalState::*kCalTables[])[zel::kCalTableSize] = {
    &zel::CalState::CalShortRe, &zel::CalState::CalShortIm, &zel::CalState::CalOpenRe,
    &zel::CalState::CalOpenIm,  &zel::CalState::CalLoadRe,  &zel::CalState::CalLoadIm};

// The stretches of CalState outside the tables, as (offset, length), wherever the tables lie in it
// and whatever lies between them.
struct Stretch {
  std::size_t offset;
  std::size_t length;
};
inline const std::vector<Stretch>& CalStretchesOutsideTables() {
  static const std::vector<Stretch> stretches = [] {
    const auto* base = reinterpret_cast<const char*>(&zel::state.cal);
    std::vector<Stretch> tables;
    for (auto table : kCalTables) {
      const auto* at = reinterpret_cast<const char*>(&(zel::state.cal.*table));
      tables.push_back({static_cast<std::size_t>(at - base), sizeof(zel::state.cal.*table)});
    }
    std::sort(tables.begin(), tables.end(),
              [](const Stretch& a, const Stretch& b) { return a.offset < b.offset; });
    std::vector<Stretch> out;
    std::size_t from = 0;
    for (const Stretch& t : tables) {
      if (t.offset > from) out.push_back({from, t.offset - from});
      from = t.offset + t.length;
    }
    if (from < sizeof(zel::CalState)) out.push_back({from, sizeof(zel::CalState) - from});
    return out;
  }();
  return stretches;
}

// Everything of the calibration state but the tables: zeroed, copied bytewise (padding too, so
// that a later bytewise comparison sees only what the code wrote), compared bytewise.
inline void ZeroCalButTables(zel::CalState& c) {
  for (const Stretch& s : CalStretchesOutsideTables())
    std::memset(reinterpret_cast<char*>(&c) + s.offset, 0, s.length);
}
inline void CopyCalButTables(zel::CalState& dst, const zel::CalState& src) {
  for (const Stretch& s : CalStretchesOutsideTables()) {
    std::memcpy(reinterpret_cast<char*>(&dst) + s.offset,
                reinterpret_cast<const char*>(&src) + s.offset, s.length);
  }
}
inline std::string CalBytesButTables(const zel::CalState& c) {
  std::string bytes;
  for (const Stretch& s : CalStretchesOutsideTables())
    bytes.append(reinterpret_cast<const char*>(&c) + s.offset, s.length);
  return bytes;
}

// The state of a library fresh from loading, but for the calibration tables.
inline void ResetStateButTables() {
  auto& st = zel::state;
  st.frame = {};
  st.link = {};
  st.synth = {};
  st.measure = {};
  st.ident = {};
  ZeroCalButTables(st.cal);
}

// A library fresh from loading, with the port open and the defaults set.
inline void FreshLibrary() {
  ResetStateButTables();
  ZEL_CommPort(1, 1, 57600);
  ZEL_InitVars(0);
}

}  // namespace zelfuzz
