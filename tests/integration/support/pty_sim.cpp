#include "integration/support/pty_sim.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

namespace zeltest {

PtySim::PtySim(zelsim::Config config, int com) : sim_(std::move(config)), server_(sim_), com_(com) {
  char tmpl[] = "/tmp/zel-pty-XXXXXX";
  if (!::mkdtemp(tmpl)) {
    error_ = "mkdtemp failed";
    return;
  }
  dir_ = tmpl;
  link_ = dir_ + "/com" + std::to_string(com);
  if (!server_.Start(&error_) || !server_.LinkAt(link_, &error_)) return;
  OpenGuard();
  ::setenv(("ZEL_COM" + std::to_string(com)).c_str(), link_.c_str(), 1);
  ok_ = true;
}

PtySim::~PtySim() {
  server_.Stop();
  if (guard_ >= 0) ::close(guard_);
  ::unsetenv(("ZEL_COM" + std::to_string(com_)).c_str());
  ::unlink(link_.c_str());
  if (!dir_.empty()) ::rmdir(dir_.c_str());
}

void PtySim::OpenGuard() {
  if (guard_ >= 0) ::close(guard_);
  guard_ = ::open(server_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

void PtySim::SetDut(const std::string& dut_text) {
  zelsim::Dut d;
  if (zelsim::ParseDut(dut_text, &d, &error_)) server_.SetDut(d);
}

void PtySim::Unplug() {
  server_.Unplug();
  if (guard_ >= 0) ::close(guard_);
  guard_ = -1;
}

bool PtySim::Replug() {
  if (!server_.Replug(&error_)) return false;
  OpenGuard();
  return true;
}

}  // namespace zeltest
