// zel-sim: the analyzer's controller on a pseudo-terminal.
//
//   zel-sim --model uhf --dut antenna:f0=433,r=40,q=12 --link /tmp/zel0
//   ZEL_COM1=/tmp/zel0 some-host-program
//
// The first line on stdout is the slave path. Control lines (stdin, or the FIFO of --control)
// change the running instrument: "dut short", "unplug", "replug", "fault bad-checksums 3",
// "status". SIGINT or SIGTERM end it cleanly.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "pty_server.h"
#include "simulator.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) {
  g_stop = 1;
}

std::string StatusLine(const zelsim::Simulator& sim) {
  const zelsim::Counters& c = sim.counters();
  const zelsim::InstrumentState& st = sim.state();
  std::ostringstream s;
  s << "commands " << c.commands << " records " << c.records_sent << " resends " << c.resends
    << " sync " << c.sync_pulses << " Y " << c.y_commands << " relay " << st.relay_code << " avg "
    << st.avg_count << " baud " << st.baud << " power-down " << st.power_down << " unknown "
    << c.unknown_bytes << " malformed " << c.malformed << " last-f " << sim.LastFrequencyMHz()
    << " dut " << sim.dut().text;
  return s.str();
}

// One control line; returns the answer to print.
std::string Control(const std::string& line, zelsim::PtyServer& server, bool* quit) {
  std::istringstream in(line);
  std::string cmd, arg;
  in >> cmd;
  if (cmd.empty()) return "";
  if (cmd == "dut") {
    in >> arg;
    zelsim::Dut d;
    std::string err;
    if (!zelsim::ParseDut(arg, &d, &err)) return "error: " + err;
    server.SetDut(d);
    return "ok dut " + arg;
  }
  if (cmd == "unplug") {
    server.Unplug();
    return "ok unplugged";
  }
  if (cmd == "replug") {
    std::string err;
    if (!server.Replug(&err)) return "error: " + err;
    return "ok " + server.SlavePath();
  }
  if (cmd == "status") {
    return server.WithSim([](zelsim::Simulator& s) { return StatusLine(s); });
  }
  if (cmd == "quit") {
    *quit = true;
    return "ok";
  }
  if (cmd == "fault") {
    double v = 0;
    in >> arg >> v;
    if (!in) return "error: fault NAME VALUE";
    auto n = static_cast<int>(v);
    bool known = server.WithSim([&](zelsim::Simulator& s) {
      auto& f = s.faults();
      if (arg == "bad-checksums")
        f.bad_checksums = n;
      else if (arg == "silent")
        f.silent_replies = n;
      else if (arg == "cut")
        f.cut_replies = n;
      else if (arg == "cut-after")
        f.cut_after_bytes = n;
      else if (arg == "garbage")
        f.garbage_replies = n;
      else if (arg == "garbage-bytes")
        f.garbage_bytes = n;
      else if (arg == "latency-ms")
        f.extra_latency_ms = v;
      else if (arg == "late")
        f.late_replies = n;
      else if (arg == "late-ms")
        f.late_ms = v;
      else if (arg == "unplug-after")
        f.unplug_after_commands = n;
      else
        return false;
      return true;
    });
    return known ? "ok" : "error: unknown fault " + arg;
  }
  if (cmd == "rf-volts" || cmd == "temp-f") {
    double v = 0;
    in >> v;
    server.WithSim([&](zelsim::Simulator& s) {
      (cmd == "rf-volts" ? s.config().rf_volts : s.config().temp_f) = v;
      return 0;
    });
    return "ok";
  }
  return "error: commands are dut DEVICE, unplug, replug, fault NAME N, rf-volts V, temp-f F, "
         "status, quit";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"zel-sim: the ZEL analyzer's controller on a pseudo-terminal"};
  std::string model_name = "standard", dut_text = "r=50,x=0", link, log_file, control_fifo;
  zelsim::Config cfg;
  zelsim::Faults faults;
  bool verbose = false, ideal = false, no_stdin = false;
  app.add_option("-m,--model", model_name, "lowrange, standard, uhf or power")
      ->capture_default_str();
  app.add_option("-d,--dut", dut_text,
                 "device under test: r=50,x=10 | series:r=,l=,c= | parallel:r=,l=,c= | "
                 "antenna:f0=MHz,r=,q= | short | open | load[:r=] | s1p:FILE")
      ->capture_default_str();
  app.add_option("--ident", cfg.ident, "identification text (default: the model's)");
  app.add_option("--rcal", cfg.rcal_ohms, "resistance of the load standard")->capture_default_str();
  app.add_option("--seed", cfg.seed, "noise seed")->capture_default_str();
  app.add_option("--noise", cfg.noise, "noise scale, 0 = noiseless")->capture_default_str();
  app.add_flag("--ideal", ideal, "a perfect bridge: no instrument errors");
  app.add_option("--rf-volts", cfg.rf_volts, "RF voltage at the input (power model)");
  app.add_option("--temp-f", cfg.temp_f, "temperature, Fahrenheit (power and UHF models)");
  app.add_flag("--paced", cfg.paced, "bytes take their wire time at the link rate");
  app.add_option("--latency-ms", cfg.latency_ms, "delay before every reply");
  app.add_option("--flash", cfg.flash_file, "file that keeps the flash words across runs");
  app.add_option("-l,--link", link,
                 "symbolic link to the slave at this path (never replaces a file or a live link)");
  app.add_option("--log", log_file, "log every command received, with its time");
  app.add_flag("-v,--verbose", verbose, "log to stderr");
  app.add_option("--control", control_fifo, "FIFO for control lines (created if absent)");
  app.add_flag("--no-stdin", no_stdin, "do not read control lines from stdin");
  app.add_option("--bad-checksums", faults.bad_checksums, "next N records with a wrong checksum");
  app.add_option("--silent", faults.silent_replies, "next N replies withheld");
  app.add_option("--cut", faults.cut_replies, "next N replies cut short");
  app.add_option("--cut-after", faults.cut_after_bytes, "bytes a cut reply keeps");
  app.add_option("--garbage", faults.garbage_replies, "next N replies preceded by garbage");
  app.add_option("--garbage-bytes", faults.garbage_bytes, "garbage bytes per reply");
  app.add_option("--extra-latency-ms", faults.extra_latency_ms, "added before every reply");
  app.add_option("--late", faults.late_replies, "next N replies held back --late-ms");
  app.add_option("--late-ms", faults.late_ms,
                 "how late a held-back reply leaves (beyond the library's time-out)");
  app.add_option("--unplug-after", faults.unplug_after_commands,
                 "the port goes away after N commands");
  CLI11_PARSE(app, argc, argv);

  if (!zelsim::ParseModel(model_name, &cfg.model)) {
    std::cerr << "zel-sim: unknown model " << model_name << "\n";
    return 2;
  }
  std::string err;
  if (!zelsim::ParseDut(dut_text, &cfg.dut, &err)) {
    std::cerr << "zel-sim: --dut: " << err << "\n";
    return 2;
  }
  if (ideal) cfg.errors = zelsim::ErrorModel::None();

  zelsim::Simulator sim(cfg);
  sim.faults() = faults;
  std::ofstream log_out;
  std::mutex log_mu;
  if (!log_file.empty()) {
    log_out.open(log_file, std::ios::app);
    if (!log_out) {
      std::cerr << "zel-sim: cannot write " << log_file << "\n";
      return 2;
    }
  }
  if (!log_file.empty() || verbose) {
    sim.SetLog([&](double, const std::string& line) {
      std::lock_guard<std::mutex> lock(log_mu);
      if (log_out.is_open()) log_out << line << std::endl;
      if (verbose) std::cerr << line << "\n";
    });
  }

  zelsim::PtyServer server(sim);
  if (!server.Start(&err)) {
    std::cerr << "zel-sim: " << err << "\n";
    return 1;
  }
  if (!link.empty() && !server.LinkAt(link, &err)) {
    std::cerr << "zel-sim: " << err << "\n";
    return 1;
  }
  std::cout << server.SlavePath() << std::endl;
  std::cerr << "zel-sim: " << zelsim::ModelName(cfg.model) << " model, dut " << dut_text << ", on "
            << server.SlavePath() << (link.empty() ? "" : " (linked at " + link + ")") << "\n";

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);

  int fifo = -1;
  if (!control_fifo.empty()) {
    if (::mkfifo(control_fifo.c_str(), 0600) != 0 && errno != EEXIST) {
      std::cerr << "zel-sim: cannot make " << control_fifo << "\n";
      return 1;
    }
    // Opened for writing too, so the FIFO never reports end-of-file between writers.
    fifo = ::open(control_fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  }
  bool use_stdin = !no_stdin;
  std::string pending_stdin, pending_fifo;
  bool quit = false;
  while (!g_stop && !quit) {
    pollfd fds[2] = {{use_stdin ? 0 : -1, POLLIN, 0}, {fifo, POLLIN, 0}};
    if (::poll(fds, 2, 200) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[512];
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        if (i == 0) use_stdin = false;  // stdin closed: keep serving until a signal
        continue;
      }
      std::string& acc = i == 0 ? pending_stdin : pending_fifo;
      acc.append(buf, static_cast<std::size_t>(n));
      for (std::size_t nl; (nl = acc.find('\n')) != std::string::npos;) {
        std::string line = acc.substr(0, nl);
        acc.erase(0, nl + 1);
        std::string answer = Control(line, server, &quit);
        if (!answer.empty()) std::cerr << "zel-sim: " << answer << "\n";
      }
    }
  }
  server.Stop();
  if (fifo >= 0) ::close(fifo);
  return 0;
}
