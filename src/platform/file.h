// The seam to the file system: the calibration loader reads a whole file, the calibration writer
// replaces one. Both are free functions beside the Platform interface (tests use real files in a
// temporary folder), with one implementation per system (posix/file_posix.cpp,
// win32/file_win32.cpp).
#pragma once

#include <cstddef>
#include <memory>

namespace zel::platform {

enum class FileRead {
  kOk,
  kCannotOpen,  // missing, not permitted, or not a regular file (a folder, a FIFO, a device)
  kTooLarge,    // longer than the caller's limit; nothing was read
  kReadError,
};

// A file's bytes. The block is kept from one read to the next (a calibration is loaded again and
// again at the same size) and always has kSpareBytes behind capacity, for a reader's sentinel.
struct FileBytes {
  static constexpr std::size_t kSpareBytes = 1;
  std::unique_ptr<char[]> data;
  std::size_t capacity = 0;  // bytes usable in data, not counting the spare ones
  std::size_t size = 0;
};

// Reads the whole of a regular file into *out. Never blocks: the file is opened without waiting
// for a writer, and anything but a regular file is refused before a byte is read, as is a file
// longer than max_bytes. out->size is 0 on every failure.
FileRead ReadRegularFile(const char* path, std::size_t max_bytes, FileBytes* out);

enum class FileWrite {
  kOk,
  kIsDirectory,  // path names a folder (directly or through a link); nothing was written
  kFailed,
};

// Replaces the file at path with size bytes. They go to a new file with a unique name in the same
// folder (created exclusively, never through a symbolic link), which is flushed to the disk and
// renamed over path; the folder is flushed after the rename. On failure path is as it was and no
// temporary file is left behind.
FileWrite ReplaceWholeFile(const char* path, const char* bytes, std::size_t size);

}  // namespace zel::platform
