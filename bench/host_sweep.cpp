// A sweep as a host sees it, out of process: this program loads the library (dlopen, as any host
// would), starts `zel-sim --paced` as a child on its own pseudo-terminal and measures 300-point
// sweeps at 57600 and 115000 baud:
//   - wall time over wire time, the wire time being (9 + 72) x 10 / baud a point (the command
//     and the detector record on the line);
//   - the library's CPU per point: this thread's CPU time around the ZEL_ScanPoint calls;
//   - the simulator's CPU per point over the same span, from its threads' scheduler statistics.
//
//   host_sweep [--lib PATH] [--sim PATH] [--points N] [--runs N] [--rate 57600|115000]...
//
// The defaults are the library and the zel-sim of this build; --lib and --sim point it at another
// build (a figure before a change, measured with the same host). Medians of --runs sweeps.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
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
  std::printf("%8s %10s %12s %14s %14s\n", "baud", "wire_ms", "wall/wire", "lib_cpu_us/pt",
              "sim_cpu_us/pt");
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
    std::vector<double> ratios, lib_us, sim_us;
    for (int run = 0; run < runs; ++run) {
      const double sim0 = ProcessCpuS(sim.pid);
      const double cpu0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
      const double wall0 = Seconds(CLOCK_MONOTONIC);
      // 1..29 MHz: below the frequencies that are measured on both sides of a grid point.
      for (int i = 0; i < points; ++i)
        failed += lib.ScanPoint(0, 1.0 + 28.0 * i / points, &r, &x) != 0;
      const double wall = Seconds(CLOCK_MONOTONIC) - wall0;
      const double cpu = Seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
      const double sim_cpu = ProcessCpuS(sim.pid) - sim0;
      ratios.push_back(wall / wire_s);
      lib_us.push_back(1e6 * cpu / points);
      sim_us.push_back(1e6 * sim_cpu / points);
    }
    lib.CommPort(0, 1, 0);
    StopSim(sim);
    std::printf("%8d %10.2f %12.4f %14.1f %14.1f\n", baud, 1e3 * wire_s / points, Median(ratios),
                Median(lib_us), Median(sim_us));
    std::fflush(stdout);
  }
  if (failed) std::fprintf(stderr, "host_sweep: %d points failed\n", failed);
  return failed ? 1 : 0;
}
