// Whole-file reading and replacing on Windows.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>

#include <windows.h>

#include "platform/file.h"

namespace zel::platform {
namespace {

constexpr int kNameAttempts = 100;
// ReadFile and WriteFile take a 32-bit count.
constexpr DWORD kMaxIo = 1u << 30;

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool Close() {
    const HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return CloseHandle(h) != 0;
  }

 private:
  HANDLE h_;
};

std::string FolderOf(const std::string& path) {
  const std::size_t sep = path.find_last_of("\\/:");
  if (sep == std::string::npos) return ".";
  if (path[sep] == ':') return path.substr(0, sep + 1) + ".";
  if (sep == 0) return path.substr(0, 1);
  return path.substr(0, sep);
}

}  // namespace

FileRead ReadRegularFile(const char* path, std::size_t max_bytes, FileBytes* out) {
  out->size = 0;
  // A folder does not open without FILE_FLAG_BACKUP_SEMANTICS; a pipe or a device opens but is
  // no disk file and is refused before a byte is read.
  Handle h(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (h.get() == INVALID_HANDLE_VALUE) return FileRead::kCannotOpen;
  if (GetFileType(h.get()) != FILE_TYPE_DISK) return FileRead::kCannotOpen;
  LARGE_INTEGER length{};
  if (!GetFileSizeEx(h.get(), &length)) return FileRead::kReadError;
  if (length.QuadPart < 0 || static_cast<unsigned long long>(length.QuadPart) > max_bytes) {
    return FileRead::kTooLarge;
  }
  const std::size_t want = static_cast<std::size_t>(length.QuadPart) + 1;
  if (out->capacity < want) {
    out->data.reset(new char[want + FileBytes::kSpareBytes]);
    out->capacity = want;
  }
  std::size_t got = 0;
  for (;;) {
    if (got == out->capacity) {
      if (got > max_bytes) return FileRead::kTooLarge;
      const std::size_t grown = got * 2 < max_bytes + 1 ? got * 2 : max_bytes + 1;
      std::unique_ptr<char[]> bigger(new char[grown + FileBytes::kSpareBytes]);
      std::copy(out->data.get(), out->data.get() + got, bigger.get());
      out->data = std::move(bigger);
      out->capacity = grown;
    }
    const std::size_t room = out->capacity - got;
    DWORD n = 0;
    if (!ReadFile(h.get(), out->data.get() + got,
                  static_cast<DWORD>(std::min<std::size_t>(room, kMaxIo)), &n, nullptr)) {
      return FileRead::kReadError;
    }
    if (n == 0) break;
    got += n;
  }
  if (got > max_bytes) return FileRead::kTooLarge;
  out->size = got;
  return FileRead::kOk;
}

FileWrite ReplaceWholeFile(const char* path, const char* bytes, std::size_t size) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return FileWrite::kIsDirectory;
  }
  const std::string target(path);
  if (target.empty() || target.back() == '\\' || target.back() == '/') {
    return FileWrite::kIsDirectory;
  }
  const std::string folder = FolderOf(target);

  static std::atomic<unsigned> counter{0};
  std::string temp;
  HANDLE raw = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < kNameAttempts && raw == INVALID_HANDLE_VALUE; ++attempt) {
    char name[96];
    std::snprintf(name, sizeof name, "\\.zel-cal-%lu-%u-%lx.part", GetCurrentProcessId(),
                  counter.fetch_add(1), static_cast<unsigned long>(GetTickCount()));
    temp = folder + name;
    // CREATE_NEW fails on any existing name, a link included.
    raw = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (raw == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
      return FileWrite::kFailed;
    }
  }
  if (raw == INVALID_HANDLE_VALUE) return FileWrite::kFailed;
  Handle h(raw);
  bool ok = true;
  while (ok && size > 0) {
    DWORD n = 0;
    ok = WriteFile(h.get(), bytes, static_cast<DWORD>(std::min<std::size_t>(size, kMaxIo)), &n,
                   nullptr) != 0 &&
         n > 0;
    bytes += n;
    size -= n;
  }
  ok = ok && FlushFileBuffers(h.get()) != 0;
  ok = h.Close() && ok;
  // MOVEFILE_WRITE_THROUGH returns once the rename is on the disk (the folder's flush on POSIX).
  ok = ok && MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) {
    DeleteFileA(temp.c_str());
    return FileWrite::kFailed;
  }
  return FileWrite::kOk;
}

}  // namespace zel::platform
