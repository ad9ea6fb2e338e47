// A sweep as a host sees it, out of process: this program loads the library (dlopen, as any host
// would), starts `zel-sim --paced` as a child on its own pseudo-terminal and measures 300-point
// sweeps at 57600 and 115000 baud:
//   - wall time over wire time, the wire time being (9 + 72) x 10 / baud a point (the command
//     and the detector record on the line);
//   - the library's CPU per point: this thread's CPU time around the ZEL_ScanPoint calls;
//   - the simulator's CPU per point over the same span, from its threads' scheduler statistics.
// A bare host on the same line is the reference: it writes the same commands and reads each record
// as fast as it comes (a read whenever bytes are there), so its wall time is what the line and the
// simulator allow.
//
//   host_sweep [--lib PATH] [--sim PATH] [--points N] [--runs N] [--rate 57600|115000]...
//
// The defaults are the library and the zel-sim of this build; --lib and --sim point it at another
// build (a figure before a change, measured with the same host). Medians of --runs sweeps. On a
// shared machine, `chrt -f 10 host_sweep` (the simulator inherits it) keeps other jobs out of the
// wakeup latencies the wall time is made of.
#include <asm/termbits.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#ifndef ZEL_BENCH_LIB
#define ZEL_BENCH_LIB "ZEL_863_DLL.so"
#endif
#ifndef ZEL_BENCH_SIM
#define ZEL_BENCH_SIM "zel-sim"
#endif

namespace {

using CommPortFn = std::int32_t (*)(std::int32_t, std::int32_t, std::int32_t);
using InitVarsFn = std::int32_t (*)(std::int32_t);
using ScanPointFn = std::int32_t (*)(std::int32_t, double, double*, double*);

struct Library {
  CommPortFn CommPort = nullptr;
  InitVarsFn InitVars = nullptr;
  InitVarsFn GetSerialNum = nullptr;
  ScanPointFn ScanPoint = nullptr;
};

double Seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// CPU seconds of every thread of a process (the simulator serves the line on its own thread).
double ProcessCpuS(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (!d) return 0;
  double total = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream f(dir + "/" + e->d_name + "/schedstat");
    unsigned long long run_ns = 0;
    if (f >> run_ns) total += 1e-9 * static_cast<double>(run_ns);
  }
  closedir(d);
  return total;
}

struct Sim {
  pid_t pid = -1;
  std::string path;
};

Sim StartSim(const std::string& exe) {
  int out[2];
  if (pipe(out) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    int null_fd = open("/dev/null", O_WRONLY);  // its notes on stderr would break the table
    if (null_fd >= 0) dup2(null_fd, 2);
    close(out[0]);
    close(out[1]);
    execl(exe.c_str(), exe.c_str(), "--paced", "--no-stdin", "--model", "standard", "--dut",
          "antenna:f0=14.2,r=50,q=10", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string line;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  return {pid, line};
}

void StopSim(const Sim& sim) {
  if (sim.pid <= 0) return;
  kill(sim.pid, SIGTERM);
  int status = 0;
  waitpid(sim.pid, &status, 0);
}

struct Figures {
  std::vector<double> ratio, lib_us, sim_us;
};

// The reference host: raw 8N1 at baud, reading whatever has come as soon as it has come. False
// when the line does not answer.
bool BareSweeps(const Sim& sim, int baud, int points, int runs, Figures* out) {
  int fd = open(sim.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  auto set_rate = [fd](int rate) {
    termios2 t{};
    ioctl(fd, TCGETS2, &t);
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = t.c_ospeed = static_cast<speed_t>(rate);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ioctl(fd, TCSETS2, &t);
  };
  set_rate(57600);
  if (baud != 57600) {
    // As the library does: "C" at 57600 moves the controller to the higher rate.
    if (write(fd, "C", 1) != 1) return false;
    usleep(50000);
    set_rate(baud);
  }
  auto point = [&](const char* cmd) {
    if (write(fd, cmd, 9) != 9) return false;
    unsigned char buf[128];
    std::size_t got = 0;
    while (got < 72) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 1000) != 1) return false;
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) return false;
      got += static_cast<std::size_t>(n);
    }
    return true;
  };
  bool ok = point("F0916872B");
  const double wire_s = points * (9.0 + 72.0) * 10.0 / baud;
  for (int run = 0; ok && run < runs; ++run) {
    const double sim0 = ProcessCpuS(sim.pid);
    const double cpu0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
    const double wall0 = Seconds(CLOCK_MONOTONIC);
    for (int i = 0; ok && i < points; ++i) ok = point("F0916872B");
    out->ratio.push_back((Seconds(CLOCK_MONOTONIC) - wall0) / wire_s);
    out->lib_us.push_back(1e6 * (Seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0) / points);
    out->sim_us.push_back(1e6 * (ProcessCpuS(sim.pid) - sim0) / points);
  }
  close(fd);
  return ok;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::string lib_path = ZEL_BENCH_LIB;
  std::string sim_path = ZEL_BENCH_SIM;
  int points = 300;
  int runs = 5;
  std::vector<int> rates;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--lib" && v) {
      lib_path = v;
    } else if (a == "--sim" && v) {
      sim_path = v;
    } else if (a == "--points" && v) {
      points = std::max(1, std::atoi(v));
    } else if (a == "--runs" && v) {
      runs = std::max(1, std::atoi(v));
    } else if (a == "--rate" && v) {
      rates.push_back(std::atoi(v));
    } else {
      std::fprintf(stderr,
                   "usage: host_sweep [--lib PATH] [--sim PATH] [--points N] [--runs N] "
                   "[--rate 57600|115000]...\n");
      return 2;
    }
    ++i;
  }
  if (rates.empty()) rates = {57600, 115000};

  void* h = dlopen(lib_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    std::fprintf(stderr, "host_sweep: %s\n", dlerror());
    return 1;
  }
  Library lib;
  lib.CommPort = reinterpret_cast<CommPortFn>(dlsym(h, "ZEL_CommPort"));
  lib.InitVars = reinterpret_cast<InitVarsFn>(dlsym(h, "ZEL_InitVars"));
  lib.GetSerialNum = reinterpret_cast<InitVarsFn>(dlsym(h, "ZEL_GetSerialNum"));
  lib.ScanPoint = reinterpret_cast<ScanPointFn>(dlsym(h, "ZEL_ScanPoint"));
  if (!lib.CommPort || !lib.InitVars || !lib.GetSerialNum || !lib.ScanPoint) {
    std::fprintf(stderr, "host_sweep: %s lacks the ZEL_ functions\n", lib_path.c_str());
    return 1;
  }

  std::printf("library %s\nsimulator %s --paced, %d points, median of %d sweeps\n",
              lib_path.c_str(), sim_path.c_str(), points, runs);
  std::printf("%-8s %8s %10s %10s %10s %14s %14s\n", "host", "baud", "wire_ms", "wall/wire", "best",
              "host_cpu_us/pt", "sim_cpu_us/pt");
  auto print = [&](const char* host, int baud, const Figures& f) {
    std::printf("%-8s %8d %10.2f %10.4f %10.4f %14.1f %14.1f\n", host, baud,
                (9.0 + 72.0) * 10.0 / baud * 1e3, Median(f.ratio),
                *std::min_element(f.ratio.begin(), f.ratio.end()), Median(f.lib_us),
                Median(f.sim_us));
    std::fflush(stdout);
  };
  int failed = 0;
  for (int rate : rates) {
    const int baud = rate > 100000 ? 115000 : 57600;
    Sim sim = StartSim(sim_path);
    if (sim.path.empty()) {
      std::fprintf(stderr, "host_sweep: %s did not start\n", sim_path.c_str());
      return 1;
    }
    setenv("ZEL_COM1", sim.path.c_str(), 1);
    if (lib.CommPort(1, 1, rate) != 0) {
      std::fprintf(stderr, "host_sweep: the port did not open\n");
      StopSim(sim);
      return 1;
    }
    lib.InitVars(0);
    lib.GetSerialNum(0);
    double r = 0, x = 0;
    lib.ScanPoint(0, 1.0, &r, &x);  // the relay switch and its pause are not part of the sweep
    const double wire_s = points * (9.0 + 72.0) * 10.0 / baud;
    Figures f;
    for (int run = 0; run < runs; ++run) {
      const double sim0 = ProcessCpuS(sim.pid);
      const double cpu0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
      const double wall0 = Seconds(CLOCK_MONOTONIC);
      // 1..29 MHz: below the frequencies that are measured on both sides of a grid point.
      for (int i = 0; i < points; ++i)
        failed += lib.ScanPoint(0, 1.0 + 28.0 * i / points, &r, &x) != 0;
      f.ratio.push_back((Seconds(CLOCK_MONOTONIC) - wall0) / wire_s);
      f.lib_us.push_back(1e6 * (Seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0) / points);
      f.sim_us.push_back(1e6 * (ProcessCpuS(sim.pid) - sim0) / points);
    }
    lib.CommPort(0, 1, 0);
    print("library", baud, f);
    Figures bare;
    if (BareSweeps(sim, baud, points, runs, &bare)) {
      print("bare", baud, bare);
    } else {
      std::fprintf(stderr, "host_sweep: the bare host got no records\n");
    }
    StopSim(sim);
  }
  if (failed) std::fprintf(stderr, "host_sweep: %d points failed\n", failed);
  return failed ? 1 : 0;
}
