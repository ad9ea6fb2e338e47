// The real platform on Linux: termios2 serial port, monotonic clock, notices on stderr.
//
// COMn is the device named by the environment variable ZEL_COM<n>, else /dev/ttyS<n-1> (COM1 is
// /dev/ttyS0, as Linux and Wine name them). The device is opened exclusively and put in raw 8N1
// mode. Exclusive twice over: TIOCEXCL keeps other users from opening the tty at all, but root
// passes it, so a flock(LOCK_EX) is taken as well; a program running as root that opens the
// port while this library holds it (or the other way round) is refused instead of reading half
// of the other's replies. The lock goes with the descriptor on close.
// termios2 with BOTHER takes any rate as it stands, so the 115000-baud link runs at exactly
// 115000, not 115200.
//
// Reads are buffered: whatever is waiting on the line comes in with one read() and ReadByte hands
// it out byte by byte. While the link awaits a reply of known length (ExpectReply) to the command
// just written, the first read sleeps until the command and the whole reply have had their wire
// time and takes the reply in one read: a 72-byte record costs one wakeup. Should the reply not
// be all there by then, the rest is read as it comes (its last bytes are due at once); should
// nothing be there, the first bytes that come are followed by one sleep as long as the rest's
// wire time. An empty read is unchanged: about 1 ms (the first one of a reply: its wire time).
//
// A USB serial adapter holds received bytes for its latency timer (16 ms by default on FTDI
// chips) before passing them on; the port is asked for low latency on open (docs/USB-ADAPTERS.md).
//
// Handles are numbers that are never given out twice. A file descriptor number is reused by the
// host's next open(), so closing or writing a descriptor the library already closed could hit the
// host's own file; a closed handle here is simply unknown and every operation on it fails.

#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/rx_buffer.h"

namespace zel::platform {
namespace {

// The link counts empty reads as milliseconds of waiting (2000 of them are the record time-out).
constexpr std::int64_t kEmptyReadNs = 1000000;

std::int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SleepUntilNs(std::int64_t deadline) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(deadline / 1000000000);
  ts.tv_nsec = static_cast<long>(deadline % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

// A notice's title and text may come from a calibration file or from the instrument: on a
// terminal a control character or a byte of a binary file would act (clear the screen, set the
// window title) instead of showing. Line breaks become " / "; other control characters and
// bytes above 126 are shown as \xNN. A host's own handler gets the text as it is.
void AppendVisible(std::string* line, const char* text) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char* p = text; *p; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '\r' && p[1] == '\n') {
      *line += " / ";
      ++p;
    } else if (c == '\r' || c == '\n') {
      *line += " / ";
    } else if (c < 0x20 || c > 126) {
      *line += "\\x";
      *line += kHex[c >> 4];
      *line += kHex[c & 0xF];
    } else {
      *line += static_cast<char>(c);
    }
  }
}

// Asks the driver to pass received bytes on at once (on FTDI-type USB adapters this sets the
// latency timer to 1 ms). Drivers without the request (pseudo-terminals, most on-board UARTs)
// refuse it, which changes nothing; so does a refusal of the change itself.
void RequestLowLatency(int fd) {
  serial_struct ss{};
  if (::ioctl(fd, TIOCGSERIAL, &ss) != 0 || (ss.flags & ASYNC_LOW_LATENCY)) return;
  ss.flags |= ASYNC_LOW_LATENCY;
  ::ioctl(fd, TIOCSSERIAL, &ss);
}

std::string DevicePath(int port) {
  std::string var = "ZEL_COM" + std::to_string(port);
  if (const char* dev = std::getenv(var.c_str()); dev && *dev) return dev;
  return "/dev/ttyS" + std::to_string(static_cast<long long>(port) - 1);
}

class PosixPlatform final : public Platform {
 public:
  bool OpenPort(int port, PortHandle* handle) override {
    std::string path = DevicePath(port);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    // The lock comes before TIOCEXCL: a port that another program holds is left exactly as that
    // program set it.
    if (!isatty(fd) || ::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
      ::close(fd);
      return false;
    }
    *handle = next_++;
    fds_[*handle] = fd;
    paths_[*handle] = path;
    rx_[*handle] = RxBuffer{};
    RequestLowLatency(fd);
    return true;
  }

  bool ClosePort(PortHandle handle) override {
    auto it = fds_.find(handle);
    if (it == fds_.end()) return false;
    int fd = it->second;
    fds_.erase(it);
    paths_.erase(handle);
    DropBuffered(handle);
    rx_.erase(handle);
    ::ioctl(fd, TIOCNXCL);
    return ::close(fd) == 0;
  }

  bool SetTimeouts(PortHandle handle, const ReadTimeouts&) override {
    // Reads are non-blocking and wait in ReadByte itself: a byte at once, else about 1 ms.
    return Fd(handle) >= 0;
  }

  bool GetLine(PortHandle handle, LineSettings* line) override {
    termios2 t{};
    int fd = Fd(handle);
    if (fd < 0 || ::ioctl(fd, TCGETS2, &t) != 0) return false;
    line->BaudRate = static_cast<int>(t.c_ospeed);
    line->DataBits = (t.c_cflag & CSIZE) == CS8 ? 8 : 7;
    line->Parity = (t.c_cflag & PARENB) ? 1 : 0;
    line->StopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    return true;
  }

  bool SetLine(PortHandle handle, const LineSettings& line) override {
    termios2 t{};
    int fd = Fd(handle);
    if (fd < 0 || ::ioctl(fd, TCGETS2, &t) != 0) return false;
    // Raw: no line editing, echo, signals or byte translation; the controller's records are binary.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &=
        ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CBAUD | (CBAUD << IBSHIFT) | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    if (line.Parity) t.c_cflag |= PARENB;
    if (line.StopBits == 2) t.c_cflag |= CSTOPB;
    t.c_ispeed = static_cast<speed_t>(line.BaudRate);
    t.c_ospeed = static_cast<speed_t>(line.BaudRate);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::ioctl(fd, TCSETS2, &t) != 0) return false;
    if (auto rx = rx_.find(handle); rx != rx_.end()) rx->second.baud = line.BaudRate;
    return true;
  }

  bool RaiseRts(PortHandle handle) override {
    int fd = Fd(handle);
    int bits = TIOCM_RTS;
    return fd >= 0 && ::ioctl(fd, TIOCMBIS, &bits) == 0;
  }

  bool Write(PortHandle handle, const std::uint8_t* bytes, int count) override {
    int fd = Fd(handle);
    if (fd < 0 || count <= 0) return false;
    // One write per command. A serial driver takes a few bytes at once; should it take part,
    // the rest follows so that the controller never sees half a command.
    int done = 0;
    std::int64_t give_up = MonotonicNs() + 1000000000;  // a stuck line does not hang the host
    while (done < count) {
      ssize_t n = ::write(fd, bytes + done, static_cast<std::size_t>(count - done));
      if (n > 0) {
        done += static_cast<int>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (MonotonicNs() > give_up) return false;
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 10);
    }
    if (auto rx = rx_.find(handle); rx != rx_.end()) rx->second.Sent(count, MonotonicNs());
    return true;
  }

  void Purge(PortHandle handle, int what) override {
    int fd = Fd(handle);
    if (fd < 0) return;
    const bool in = (what & kPurgeInput) != 0;
    const bool out = (what & kPurgeOutput) != 0;
    if (in) DropBuffered(handle);
    if (in || out) ::ioctl(fd, TCFLSH, in && out ? TCIOFLUSH : (in ? TCIFLUSH : TCOFLUSH));
  }

  int ReadByte(PortHandle handle) override {
    const std::int64_t deadline = MonotonicNs() + kEmptyReadNs;
    int fd = Fd(handle);
    auto rx = rx_.find(handle);
    if (fd < 0 || rx == rx_.end()) {
      SleepUntilNs(deadline);
      return -1;
    }
    RxBuffer& r = rx->second;
    if (r.Buffered() == 0 && !FirstRead(fd, r) && !Refill(fd, r, deadline)) return -1;
    return r.Take();
  }

  void ExpectReply(PortHandle handle, int bytes) override {
    if (auto rx = rx_.find(handle); rx != rx_.end()) {
      rx->second.Expect(bytes);
      rx->second.PlanFirstRead(1000000000, 0);
    }
  }

  std::string PortDevice(PortHandle handle) const override {
    auto it = paths_.find(handle);
    return it == paths_.end() ? std::string() : it->second;
  }

  std::uint32_t TickMs() override { return static_cast<std::uint32_t>(MonotonicNs() / 1000000); }

  void PauseMs(int ms) override {
    if (ms > 0) SleepUntilNs(MonotonicNs() + static_cast<std::int64_t>(ms) * 1000000);
  }

  void SleepMs(int ms) override { PauseMs(ms); }

  bool Notice(const char* title, const char* text, int) override {
    std::string line = "ZEL notice [";
    AppendVisible(&line, title);
    line += "] ";
    AppendVisible(&line, text);
    line += '\n';
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    return false;  // nobody can be asked: a Yes/No question is answered No
  }

  DateTime Now() override {
    time_t t = ::time(nullptr);
    tm lt{};
    localtime_r(&t, &lt);
    return {lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec};
  }

 private:
  // Waits for bytes with the buffer empty: true with at least one byte buffered, false after
  // about 1 ms with none (an empty read). The wait comes first, so an empty read costs one
  // system call and bytes that came cost two.
  bool Refill(int fd, RxBuffer& r, std::int64_t deadline) {
    r.head = r.tail = 0;
    for (;;) {
      std::int64_t left = deadline - MonotonicNs();
      if (left <= 0) return false;
      pollfd p{fd, POLLIN, 0};
      timespec ts{0, static_cast<long>(left)};
      int polled = ::ppoll(&p, 1, &ts, nullptr);
      if (polled == 0) return false;
      if (polled < 0 && errno == EINTR) continue;
      if (polled > 0 && (p.revents & POLLIN)) {
        ssize_t n = ::read(fd, r.bytes.data(), r.bytes.size());
        if (n > 0) {
          r.tail = static_cast<int>(n);
          AwaitRest(fd, r);
          return true;
        }
        if (n < 0 && errno == EINTR) continue;
      }
      // A line that polls readable and still gives nothing (in raw mode with no minimum count an
      // empty read returns 0), that hangs up, or that fails outright (EIO after a hang-up) has
      // gone: the empty read still takes its millisecond, so the link's empty-read counts keep
      // their meaning in time and nothing spins.
      SleepUntilNs(deadline);
      return false;
    }
  }

  // The awaited reply's first read, when one is planned: one sleep until the command and the reply
  // have had their wire time, then one read. True with bytes buffered; what is missing then is due
  // at once (the other end was that late), so it is read as it comes, without the sleep that
  // would make the reply late by the rest's wire time. Nothing there yet is an
  // empty read that took the reply's wire time instead of 1 ms (so a time-out comes at most that
  // much later); the reads after it wait as always. If the sleep was already over (the host was
  // late), nothing there leaves the wait to Refill, so the empty read still takes its 1 ms.
  bool FirstRead(int fd, RxBuffer& r) {
    const std::int64_t at = r.first_read_at;
    if (at == 0) return false;
    r.first_read_at = 0;
    r.head = r.tail = 0;
    if (at > MonotonicNs()) SleepUntilNs(at);
    ssize_t n = ::read(fd, r.bytes.data(), r.bytes.size());
    if (n <= 0) return false;
    r.tail = static_cast<int>(n);
    r.waited = true;
    return true;
  }

  // The first bytes of an awaited reply are in: the rest is on the wire and cannot come sooner
  // than its wire time, so one sleep of that length replaces a wakeup per byte. Once per reply:
  // a controller that stalls mid-reply is then read as the bytes come, and its silence counts in
  // empty reads as always, so a time-out is at most one reply's wire time (12.5 ms) later.
  void AwaitRest(int fd, RxBuffer& r) {
    const int missing = r.TakeWait();
    if (missing == 0) return;
    SleepUntilNs(MonotonicNs() + static_cast<std::int64_t>(r.WireMs(missing) * 1e6));
    ssize_t n = ::read(fd, r.bytes.data() + r.tail, static_cast<std::size_t>(r.Space()));
    if (n > 0) r.tail += static_cast<int>(n);
  }

  // Forgets what is buffered and any reply awaited. Whatever discards the line's waiting input
  // must call this too: bytes already read off the line are waiting input as well.
  void DropBuffered(PortHandle handle) {
    if (auto rx = rx_.find(handle); rx != rx_.end()) rx->second.Drop();
  }

  int Fd(PortHandle handle) const {
    auto it = fds_.find(handle);
    return it == fds_.end() ? -1 : it->second;
  }

  std::map<PortHandle, int> fds_;
  std::map<PortHandle, std::string> paths_;
  std::map<PortHandle, RxBuffer> rx_;
  PortHandle next_ = 1;
};

}  // namespace

Platform& Native() {
  static PosixPlatform platform;
  return platform;
}

namespace {
std::recursive_mutex& CallMutex() {
  // Built on first use, so a call made while a host's static objects are still being constructed
  // finds it ready.
  static std::recursive_mutex mutex;
  return mutex;
}
}  // namespace

void LockCalls() {
  CallMutex().lock();
}

void UnlockCalls() {
  CallMutex().unlock();
}

}  // namespace zel::platform
