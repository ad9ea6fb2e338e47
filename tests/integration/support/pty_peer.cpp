#include "integration/support/pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace zeltest {

PtyPeer::PtyPeer() {
  int m = -1, s = -1;
  char name[256] = {};
  if (openpty(&m, &s, name, nullptr, nullptr) != 0) return;
  master_ = m;
  guard_ = s;
  slave_path_ = name;
  // Raw on the master side too, so binary replies pass unchanged.
  termios t{};
  if (tcgetattr(master_, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
  }
  thread_ = std::thread([this] { Run(); });
}

PtyPeer::~PtyPeer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (master_ >= 0) close(master_);
  if (guard_ >= 0) close(guard_);
}

void PtyPeer::MapPort(int n) const {
  setenv(("ZEL_COM" + std::to_string(n)).c_str(), slave_path_.c_str(), 1);
}

void PtyPeer::Run() {
  while (!stop_) {
    int fd = master_;
    if (fd < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5) <= 0) continue;
    char buf[256];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) continue;
    std::string reply;
    {
      std::lock_guard<std::mutex> lock(mu_);
      received_.append(buf, static_cast<std::size_t>(n));
      if (on_receive_) reply = on_receive_(received_);
    }
    if (!reply.empty()) Send(reply);
  }
}

std::string PtyPeer::Take() {
  std::lock_guard<std::mutex> lock(mu_);
  std::string out;
  out.swap(received_);
  return out;
}

bool PtyPeer::WaitFor(std::size_t count, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (received_.size() >= count) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

void PtyPeer::Send(const std::string& bytes) {
  if (master_ >= 0 && !bytes.empty()) {
    ssize_t n = write(master_, bytes.data(), bytes.size());
    (void)n;
  }
}

void PtyPeer::OnReceive(std::function<std::string(const std::string&)> fn) {
  std::lock_guard<std::mutex> lock(mu_);
  on_receive_ = std::move(fn);
}

void PtyPeer::HangUp() {
  int fd = master_;
  master_ = -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (fd >= 0) close(fd);
  if (guard_ >= 0) {
    close(guard_);
    guard_ = -1;
  }
}

}  // namespace zeltest
