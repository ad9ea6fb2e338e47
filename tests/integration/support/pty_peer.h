// A bare pseudo-terminal with a thread on its master side that records what the host writes and
// answers with whatever the test queues, for link tests that need no instrument behind the line.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zeltest {

class PtyPeer {
 public:
  PtyPeer();
  ~PtyPeer();
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  bool ok() const { return master_ >= 0; }
  const std::string& slave_path() const { return slave_path_; }
  // Points ZEL_COM<n> at the slave.
  void MapPort(int n) const;
  // Everything received so far (and forgets it).
  std::string Take();
  // Waits up to timeout_ms until at least `count` bytes were received.
  bool WaitFor(std::size_t count, int timeout_ms);
  void Send(const std::string& bytes);
  // Called (on the peer thread) with everything received so far; may return bytes to send.
  void OnReceive(std::function<std::string(const std::string& all)> fn);
  // The slave's line settings as the host left them (termios2).
  bool SlaveLine(unsigned* ospeed, unsigned* cflag, unsigned* lflag) const;
  // The device goes away: the master closes, the slave reads EIO.
  void HangUp();

 private:
  void Run();
  std::atomic<int> master_{-1};
  int guard_ = -1;  // keeps the slave open so the host's close does not hang up the line
  std::string slave_path_;
  std::mutex mu_;
  std::string received_;
  std::function<std::string(const std::string&)> on_receive_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace zeltest
