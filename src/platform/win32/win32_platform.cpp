// The real platform on Windows: the Win32 serial services, GetTickCount, a pause that keeps the
// host's windows alive, and MessageBoxA for the notices.
//
// COMn is the device "\\.\COMn": the device-namespace prefix makes COM10 and above work with the
// same name form as COM1.
//
// Reads are buffered as on POSIX: one ReadFile takes every byte the driver holds, ReadByte hands
// them out, and while the link awaits a reply of known length (ExpectReply) the first bytes of it
// are followed by one sleep as long as the rest's wire time. With nothing waiting, a one-byte
// ReadFile waits under the time-outs as set: a byte at once, else nothing after about 1 ms.
//
// Handles are numbers that are never given out twice, as on POSIX. Windows reuses the value of a
// closed HANDLE for the host's next object, so closing or writing a handle the library already
// closed could hit a file or event of the host's; a closed handle here is simply unknown and every
// operation on it fails.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <map>
#include <string>

#include "platform/platform.h"
#include "platform/rx_buffer.h"

namespace zel::platform {
namespace {

// The link counts empty reads as milliseconds of waiting (2000 of them are the record time-out),
// so an empty read never comes back sooner than this, whatever the driver does.
constexpr double kEmptyReadMs = 1.0;
// The slice the dispatching pause sleeps between looks at the message queue: short enough that a
// host window repaints and answers input smoothly while the library waits.
constexpr DWORD kPauseSliceMs = 1;
// Sleep goes by the system timer: 15.6 ms a tick unless some program asked for a finer one. A
// sleep through a reply's wire time that comes back later than this shows the coarse timer.
constexpr double kLateSleepMs = 1.5;

double NowMs() {
  static const double ticks_per_ms = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart) / 1000.0;
  }();
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / ticks_per_ms;
}

void SleepUntilMs(double deadline) {
  for (double left = deadline - NowMs(); left > 0; left = deadline - NowMs()) {
    Sleep(left >= 2 ? static_cast<DWORD>(left) - 1 : 1);
  }
}

class Win32Platform final : public Platform {
 public:
  bool OpenPort(int port, PortHandle* handle) override {
    std::string name = "\\\\.\\COM" + std::to_string(port);
    // Not shared (share mode 0: a second program on the line would steal the controller's
    // replies; Windows refuses its CreateFileA with a sharing violation, and a comm device is
    // never opened twice anyway), no overlapped I/O: every read and write completes before the
    // call returns.
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    *handle = next_++;
    handles_[*handle] = h;
    ports_[*handle] = port;
    rx_[*handle] = RxBuffer{};
    return true;
  }

  bool ClosePort(PortHandle handle) override {
    auto it = handles_.find(handle);
    if (it == handles_.end()) return false;
    HANDLE h = it->second;
    handles_.erase(it);
    ports_.erase(handle);
    DropBuffered(handle);
    rx_.erase(handle);
    return CloseHandle(h) != 0;
  }

  std::string PortDevice(PortHandle handle) const override {
    auto it = handles_.find(handle);
    return it == handles_.end() ? std::string() : "COM" + std::to_string(ports_.at(handle));
  }

  bool SetTimeouts(PortHandle handle, const ReadTimeouts& timeouts) override {
    HANDLE h = Handle(handle);
    if (h == INVALID_HANDLE_VALUE) return false;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = static_cast<DWORD>(timeouts.IntervalMs);
    t.ReadTotalTimeoutMultiplier = static_cast<DWORD>(timeouts.TotalMultiplierMs);
    t.ReadTotalTimeoutConstant = static_cast<DWORD>(timeouts.TotalConstantMs);
    t.WriteTotalTimeoutMultiplier = 0;  // no write time-out: a command always goes out whole
    t.WriteTotalTimeoutConstant = 0;
    return SetCommTimeouts(h, &t) != 0;
  }

  bool GetLine(PortHandle handle, LineSettings* line) override {
    DCB dcb;
    if (!ReadState(handle, &dcb)) return false;
    line->BaudRate = static_cast<int>(dcb.BaudRate);
    line->DataBits = dcb.ByteSize;
    line->Parity = dcb.Parity == NOPARITY ? 0 : 1;
    line->StopBits = dcb.StopBits == TWOSTOPBITS ? 2 : 1;
    return true;
  }

  bool SetLine(PortHandle handle, const LineSettings& line) override {
    // Only the rate and the frame change; flow control and the special characters stay as the
    // driver has them, so the record is read back and written with those four fields replaced.
    DCB dcb;
    if (!ReadState(handle, &dcb)) return false;
    dcb.BaudRate = static_cast<DWORD>(line.BaudRate);
    dcb.ByteSize = static_cast<BYTE>(line.DataBits);
    dcb.Parity = line.Parity ? EVENPARITY : NOPARITY;
    dcb.fParity = line.Parity ? TRUE : FALSE;
    dcb.StopBits = line.StopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    if (SetCommState(Handle(handle), &dcb) == 0) return false;
    if (auto rx = rx_.find(handle); rx != rx_.end()) rx->second.baud = line.BaudRate;
    return true;
  }

  bool RaiseRts(PortHandle handle) override {
    HANDLE h = Handle(handle);
    return h != INVALID_HANDLE_VALUE && EscapeCommFunction(h, SETRTS) != 0;
  }

  bool Write(PortHandle handle, const std::uint8_t* bytes, int count) override {
    HANDLE h = Handle(handle);
    if (h == INVALID_HANDLE_VALUE || count <= 0) return false;
    DWORD written = 0;
    return WriteFile(h, bytes, static_cast<DWORD>(count), &written, nullptr) != 0 &&
           written == static_cast<DWORD>(count);
  }

  void Purge(PortHandle handle, int what) override {
    HANDLE h = Handle(handle);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD flags = 0;
    // Bytes already taken off the line into the buffer are waiting input as well.
    if (what & kPurgeInput) DropBuffered(handle);
    if (what & kPurgeInput) flags |= PURGE_RXCLEAR;
    if (what & kPurgeOutput) flags |= PURGE_TXCLEAR;
    if (flags != 0) PurgeComm(h, flags);
  }

  int ReadByte(PortHandle handle) override {
    double deadline = NowMs() + kEmptyReadMs;
    HANDLE h = Handle(handle);
    auto rx = rx_.find(handle);
    if (h != INVALID_HANDLE_VALUE && rx != rx_.end()) {
      RxBuffer& r = rx->second;
      if (r.Buffered() > 0 || Refill(h, r)) return r.Take();
    }
    // Nothing came. A dead handle or a driver that fails at once must still cost the link its
    // millisecond, or a 2000-read time-out would be over in no time.
    SleepUntilMs(deadline);
    return -1;
  }

  void ExpectReply(PortHandle handle, int bytes) override {
    if (auto rx = rx_.find(handle); rx != rx_.end()) rx->second.Expect(bytes);
  }

  std::uint32_t TickMs() override { return GetTickCount(); }

  void PauseMs(int ms) override {
    if (ms <= 0) return;
    double deadline = NowMs() + ms;
    bool quit_seen = false;
    for (;;) {
      MSG msg;
      while (!quit_seen && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
          // The host's own message loop must still see the request to end: it goes back on the
          // queue, and nothing more is dispatched during this pause.
          PostQuitMessage(static_cast<int>(msg.wParam));
          quit_seen = true;
          break;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
      if (NowMs() >= deadline) return;
      Sleep(kPauseSliceMs);
    }
  }

  void SleepMs(int ms) override {
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
  }

  bool Notice(const char* title, const char* text, int flags) override {
    UINT type = (flags & kNoticeYesNo) ? MB_YESNO : MB_OK;
    if (flags & kNoticeTopmost) type |= MB_TOPMOST;
    if (flags & kNoticeWarning) type |= MB_ICONWARNING;
    return MessageBoxA(nullptr, text, title, type) == IDYES;
  }

  DateTime Now() override {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
  }

 private:
  // Bytes the driver holds and no read has taken yet.
  static DWORD Waiting(HANDLE h) {
    DWORD errors = 0;
    COMSTAT stat{};
    return ClearCommError(h, &errors, &stat) ? stat.cbInQue : 0;
  }

  // With the buffer empty: everything waiting in one read, or with nothing waiting one byte under
  // the time-outs as set. True with at least one byte buffered.
  bool Refill(HANDLE h, RxBuffer& r) {
    r.head = r.tail = 0;
    const DWORD want = std::clamp<DWORD>(Waiting(h), 1, static_cast<DWORD>(r.bytes.size()));
    DWORD got = 0;
    if (!ReadFile(h, r.bytes.data(), want, &got, nullptr) || got == 0) return false;
    r.tail = static_cast<int>(got);
    AwaitRest(h, r);
    return true;
  }

  // The first bytes of an awaited reply are in: the rest cannot come sooner than its wire time,
  // so one sleep of that length replaces a read per byte. Once per reply, as on POSIX. On a
  // coarse system timer the sleep would outlast the wire time by up to a tick (a 72-byte record
  // takes 12.5 ms at 57600 baud), so after one such sleep the port reads as the bytes come, as
  // it did before, until it is opened again.
  void AwaitRest(HANDLE h, RxBuffer& r) {
    const int missing = r.TakeWait();
    if (missing == 0) return;
    const double until = NowMs() + r.WireMs(missing);
    SleepUntilMs(until);
    if (NowMs() - until > kLateSleepMs) r.no_waits = true;
    const DWORD want = std::min<DWORD>(Waiting(h), static_cast<DWORD>(r.Space()));
    DWORD got = 0;
    if (want > 0 && ReadFile(h, r.bytes.data() + r.tail, want, &got, nullptr))
      r.tail += static_cast<int>(got);
  }

  // Forgets what is buffered and any reply awaited. Whatever discards the line's waiting input
  // must call this too: bytes already read off the line are waiting input as well.
  void DropBuffered(PortHandle handle) {
    if (auto rx = rx_.find(handle); rx != rx_.end()) rx->second.Drop();
  }

  HANDLE Handle(PortHandle handle) const {
    auto it = handles_.find(handle);
    return it == handles_.end() ? INVALID_HANDLE_VALUE : it->second;
  }

  bool ReadState(PortHandle handle, DCB* dcb) const {
    HANDLE h = Handle(handle);
    if (h == INVALID_HANDLE_VALUE) return false;
    ZeroMemory(dcb, sizeof *dcb);
    // The length field holds the size of the whole record (28 bytes), as the API asks. The
    // 26 of older declarations is the same record without its trailing reserved word; giving
    // the full size changes nothing the link sets and leaves no part of the record undeclared.
    dcb->DCBlength = sizeof *dcb;
    return GetCommState(h, dcb) != 0;
  }

  std::map<PortHandle, HANDLE> handles_;
  std::map<PortHandle, int> ports_;
  std::map<PortHandle, RxBuffer> rx_;
  PortHandle next_ = 1;
};

}  // namespace

Platform& Native() {
  static Win32Platform platform;
  return platform;
}

namespace {
// A critical section is recursive for its owning thread. It is set up when the DLL is loaded,
// before any host code can call in.
struct CallSection {
  CRITICAL_SECTION section;
  CallSection() { InitializeCriticalSection(&section); }
  ~CallSection() { DeleteCriticalSection(&section); }
  CallSection(const CallSection&) = delete;
  CallSection& operator=(const CallSection&) = delete;
} g_calls;
}  // namespace

void LockCalls() {
  EnterCriticalSection(&g_calls.section);
}

void UnlockCalls() {
  LeaveCriticalSection(&g_calls.section);
}

}  // namespace zel::platform
