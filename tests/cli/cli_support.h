// Running zel as a user does: a child with pipes on its three standard streams, and readers of
// the files it writes.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <complex>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace zelcli {

namespace fs = std::filesystem;

struct ZelRun {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

// A program run with pipes on its three standard streams.
class Child {
 public:
  Child(const char* exe, const std::vector<std::string>& args) {
    int in[2], to_out[2], to_err[2];
    if (pipe(in) || pipe(to_out) || pipe(to_err)) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(to_out[1], 1);
      dup2(to_err[1], 2);
      for (int fd : {in[0], in[1], to_out[0], to_out[1], to_err[0], to_err[1]}) close(fd);
      std::vector<char*> argv{const_cast<char*>(exe)};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(exe, argv.data());
      _exit(127);
    }
    close(in[0]);
    close(to_out[1]);
    close(to_err[1]);
    in_ = in[1];
    fds_[0] = to_out[0];
    fds_[1] = to_err[0];
  }
  ~Child() {
    CloseStdin();
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGTERM);
      Wait();
    }
    for (int fd : fds_)
      if (fd >= 0) close(fd);
  }
  pid_t pid() const { return pid_; }
  void Write(const std::string& text) {
    if (in_ >= 0) (void)!write(in_, text.data(), text.size());
  }
  // Stops reading stdout, as "| head" does once it has its lines.
  void CloseStdout() {
    if (fds_[0] >= 0) close(fds_[0]);
    fds_[0] = -1;
  }
  void CloseStdin() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }
  // Takes what the child wrote within timeout_ms; false once both of its outputs are closed.
  bool Pump(int timeout_ms) {
    pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
    if (fds_[0] < 0 && fds_[1] < 0) return false;
    if (poll(p, 2, timeout_ms) <= 0) return true;
    for (int i = 0; i < 2; ++i) {
      if (fds_[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      ssize_t n = read(fds_[i], buf, sizeof buf);
      if (n <= 0) {
        close(fds_[i]);
        fds_[i] = -1;
      } else {
        (i == 0 ? out : err).append(buf, static_cast<std::size_t>(n));
      }
    }
    return true;
  }
  // Waits until stdout or stderr holds `text` `count` times.
  bool WaitFor(const std::string& text, std::size_t count = 1, int timeout_ms = 20000) {
    for (int waited = 0; waited < timeout_ms; waited += 10) {
      if (Count(out, text) + Count(err, text) >= count) return true;
      if (!Pump(10)) return false;
    }
    return false;
  }
  int Wait() {
    while (Pump(100)) {
    }
    int ws = 0;
    waitpid(pid_, &ws, 0);
    reaped_ = true;
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  }
  // Lines of stdout received so far.
  std::size_t OutLines() const { return Count(out, "\n"); }
  static std::size_t Count(const std::string& hay, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
  }
  std::string out, err;

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int in_ = -1;
  int fds_[2] = {-1, -1};
};

// Runs zel with args; feeds `input` on stdin (then end of input); calls on_out with the pid and
// the stdout so far after each chunk of output.
inline ZelRun RunZel(const std::vector<std::string>& args, const std::string& input = "",
                     const std::function<void(pid_t, const std::string&)>& on_out = {}) {
  Child c(ZEL_CLI_PATH, args);
  c.Write(input);
  c.CloseStdin();
  ZelRun r;
  std::size_t seen = 0;
  while (c.Pump(100)) {
    if (on_out && c.out.size() != seen) {
      seen = c.out.size();
      on_out(c.pid(), c.out);
    }
  }
  r.status = c.Wait();
  r.out = c.out;
  r.err = c.err;
  return r;
}

inline std::string Slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream s(text);
  for (std::string line; std::getline(s, line);) lines.push_back(line);
  return lines;
}

struct Sample {
  double f_mhz;
  std::complex<double> z;
};

// The Touchstone file back to impedances; fails the test on anything but "# MHZ S RI R 50".
inline std::vector<Sample> ReadTouchstone(const fs::path& p) {
  std::vector<Sample> samples;
  bool option_line = false;
  for (const std::string& line : Lines(Slurp(p))) {
    if (line.empty() || line[0] == '!') continue;
    if (line[0] == '#') {
      EXPECT_EQ(line, "# MHZ S RI R 50");
      option_line = true;
      continue;
    }
    double f, re, im;
    EXPECT_EQ(std::sscanf(line.c_str(), "%lf %lf %lf", &f, &re, &im), 3) << line;
    std::complex<double> g(re, im);
    samples.push_back({f, 50.0 * (1.0 + g) / (1.0 - g)});
  }
  EXPECT_TRUE(option_line);
  return samples;
}

inline std::vector<Sample> ReadCsv(const fs::path& p) {
  std::vector<std::string> lines = Lines(Slurp(p));
  std::vector<Sample> samples;
  if (lines.empty()) return samples;
  EXPECT_EQ(lines[0], "frequency_mhz,r_ohm,x_ohm,z_abs_ohm,swr,return_loss_db");
  for (std::size_t i = 1; i < lines.size(); ++i) {
    double f, r, x;
    EXPECT_EQ(std::sscanf(lines[i].c_str(), "%lf,%lf,%lf", &f, &r, &x), 3) << lines[i];
    samples.push_back({f, {r, x}});
  }
  return samples;
}

}  // namespace zelcli
