#include "serve.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "api.h"
#include "events.h"
#include "instrument.h"
#include "random_text.h"
#include "sweep_files.h"
#include "text.h"

namespace zelhost {
namespace {

using namespace serve;

// A token shorter than this could be guessed over the network.
constexpr std::size_t kMinTokenLength = 16;
constexpr std::size_t kTokenBytes = 16;
// One thread per open event stream plus room for the API calls.
constexpr std::size_t kHttpThreads = EventHub::kMaxStreams + 16;
constexpr int kDefaultPort = 8863;
constexpr unsigned kUnackedTimeoutMs = 5000;

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
  g_stop = 1;
  g_interrupted = 1;  // a calibration of the simulator in progress ends too
}

struct ListenAddress {
  std::string host;  // as given, without brackets
  int port = kDefaultPort;
  bool loopback = false;
};

bool ParseListen(const std::string& text, ListenAddress* out, std::string* error) {
  std::string host, port;
  if (!text.empty() && text[0] == '[') {
    std::size_t close = text.find("]:");
    if (close == std::string::npos) {
      *error = "--listen [IPV6]:PORT";
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon) {
      *error = "--listen ADDRESS:PORT, e.g. 127.0.0.1:8863, 0.0.0.0:8863 or [::1]:8863";
      return false;
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  char* end = nullptr;
  long p = std::strtol(port.c_str(), &end, 10);
  if (port.empty() || *end || p < 0 || p > 65535) {
    *error = "--listen: the port must be 0 to 65535 (0 picks a free one)";
    return false;
  }
  in_addr a4;
  in6_addr a6;
  if (inet_pton(AF_INET, host.c_str(), &a4) == 1) {
    out->loopback = (ntohl(a4.s_addr) >> 24) == 127;
  } else if (inet_pton(AF_INET6, host.c_str(), &a6) == 1) {
    out->loopback = IN6_IS_ADDR_LOOPBACK(&a6);
  } else if (host == "localhost") {
    out->loopback = true;
  } else {
    *error = "--listen: the address must be an IP address (or localhost), not '" + host + "'";
    return false;
  }
  out->host = host;
  out->port = static_cast<int>(p);
  return true;
}

bool ReadToken(const std::string& path, std::string* token, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read --token-file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::getline(in, *token);
  while (!token->empty() && std::isspace(static_cast<unsigned char>(token->back())))
    token->pop_back();
  for (char c : *token) {
    if (c <= ' ' || c > '~') {
      *error = "--token-file: the token must be printable, without spaces";
      return false;
    }
  }
  if (token->size() < kMinTokenLength) {
    *error = "--token-file: the token must have at least " + std::to_string(kMinTokenLength) +
             " characters";
    return false;
  }
  return true;
}

std::vector<std::string> HostNames(const ListenAddress& where, const ServeOptions& o) {
  std::vector<std::string> names{"localhost"};
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) == 0 && buf[0]) {
    std::string h = zeltext::Lower(buf);
    names.push_back(h);
    names.push_back(h + ".local");
  }
  if (where.host == "localhost") names.push_back("localhost");
  for (const std::string& n : o.allow_host) names.push_back(zeltext::Lower(n));
  return names;
}

}  // namespace

CLI::App* AddServeCommand(CLI::App& app, ServeOptions* o) {
  auto* cmd = app.add_subcommand(
      "serve", "serve a web page (and a JSON API) to sweep and watch from a browser");
  cmd->add_option("--listen", o->listen,
                  "ADDRESS:PORT to listen on (default 127.0.0.1:8863; port 0 picks a free one); "
                  "any address but loopback requires the token");
  cmd->add_option("--token-file", o->token_file,
                  "read the access token from FILE (default: a new one, printed at start)");
  cmd->add_option("--data", o->data_dir,
                  "folder of the saved sweeps (default $XDG_DATA_HOME/zel/sweeps)");
  cmd->add_option("--cal-dir", o->cal_dir, "folder of the calibration files a sweep may use");
  cmd->add_option("--allow-host", o->allow_host,
                  "a host name the browser may use for this server (besides IP addresses, "
                  "localhost and this machine's name); may be repeated");
  return cmd;
}

int RunServe(Session& s, const ServeOptions& o, const std::string& default_cal) {
  ListenAddress where;
  std::string error;
  if (!ParseListen(o.listen, &where, &error)) return Complain(error, kExitUsage);

  Access access;
  if (!o.token_file.empty()) {
    if (!ReadToken(o.token_file, &access.token, &error)) return Complain(error, kExitUsage);
  } else if (!where.loopback) {
    access.token = RandomHex(kTokenBytes);
    if (access.token.empty()) return Complain("cannot make a token: no random bytes");
  }
  access.host_names = HostNames(where, o);

  SweepStore store(o.data_dir.empty() ? DefaultDataDir() : o.data_dir);
  if (!store.Prepare(&error)) return Complain("--data: " + error, kExitUsage);
  struct stat st {};
  if (!o.cal_dir.empty() && (stat(o.cal_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
    return Complain("--cal-dir " + o.cal_dir + " is not a folder", kExitUsage);

  EventHub hub;
  Instrument instrument(s, hub, o.cal_dir, default_cal);
  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
  // An idle connection holds one of the threads: a browser's spare ones are let go soon.
  server.set_keep_alive_timeout(2);
  server.set_read_timeout(10, 0);
  // Points go out as they come, not held back for the last segment's acknowledgement.
  server.set_tcp_nodelay(true);
  server.set_socket_options([](int sock) {
    int yes = 1;
    // The address may be reused right after a restart, but never shared: the library's default
    // (SO_REUSEPORT) would let a second zel serve on the same port take half the connections.
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    // A viewer that stops acknowledging (a laptop gone to sleep, a lost network) is dropped after
    // this long, instead of the kernel's quarter of an hour, so the hold it controls ends with
    // it. Accepted connections inherit the option from the listening socket.
    unsigned timeout_ms = kUnackedTimeoutMs;
    setsockopt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout_ms, sizeof timeout_ms);
  });
  server.set_write_timeout(5, 0);
  SetUpApi(server, instrument, hub, store, access);

  int port = where.port;
  if (port == 0) {
    port = server.bind_to_any_port(where.host);
    if (port <= 0) return Complain("cannot listen on " + o.listen + ": " + std::strerror(errno));
  } else if (!server.bind_to_port(where.host, port)) {
    return Complain("cannot listen on " + o.listen + ": " + std::strerror(errno));
  }
  access.port = port;

  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::string host_text =
      where.host.find(':') != std::string::npos ? "[" + where.host + "]" : where.host;
  std::string url = "http://" + host_text + ":" + std::to_string(port) + "/";
  if (!access.token.empty()) url += "#token=" + access.token;
  std::printf("%s\n", url.c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "zel: serving %s on %s; saved sweeps in %s; Ctrl-C stops\n",
               s.PortText().c_str(), url.c_str(), store.dir().c_str());
  if (!where.loopback)
    std::fprintf(stderr,
                 "zel: listening beyond this machine: every client needs the token in the URL "
                 "above (open it as printed, with this machine's address in place of %s)\n",
                 host_text.c_str());

  std::atomic<bool> listening{true};
  std::thread listener([&] {
    server.listen_after_bind();
    listening = false;
  });
  while (!g_stop && listening) usleep(50 * 1000);
  // The instrument first: the generator and relay go off before anything else is torn down.
  instrument.Shutdown();
  hub.Close();
  server.stop();
  listener.join();
  std::fprintf(stderr, "zel: server stopped; generator and relay off\n");
  return kExitOk;
}

}  // namespace zelhost
