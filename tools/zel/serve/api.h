// The HTTP side of zel serve: the embedded page, the JSON API, the event stream, and the checks
// every request passes first (Host, token, Origin).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "events.h"
#include "instrument.h"
#include "sweep_files.h"

namespace httplib {
class Server;
}

namespace zelhost::serve {

struct Access {
  std::string token;                    // empty: no token asked (loopback without --token-file)
  int port = 0;                         // the port the server listens on, for the Host check
  std::vector<std::string> host_names;  // names besides IP literals the Host header may carry
};

// Largest request body: a sweep's or a save's parameters are a few hundred bytes.
constexpr std::size_t kMaxBodyBytes = 16 * 1024;

// Sets up the routes; `access` may be filled in after the port is bound.
void SetUpApi(httplib::Server& server, Instrument& instrument, EventHub& hub,
              const SweepStore& store, const Access& access);

// True when a Host header names this server: an IP literal or one of the names, with the port.
bool HostAllowed(const std::string& host, const Access& access);

}  // namespace zelhost::serve
