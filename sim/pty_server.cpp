#include "pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "pty_baud.h"

namespace zelsim {

namespace {

// With nothing queued the thread still wakes this often to notice an unplug request.
constexpr double kIdleWakeS = 0.05;
constexpr std::size_t kReadChunk = 512;
// Paced replies go out in chunks: the first byte of a reply when it is due, then every chunk of
// the bytes due within this span of the last write, each when its last byte is due. A reply
// starts and ends exactly when its wire time says, with one wakeup per chunk instead of one per
// byte. The span stays well below the library's empty read (about 1 ms): a reader that takes the
// first quiet millisecond as the end of what the controller sent (the discard before a resend)
// must never see a pause between the chunks of one reply.
constexpr double kChunkS = 0.0005;

double MonotonicS() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

}  // namespace

PtyServer::PtyServer(Simulator& sim) : sim_(sim), t0_(MonotonicS()) {}

PtyServer::~PtyServer() {
  Stop();
}

double PtyServer::Now() const {
  return MonotonicS() - t0_;
}

void PtyServer::Wake() {
  if (wake_[1] >= 0) {
    char b = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_[1], &b, 1);
  }
}

bool PtyServer::OpenPty(std::string* error) {
  int m = -1, s = -1;
  char name[256] = "";
  if (::openpty(&m, &s, name, nullptr, nullptr) != 0) {
    if (error) *error = std::string("openpty failed: ") + std::strerror(errno);
    return false;
  }
  // Raw both ways from the start: no echo of the host's commands back to it, no CR/LF
  // translation of binary records, before and after the host sets its own line settings.
  termios t{};
  if (::tcgetattr(s, &t) == 0) {
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B57600);
    ::cfsetospeed(&t, B57600);
    ::tcsetattr(s, TCSANOW, &t);
  }
  ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
  ::fcntl(m, F_SETFD, FD_CLOEXEC);
  ::fcntl(s, F_SETFD, FD_CLOEXEC);
  master_ = m;
  guard_ = s;
  slave_path_ = name;
  outbuf_.clear();
  return true;
}

void PtyServer::ClosePty() {
  if (master_ >= 0) ::close(master_);
  if (guard_ >= 0) ::close(guard_);
  master_ = guard_ = -1;
  outbuf_.clear();
}

namespace {

// The link path's target, or "" when the path is not a symbolic link.
std::string LinkTarget(const std::string& path) {
  char buf[4096];
  ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// Whether a link to own_slave may go at path: nothing there, our own link, or the dangling link of
// a simulator that died without removing it (a pseudo-terminal that no longer exists). A user's
// file, a directory, any other link and a running simulator's link stay as they are.
bool MayLinkAt(const std::string& path, const std::string& own_slave, bool* replace,
               std::string* why) {
  *replace = false;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    *why = std::strerror(errno);
    return false;
  }
  if (!S_ISLNK(st.st_mode)) {
    *why = S_ISREG(st.st_mode) ? "a file is there" : "something that is not a link is there";
    return false;
  }
  const std::string target = LinkTarget(path);
  if (target == own_slave) return *replace = true;
  if (::stat(path.c_str(), &st) == 0) {
    *why = "it leads to " + target + ", which still exists (another simulator may be running)";
    return false;
  }
  if (target.rfind("/dev/pts/", 0) != 0) {
    *why = "it is a link to " + target + ", not a simulator's";
    return false;
  }
  return *replace = true;
}

}  // namespace

bool PtyServer::Relink(std::string* error) {
  if (link_path_.empty()) return true;
  std::string why;
  bool replace = false;
  if (!MayLinkAt(link_path_, slave_path_, &replace, &why)) {
    if (error) *error = "will not replace " + link_path_ + ": " + why;
    return false;
  }
  // A stale link goes first; should anything appear there meanwhile, symlink fails rather than
  // replace it.
  if (replace) ::unlink(link_path_.c_str());
  if (::symlink(slave_path_.c_str(), link_path_.c_str()) != 0) {
    if (error) *error = "cannot link " + link_path_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void PtyServer::RemoveOwnLink() {
  if (!link_path_.empty() && LinkTarget(link_path_) == slave_path_) ::unlink(link_path_.c_str());
}

bool PtyServer::Start(std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (thread_.joinable()) return true;
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (error) *error = std::string("pipe failed: ") + std::strerror(errno);
    return false;
  }
  if (!OpenPty(error)) return false;
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

std::string PtyServer::SlavePath() const {
  std::lock_guard<std::mutex> lock(mu_);
  return slave_path_;
}

bool PtyServer::LinkAt(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  link_path_ = path;
  if (master_ < 0) return true;  // made on the next Replug
  if (Relink(error)) return true;
  link_path_.clear();  // not ours: never removed by Unplug or Stop
  return false;
}

void PtyServer::Unplug() {
  std::lock_guard<std::mutex> lock(mu_);
  if (master_ < 0) return;
  ClosePty();
  RemoveOwnLink();
  sim_.DropLine();
  Wake();
}

bool PtyServer::Replug(std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (master_ >= 0) return true;
  if (!OpenPty(error)) return false;
  bool ok = Relink(error);
  Wake();
  return ok;
}

bool PtyServer::Plugged() const {
  std::lock_guard<std::mutex> lock(mu_);
  return master_ >= 0;
}

void PtyServer::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    Wake();
    thread_.join();
  }
  std::lock_guard<std::mutex> lock(mu_);
  ClosePty();
  RemoveOwnLink();
  for (int& fd : wake_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void PtyServer::SetDut(const Dut& dut) {
  std::lock_guard<std::mutex> lock(mu_);
  sim_.SetDut(dut);
}

Counters PtyServer::CountersNow() {
  std::lock_guard<std::mutex> lock(mu_);
  return sim_.counters();
}

InstrumentState PtyServer::StateNow() {
  std::lock_guard<std::mutex> lock(mu_);
  return sim_.state();
}

void PtyServer::Run() {
  // A chunk is due when its last byte is; the default 50 us timer slack would make it late.
  ::prctl(PR_SET_TIMERSLACK, 1UL);
  std::vector<unsigned char> buf(kReadChunk);
  while (!stop_) {
    int master = -1;
    bool want_out = false;
    double wait_s = kIdleWakeS;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (sim_.TakeUnplugRequest() && master_ >= 0) {
        ClosePty();
        RemoveOwnLink();
        sim_.DropLine();
      }
      master = master_;
      if (master >= 0) {
        double now = Now();
        for (int b; (b = sim_.NextByte(now)) >= 0;)
          outbuf_.push_back(static_cast<unsigned char>(b));
        if (!outbuf_.empty()) last_write_s_ = now;
        while (!outbuf_.empty()) {
          ssize_t n = ::write(master, outbuf_.data(), outbuf_.size());
          if (n <= 0) break;  // the slave's queue is full: POLLOUT below
          outbuf_.erase(outbuf_.begin(), outbuf_.begin() + n);
        }
        want_out = !outbuf_.empty();
        double next = sim_.ChunkEndTime(last_write_s_ + kChunkS);
        if (next >= 0) wait_s = std::min(wait_s, std::max(0.0, next - now));
      }
    }
    pollfd fds[2] = {{wake_[0], POLLIN, 0}, {master, POLLIN, 0}};
    if (want_out) fds[1].events |= POLLOUT;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(wait_s);
    ts.tv_nsec = static_cast<long>((wait_s - std::floor(wait_s)) * 1e9);
    int r = ::ppoll(fds, master >= 0 ? 2 : 1, &ts, nullptr);
    if (r <= 0) continue;
    if (fds[0].revents & POLLIN) {
      while (::read(wake_[0], buf.data(), buf.size()) > 0) {
      }
    }
    if (master >= 0 && (fds[1].revents & POLLIN)) {
      std::lock_guard<std::mutex> lock(mu_);
      if (master_ != master) continue;  // unplugged meanwhile
      ssize_t n = ::read(master, buf.data(), buf.size());
      if (n > 0) {
        // The rate is looked at after the bytes: a host that wrote "C" and reopened at the high
        // rate before this thread woke is no mismatch.
        sim_.Receive(buf.data(), static_cast<std::size_t>(n), Now());
        sim_.HostLineRate(SlaveLineRate(master));
      }
    } else if (master >= 0 && (fds[1].revents & (POLLHUP | POLLERR))) {
      // No slave open (cannot happen while we hold the guard, but never spin on it).
      timespec nap{0, 2000000};
      ::nanosleep(&nap, nullptr);
    }
  }
}

}  // namespace zelsim
