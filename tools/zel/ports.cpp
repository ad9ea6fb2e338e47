#include "ports.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

namespace zelhost {
namespace {

namespace fs = std::filesystem;

std::string FirstLine(const fs::path& p) {
  std::ifstream f(p);
  std::string line;
  std::getline(f, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
  return line;
}

std::string Canonical(const std::string& path) {
  std::error_code ec;
  fs::path c = fs::canonical(path, ec);
  return ec ? path : c.string();
}

std::string GroupName(gid_t gid) {
  const group* g = getgrgid(gid);
  return g ? g->gr_name : std::to_string(gid);
}

// The USB device above a tty in sysfs: the first parent folder with an idVendor file.
std::string UsbText(const std::string& tty_name) {
  std::error_code ec;
  fs::path dev = fs::canonical("/sys/class/tty/" + tty_name + "/device", ec);
  if (ec) return "";
  for (fs::path p = dev; p.has_relative_path() && p != p.root_path(); p = p.parent_path()) {
    if (!fs::exists(p / "idVendor", ec)) continue;
    std::string text = FirstLine(p / "idVendor") + ":" + FirstLine(p / "idProduct");
    for (const char* field : {"manufacturer", "product"}) {
      std::string v = FirstLine(p / field);
      if (!v.empty()) text += " " + v;
    }
    std::string serial = FirstLine(p / "serial");
    if (!serial.empty()) text += " serial " + serial;
    return text;
  }
  return "";
}

PortEntry Describe(const std::string& path, const std::string& device) {
  PortEntry e;
  e.path = path;
  e.device = device;
  e.usb = UsbText(fs::path(device).filename().string());
  e.latency_timer_ms = LatencyTimerMs(device);
  struct stat st {};
  if (stat(device.c_str(), &st) == 0) e.group = GroupName(st.st_gid);
  e.may_open = access(device.c_str(), R_OK | W_OK) == 0;
  e.held_by = HoldersOf(device);
  return e;
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

}  // namespace

int LatencyTimerMs(const std::string& device, const std::string& sysfs_root) {
  if (device.empty()) return -1;
  const std::string tty = fs::path(Canonical(device)).filename().string();
  std::error_code ec;
  fs::path latency = fs::path(sysfs_root) / "class/tty" / tty / "device/latency_timer";
  if (!fs::is_regular_file(latency, ec)) return -1;
  std::string text = FirstLine(latency);
  if (text.empty() || text.size() > 6 || !std::all_of(text.begin(), text.end(), ::isdigit))
    return -1;
  return std::atoi(text.c_str());
}

std::string LatencyText(int ms) {
  std::string t = std::to_string(ms) + " ms";
  if (ms > 1) t += " (above 1 ms: docs/USB-ADAPTERS.md explains how to lower it)";
  return t;
}

std::string HoldersOf(const std::string& device) {
  const std::string target = Canonical(device);
  const std::string self = std::to_string(getpid());
  std::string held;
  std::error_code ec;
  for (const auto& proc : fs::directory_iterator("/proc", ec)) {
    std::string pid = proc.path().filename().string();
    if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit) || pid == self) continue;
    std::error_code fd_ec;
    for (const auto& fd : fs::directory_iterator(proc.path() / "fd", fd_ec)) {
      std::error_code link_ec;
      fs::path to = fs::read_symlink(fd.path(), link_ec);
      if (link_ec || to.string() != target) continue;
      std::string comm = FirstLine(proc.path() / "comm");
      held += (held.empty() ? "" : ", ") + pid + (comm.empty() ? "" : " (" + comm + ")");
      break;
    }
  }
  return held;
}

std::vector<PortEntry> ListPorts() {
  std::vector<PortEntry> ports;
  std::set<std::string> seen;
  std::error_code ec;
  std::vector<std::string> by_id;
  for (const auto& e : fs::directory_iterator("/dev/serial/by-id", ec)) by_id.push_back(e.path());
  std::sort(by_id.begin(), by_id.end());
  for (const std::string& p : by_id) {
    std::string device = Canonical(p);
    seen.insert(device);
    ports.push_back(Describe(p, device));
  }
  std::vector<std::string> devices;
  for (const auto& e : fs::directory_iterator("/dev", ec)) {
    std::string name = e.path().filename().string();
    if (!StartsWith(name, "ttyUSB") && !StartsWith(name, "ttyACM") && !StartsWith(name, "ttyS"))
      continue;
    // The kernel makes ttyS nodes for UARTs that may not be there; sysfs says which are.
    if (StartsWith(name, "ttyS") && FirstLine("/sys/class/tty/" + name + "/type") == "0") continue;
    devices.push_back(e.path());
  }
  // ttyUSB2 before ttyUSB10.
  std::sort(devices.begin(), devices.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  for (const std::string& d : devices)
    if (!seen.count(d)) ports.push_back(Describe(d, d));
  return ports;
}

void PrintPorts(std::FILE* out, const std::vector<PortEntry>& ports) {
  if (ports.empty()) {
    std::fprintf(out,
                 "no serial ports found (no /dev/serial/by-id, ttyUSB, ttyACM or ttyS with a "
                 "UART); a USB adapter shows up here once plugged in\n");
    return;
  }
  for (const PortEntry& p : ports) {
    std::fprintf(out, "%s", p.path.c_str());
    if (p.device != p.path) std::fprintf(out, " -> %s", p.device.c_str());
    std::fprintf(out, "\n");
    if (!p.usb.empty()) std::fprintf(out, "    USB %s\n", p.usb.c_str());
    if (p.latency_timer_ms >= 0)
      std::fprintf(out, "    latency_timer %s\n", LatencyText(p.latency_timer_ms).c_str());
    std::fprintf(out, "    may open: %s\n",
                 p.may_open ? "yes" : ("no (group " + p.group + ")").c_str());
    std::fprintf(out, "    held by: %s\n", p.held_by.empty() ? "none" : p.held_by.c_str());
  }
}

std::string PortProblem(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT)
      return "no such device ('zel ports' lists the serial ports of this machine)";
    return std::strerror(errno);
  }
  if (!S_ISCHR(st.st_mode))
    return std::string("not a serial device (") + (S_ISDIR(st.st_mode) ? "a folder" : "a file") +
           ")";
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    int err = errno;
    if (err == EACCES || err == EPERM) {
      std::string group = GroupName(st.st_gid);
      const passwd* pw = getpwuid(getuid());
      std::string user = pw ? pw->pw_name : "$USER";
      // Joining the group helps only when the group may read and write the device.
      if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
        const passwd* owner = getpwuid(st.st_uid);
        return std::string("permission denied: only its owner (") +
               (owner ? owner->pw_name : std::to_string(st.st_uid)) + ") may open it";
      }
      return "permission denied: the device belongs to the group '" + group +
             "'; join it with 'sudo usermod -aG " + group + " " + user +
             "', then log out and in again";
    }
    std::string holders = HoldersOf(path);
    if (err == EBUSY || !holders.empty())
      return "held by another program" + (holders.empty() ? std::string() : ": PID " + holders);
    if (err == EIO || err == ENXIO || err == ENODEV)
      return std::string("no device behind it (") + std::strerror(err) + ")";
    return std::strerror(err);
  }
  termios t{};
  bool tty = tcgetattr(fd, &t) == 0;
  close(fd);
  if (!tty) return "not a serial device (it has no terminal settings)";
  std::string holders = HoldersOf(path);
  if (!holders.empty()) return "held by another program: PID " + holders;
  return "";
}

}  // namespace zelhost
