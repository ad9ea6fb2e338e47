// zel serve: the analyzer in a web page. One process owns one instrument; the page and its JSON
// API are served over HTTP, the measured points stream to every viewer as Server-Sent Events.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace CLI {
class App;
}

namespace zelhost {

struct ServeOptions {
  std::string listen = "127.0.0.1:8863";
  std::string token_file;               // empty: a token is generated when one is needed
  std::string data_dir;                 // saved sweeps; empty: $XDG_DATA_HOME/zel/sweeps
  std::string cal_dir;                  // calibration files a sweep may name; empty: none
  std::vector<std::string> allow_host;  // extra names the Host header may carry
};

// Adds the `serve` subcommand and its options to the command line.
CLI::App* AddServeCommand(CLI::App& app, ServeOptions* o);

// Serves until SIGINT or SIGTERM; the generator and relay are off when it returns. default_cal
// is the global --cal file, used for corrected sweeps that name no calibration.
int RunServe(Session& s, const ServeOptions& o, const std::string& default_cal);

}  // namespace zelhost
