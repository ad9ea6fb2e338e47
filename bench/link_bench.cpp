// The serial link on a real pseudo-terminal with the POSIX platform:
//  - reading a 72-byte detector record that is already waiting (CPU per record);
//  - a record time-out (2000 empty reads): its wall time and the CPU it burns while waiting;
//  - dropping the stale input before a request on a quiet line (the normal path): the driver's
//    flush, against one empty read (what a drop by reading would add to every request).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "link/exchange.h"
#include "link/port.h"
#include "platform/platform.h"
#include "state/defaults.h"
#include "state/state.h"

using zel::state;

namespace {

struct Pty {
  int master = -1, guard = -1;
  Pty() {
    char name[256] = {};
    if (openpty(&master, &guard, name, nullptr, nullptr) != 0) std::abort();
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    setenv("ZEL_COM1", name, 1);
    zel::ResetState();
    zel::InitDefaults();
    state.link.PortNumber = 1;
    state.link.BaudRate = 57600;
    zel::OpenPort();
    if (state.frame.StatusCode != 0) std::abort();
  }
  ~Pty() {
    zel::ClosePortHandle();
    close(master);
    close(guard);
  }
};

std::vector<unsigned char> Record() {
  std::vector<unsigned char> r(72);
  unsigned sum = 0;
  for (int i = 0; i < 70; i += 2) {
    r[i] = static_cast<unsigned char>(i);
    r[i + 1] = static_cast<unsigned char>(3 * i);
    sum += static_cast<unsigned>(r[i] * 256 + r[i + 1]);
  }
  r[70] = static_cast<unsigned char>((sum >> 8) & 0xFF);
  r[71] = static_cast<unsigned char>(sum & 0xFF);
  return r;
}

void BM_ReadWaitingRecord(benchmark::State& st) {
  Pty pty;
  auto rec = Record();
  for (auto _ : st) {
    st.PauseTiming();
    if (write(pty.master, rec.data(), rec.size()) != 72) std::abort();
    usleep(200);  // the bytes are through the line discipline before the read starts
    st.ResumeTiming();
    zel::ReadRecord(0);
    if (state.link.PortStatus != 1) st.SkipWithError("record not accepted");
  }
}
BENCHMARK(BM_ReadWaitingRecord)->Unit(benchmark::kMicrosecond);

void BM_RecordTimeout(benchmark::State& st) {
  Pty pty;
  double cpu_s = 0, wall_s = 0;
  for (auto _ : st) {
    timespec w0{}, w1{}, c0{}, c1{};
    clock_gettime(CLOCK_MONOTONIC, &w0);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c0);
    state.frame.StatusCode = 0;
    zel::ReadRecord(0);
    clock_gettime(CLOCK_MONOTONIC, &w1);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c1);
    if (state.frame.StatusCode != 34525) st.SkipWithError("no time-out");
    wall_s += static_cast<double>(w1.tv_sec - w0.tv_sec) +
              1e-9 * static_cast<double>(w1.tv_nsec - w0.tv_nsec);
    cpu_s += static_cast<double>(c1.tv_sec - c0.tv_sec) +
             1e-9 * static_cast<double>(c1.tv_nsec - c0.tv_nsec);
  }
  st.counters["wall_s"] = wall_s / static_cast<double>(st.iterations());
  st.counters["cpu_pct"] = 100.0 * cpu_s / wall_s;
}
BENCHMARK(BM_RecordTimeout)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_PurgeQuietLine(benchmark::State& st) {
  Pty pty;
  for (auto _ : st) {
    zel::platform::Current().Purge(state.link.CommHandle, zel::platform::kPurgeInput);
  }
}
BENCHMARK(BM_PurgeQuietLine)->Unit(benchmark::kMicrosecond);

void BM_EmptyReadQuietLine(benchmark::State& st) {
  Pty pty;
  for (auto _ : st) {
    if (zel::ReadReplyByte() >= 0) st.SkipWithError("the line was not quiet");
  }
}
BENCHMARK(BM_EmptyReadQuietLine)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
