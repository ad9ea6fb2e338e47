#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace zelhost {
namespace {

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::string FolderProblem(const std::string& path) {
  const std::string folder = FolderOf(path);
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0) return "the folder " + folder + " does not exist";
  if (!S_ISDIR(st.st_mode)) return folder + " is not a folder";
  if (access(folder.c_str(), W_OK | X_OK) != 0)
    return "you may not write in the folder " + folder + " (" + std::strerror(errno) + ")";
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return path + " is a folder";
  return "";
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error) {
  const std::string folder = FolderOf(path);
  std::string pattern = folder + "/." + BaseOf(path) + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  mode_t mode;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && std::rename(name.data(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    std::remove(name.data());
    *error = std::strerror(saved);
    return false;
  }
  // The rename itself reaches the disk with the folder.
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

}  // namespace zelhost
