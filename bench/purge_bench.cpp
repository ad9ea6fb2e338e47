// What dropping the stale input before a request costs on a real pseudo-terminal with the POSIX
// platform, when the line is quiet (the normal path): the driver's flush, against one empty read
// (the cost a drop by reading would add to every request).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

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
