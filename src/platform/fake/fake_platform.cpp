#include "platform/fake/fake_platform.h"

#include <algorithm>

namespace zel::platform {

bool FakePlatform::OpenPort(int port, PortHandle* handle) {
  opened_ports.push_back(port);
  if (fail_open) return false;
  *handle = next_handle++;
  open_handles.push_back(*handle);
  return true;
}

bool FakePlatform::IsOpen(PortHandle handle) const {
  return std::find(open_handles.begin(), open_handles.end(), handle) != open_handles.end();
}

bool FakePlatform::ClosePort(PortHandle handle) {
  auto it = std::find(open_handles.begin(), open_handles.end(), handle);
  if (it == open_handles.end() || fail_close) return false;
  open_handles.erase(it);
  ++closes;
  return true;
}

bool FakePlatform::SetTimeouts(PortHandle handle, const ReadTimeouts&) {
  return IsOpen(handle);
}

bool FakePlatform::GetLine(PortHandle handle, LineSettings* line) {
  if (!IsOpen(handle) || fail_get_line) return false;
  *line = {9600, 7, 1, 1};
  return true;
}

bool FakePlatform::SetLine(PortHandle handle, const LineSettings& line) {
  if (!IsOpen(handle)) return false;
  line_writes.push_back(line);
  if (current_baud != line.BaudRate && peer_) peer_->OnLine(line.BaudRate);
  current_baud = line.BaudRate;
  return true;
}

bool FakePlatform::RaiseRts(PortHandle handle) {
  return IsOpen(handle);
}

bool FakePlatform::Write(PortHandle handle, const std::uint8_t* bytes, int count) {
  if (!IsOpen(handle) || count <= 0 || fail_write) return false;
  writes.push_back({clock_ms, std::vector<std::uint8_t>(bytes, bytes + count)});
  if (peer_) peer_->OnWrite(bytes, count, clock_ms);
  return true;
}

void FakePlatform::Purge(PortHandle handle, int what) {
  if (!IsOpen(handle)) return;
  ++purges;
  if (!(what & kPurgeInput) || !peer_) return;
  // A driver's input queue is finite; a peer that never runs dry is drained this far.
  constexpr int kInputQueueBytes = 4096;
  for (int i = 0; i < kInputQueueBytes && peer_->NextByte(clock_ms) >= 0; ++i) ++purged_bytes;
}

int FakePlatform::ReadByte(PortHandle handle) {
  if (IsOpen(handle) && peer_) {
    int b = peer_->NextByte(clock_ms);
    if (b >= 0) return b;
  }
  ++empty_reads;
  clock_ms += 1;
  return -1;
}

bool FakePlatform::Notice(const char* title, const char* text, int flags) {
  notices.push_back({title, text, flags});
  if (!(flags & kNoticeYesNo) || yes_no_answers.empty()) return false;
  bool a = yes_no_answers.front();
  yes_no_answers.pop_front();
  return a;
}

std::vector<std::string> FakePlatform::TakeWrites() {
  std::vector<std::string> out;
  for (auto& w : writes) out.push_back(w.Text());
  writes.clear();
  return out;
}

}  // namespace zel::platform
