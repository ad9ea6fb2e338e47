// Whole-file reading and replacing on POSIX.

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/file.h"

namespace zel::platform {
namespace {

// Attempts at a fresh temporary name before giving up; a clash needs another process to have
// taken the very same name in the same folder.
constexpr int kNameAttempts = 100;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the close's result (a delayed write error shows up here).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The folder part of path ("." for a bare name, "/" for a name in the root).
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string UniqueName(const std::string& folder) {
  static std::atomic<unsigned> counter{0};
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  char name[96];
  std::snprintf(name, sizeof name, "/.zel-cal-%ld-%u-%lx.part", static_cast<long>(::getpid()),
                counter.fetch_add(1), static_cast<unsigned long>(ts.tv_nsec ^ ts.tv_sec));
  return folder + name;
}

}  // namespace

FileRead ReadRegularFile(const char* path, std::size_t max_bytes, FileBytes* out) {
  out->size = 0;
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it has no effect on a regular file.
  Fd fd(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return FileRead::kCannotOpen;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return FileRead::kCannotOpen;
  if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > max_bytes) {
    return FileRead::kTooLarge;
  }
  // Room for the whole file and one byte more, so that a file that grew meanwhile shows itself
  // without a second pass; the read stops at the limit whatever the file does.
  const std::size_t want = static_cast<std::size_t>(st.st_size) + 1;
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
    const ssize_t n = ::read(fd.get(), out->data.get() + got, out->capacity - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FileRead::kReadError;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > max_bytes) return FileRead::kTooLarge;
  out->size = got;
  return FileRead::kOk;
}

FileWrite ReplaceWholeFile(const char* path, const char* bytes, std::size_t size) {
  struct stat st {};
  // stat follows a link: a link to a folder names a folder as well.
  if (::stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return FileWrite::kIsDirectory;
  const std::string target(path);
  if (target.empty() || target.back() == '/') return FileWrite::kIsDirectory;
  const std::string folder = FolderOf(target);

  std::string temp;
  int raw = -1;
  for (int attempt = 0; attempt < kNameAttempts && raw < 0; ++attempt) {
    temp = UniqueName(folder);
    // O_EXCL fails on any existing name, a symbolic link included, so nothing is written
    // through a name that someone else prepared.
    raw = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (raw < 0 && errno != EEXIST) return FileWrite::kFailed;
  }
  if (raw < 0) return FileWrite::kFailed;
  Fd fd(raw);
  bool ok = WriteAll(fd.get(), bytes, size);
  // The data reaches the disk before the new name points at it: a crash leaves the old file or
  // the whole new one, never an empty file under the calibration's name.
  ok = ok && ::fsync(fd.get()) == 0;
  ok = fd.Close() && ok;
  ok = ok && ::rename(temp.c_str(), path) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return FileWrite::kFailed;
  }
  // The rename itself is made durable by flushing the folder. The file is in place whatever this
  // says (some file systems cannot flush a folder), so a failure here is not reported.
  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) (void)::fsync(dir.get());
  return FileWrite::kOk;
}

}  // namespace zel::platform
