// A platform for tests and for the in-process simulator: a virtual millisecond clock, a port whose
// far end is a Peer (a scripted one, or the simulator), a log of every command written, and
// notices that are recorded and answered from a script. Empty reads and pauses advance the
// virtual clock instead of waiting, so a 2000-read time-out costs no real time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace zel::platform {

// The far end of the port: receives each command as written and hands out reply bytes.
class Peer {
 public:
  virtual ~Peer() = default;
  virtual void OnWrite(const std::uint8_t* bytes, int count, std::uint64_t now_ms) = 0;
  // Next reply byte that is ready at now_ms, or -1.
  virtual int NextByte(std::uint64_t now_ms) = 0;
  // The port was opened (rate = the line rate set last) or closed; a peer may track the link.
  virtual void OnLine(int /*baud*/) {}
};

// A peer driven by a test: every command goes to on_write, which may queue reply bytes.
class ScriptedPeer : public Peer {
 public:
  std::function<void(const std::vector<std::uint8_t>& cmd, ScriptedPeer& self)> on_write;
  std::deque<std::uint8_t> rx;
  void Queue(const std::vector<std::uint8_t>& bytes) {
    rx.insert(rx.end(), bytes.begin(), bytes.end());
  }
  void Queue(const std::string& bytes) { rx.insert(rx.end(), bytes.begin(), bytes.end()); }
  void OnWrite(const std::uint8_t* bytes, int count, std::uint64_t) override {
    if (on_write) on_write(std::vector<std::uint8_t>(bytes, bytes + count), *this);
  }
  int NextByte(std::uint64_t) override {
    if (rx.empty()) return -1;
    int b = rx.front();
    rx.pop_front();
    return b;
  }
};

struct WrittenCommand {
  std::uint64_t at_ms;
  std::vector<std::uint8_t> bytes;
  std::string Text() const { return std::string(bytes.begin(), bytes.end()); }
};

struct NoticeRecord {
  std::string title;
  std::string text;
  int flags;
};

class FakePlatform final : public Platform {
 public:
  explicit FakePlatform(Peer* peer = nullptr) : peer_(peer) {}

  void SetPeer(Peer* peer) { peer_ = peer; }

  // What the port does.
  bool fail_open = false;
  bool fail_get_line = false;
  bool fail_close = false;
  bool fail_write = false;  // every write is refused, as by a pulled adapter
  int next_handle = 100;

  // What happened.
  std::vector<WrittenCommand> writes;
  std::vector<NoticeRecord> notices;
  std::vector<int> opened_ports;
  std::vector<PortHandle> open_handles;
  std::vector<LineSettings> line_writes;
  int empty_reads = 0;
  int closes = 0;
  int purges = 0;        // Purge calls on an open handle
  int purged_bytes = 0;  // bytes they dropped

  // Answers to Yes/No questions, used in order; No once they run out.
  std::deque<bool> yes_no_answers;
  DateTime now{2012, 3, 15, 9, 30, 45};
  std::uint64_t clock_ms = 5000;

  bool OpenPort(int port, PortHandle* handle) override;
  bool ClosePort(PortHandle handle) override;
  bool SetTimeouts(PortHandle handle, const ReadTimeouts& timeouts) override;
  bool GetLine(PortHandle handle, LineSettings* line) override;
  bool SetLine(PortHandle handle, const LineSettings& line) override;
  bool RaiseRts(PortHandle handle) override;
  bool Write(PortHandle handle, const std::uint8_t* bytes, int count) override;
  // Drops the reply bytes the peer has ready now, as a driver drops its input queue; the clock
  // does not move.
  void Purge(PortHandle handle, int what) override;
  int ReadByte(PortHandle handle) override;
  std::string PortDevice(PortHandle handle) const override {
    return IsOpen(handle) ? "fake:COM" + std::to_string(opened_ports.back()) : std::string();
  }
  std::uint32_t TickMs() override { return static_cast<std::uint32_t>(clock_ms); }
  void PauseMs(int ms) override {
    if (ms > 0) clock_ms += static_cast<std::uint64_t>(ms);
  }
  void SleepMs(int ms) override { PauseMs(ms); }
  bool Notice(const char* title, const char* text, int flags) override;
  DateTime Now() override { return now; }

  // Commands written since the last call of this (or since the start), as texts.
  std::vector<std::string> TakeWrites();
  bool IsOpen(PortHandle handle) const;
  int current_baud = 0;

 private:
  Peer* peer_;
};

// Installs a FakePlatform for the life of a scope.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform* p) { Install(p); }
  ~ScopedPlatform() { Install(nullptr); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;
};

}  // namespace zel::platform
