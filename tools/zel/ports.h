// The serial ports of this machine as a user sees them, and why one of them cannot be opened:
// everything here comes from what zel can see itself (the device node, sysfs, /proc).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zelhost {

struct PortEntry {
  std::string path;           // as a user names it: /dev/serial/by-id/... first, then /dev/ttyUSB0
  std::string device;         // the device node it leads to
  std::string usb;            // "0403:6001 FTDI FT232R USB UART serial A10K3XYZ", "" when not USB
  int latency_timer_ms = -1;  // the USB adapter's latency timer, -1 when it has none
  bool may_open = false;      // this user has read and write permission
  std::string group;          // the device's group ("dialout")
  std::string held_by;        // "1234 (minicom)", "" when no program holds it
};

// /dev/serial/by-id names first, then the ttyUSB, ttyACM and ttyS devices that exist (a ttyS
// only when the kernel found a UART behind it).
std::vector<PortEntry> ListPorts();
void PrintPorts(std::FILE* out, const std::vector<PortEntry>& ports);

// Why path cannot be opened as the analyzer's port: no such device; permission denied (with the
// group and the command to join it); held by another program (with its PID); not a serial device.
// "" when zel sees nothing wrong.
std::string PortProblem(const std::string& path);

// The latency timer of the USB serial adapter behind a device ("/dev/ttyUSB0", a by-id link), in
// ms, from sysfs (sysfs_root is "/sys" except in tests); -1 when the device has none.
int LatencyTimerMs(const std::string& device, const std::string& sysfs_root = "/sys");
// "16 ms (above 1 ms: docs/USB-ADAPTERS.md explains how to lower it)", or "1 ms".
std::string LatencyText(int ms);

// The programs other than this one that have the device open, "1234 (minicom), 99 (screen)".
std::string HoldersOf(const std::string& device);

}  // namespace zelhost
