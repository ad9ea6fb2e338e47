// The seam to the operating system: the serial port, the millisecond clock and pause, the
// notices and the current date. The engine reaches the OS only through Current(); a POSIX
// implementation serves a real port, a fake one (fake/) a scripted peer and a virtual clock.
//
// The operations are the ones the Windows serial services offer (CreateFileA, Get/SetCommState,
// SetCommTimeouts, EscapeCommFunction, ReadFile, WriteFile, CloseHandle, GetTickCount, Sleep with
// message dispatch, MessageBoxA), so a Win32 implementation fits behind the same seam.
#pragma once

#include <cstdint>
#include <string>

#include "platform/port_handle.h"

namespace zel::platform {

struct LineSettings {
  int BaudRate;
  int DataBits;  // 8
  int Parity;    // 0 = none
  int StopBits;  // 1
};

// Read time-outs in the Windows sense; the link always sets interval 100, multiplier 0,
// constant 1: a one-byte read returns at once when a byte is there, else after about 1 ms.
struct ReadTimeouts {
  int IntervalMs;
  int TotalMultiplierMs;
  int TotalConstantMs;
};

struct DateTime {
  int Year;  // four digits
  int Month;
  int Day;
  int Hour;
  int Minute;
  int Second;
};

// What Purge drops.
enum PurgeFlags : int {
  kPurgeInput = 1,   // received and not yet read
  kPurgeOutput = 2,  // written and not yet sent
};

enum NoticeFlags : int {
  kNoticeOk = 0,
  kNoticeYesNo = 1,
  kNoticeTopmost = 2,
  kNoticeWarning = 4,
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Opens COM<port> for reading and writing, exclusively. Returns false when it cannot.
  virtual bool OpenPort(int port, PortHandle* handle) = 0;
  // Closes a handle; false when it is not an open handle (never closes anything twice).
  virtual bool ClosePort(PortHandle handle) = 0;
  virtual bool SetTimeouts(PortHandle handle, const ReadTimeouts& timeouts) = 0;
  virtual bool GetLine(PortHandle handle, LineSettings* line) = 0;
  virtual bool SetLine(PortHandle handle, const LineSettings& line) = 0;
  virtual bool RaiseRts(PortHandle handle) = 0;
  // One command in one write. True when every byte was handed to the driver; false on a handle
  // that is not open or a write the driver refused (an adapter that was pulled).
  virtual bool Write(PortHandle handle, const std::uint8_t* bytes, int count) = 0;
  // Drops what waits in the driver's queues (PurgeFlags). Never waits: it costs no time when
  // nothing is there. A ReadByte that reads ahead into a buffer of its own must drop that
  // buffer too on kPurgeInput: a byte received before the purge is never read after it.
  virtual void Purge(PortHandle handle, int what) = 0;
  // One byte, or -1 when none came within about 1 ms (never sooner, also on a dead handle).
  virtual int ReadByte(PortHandle handle) = 0;
  // The link is about to read a reply of `bytes` bytes (0: none is awaited any more). A hint
  // only: a platform may use it to wait for the rest of a reply in one sleep instead of waking
  // for every byte. ReadByte hands out the same bytes either way, and an empty read still takes
  // its millisecond.
  virtual void ExpectReply(PortHandle /*handle*/, int /*bytes*/) {}
  // The device an open handle stands for ("/dev/ttyUSB0"), or "" when the handle is not open.
  virtual std::string PortDevice(PortHandle /*handle*/) const { return {}; }

  virtual std::uint32_t TickMs() = 0;
  // Waits ms milliseconds; on Windows it hands the thread's window messages on meanwhile.
  virtual void PauseMs(int ms) = 0;
  // Waits ms milliseconds without handing on window messages (the identification's wait).
  virtual void SleepMs(int ms) = 0;

  // A modal notice; returns true when a Yes/No question is answered Yes.
  virtual bool Notice(const char* title, const char* text, int flags) = 0;

  virtual DateTime Now() = 0;
};

Platform& Current();
// Installs another platform (tests, the in-process simulator); nullptr restores the real one.
void Install(Platform* platform);

// The notice as the engine shows it: through the host's handler when one is installed, else
// through the platform. Returns true for Yes.
bool ShowNotice(const char* title, const char* text, int flags);
using NoticeHandler = int (*)(const char* title, const char* text, int yes_no);
void SetNoticeHandler(NoticeHandler handler);

// The real platform of this build (POSIX or Win32).
Platform& Native();

// The process-wide lock of the exported calls, whatever platform is installed. Recursive: the
// thread that holds it may take it again.
void LockCalls();
void UnlockCalls();

}  // namespace zel::platform
