#include "api.h"

#include <arpa/inet.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "random_text.h"
#include "text.h"
#include "web_assets.h"

namespace zelhost::serve {
namespace {

using json = nlohmann::json;
using httplib::Request;
using httplib::Response;

// The shortest time between two writes to one event stream. It adds at most this much to the
// time a point takes to reach a viewer, which stays within 50 ms.
constexpr auto kStreamInterval = std::chrono::milliseconds(25);

void SendJson(Response& res, int status, const json& body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(JsonText(body), "application/json");
}

void SendError(Response& res, int status, const std::string& message) {
  SendJson(res, status, {{"error", message}});
}

void SendRefusal(Response& res, const Refusal& r) {
  json body = {{"error", r.message}};
  if (r.code != 0) body["status"] = r.code;
  SendJson(res, r.http, body);
}

// The request's JSON object; false after a 400 when the body is not one.
bool ParseBody(const Request& req, Response& res, json* body,
               std::initializer_list<const char*> keys) {
  if (req.body.empty()) {
    *body = json::object();
  } else {
    *body = json::parse(req.body, nullptr, false);
    if (body->is_discarded() || !body->is_object()) {
      SendError(res, 400, "the body must be a JSON object");
      return false;
    }
  }
  for (auto it = body->begin(); it != body->end(); ++it) {
    if (std::find_if(keys.begin(), keys.end(), [&](const char* k) { return it.key() == k; }) ==
        keys.end()) {
      SendError(res, 400, "unknown field '" + it.key() + "'");
      return false;
    }
  }
  return true;
}

// Reads an optional field of the wanted type; a 400 names the field when it has another.
template <typename T>
bool Field(const json& body, const char* key, T* out, Response& res) {
  auto it = body.find(key);
  if (it == body.end() || it->is_null()) return true;
  bool ok;
  if constexpr (std::is_same_v<T, bool>) {
    ok = it->is_boolean();
  } else if constexpr (std::is_same_v<T, std::string>) {
    ok = it->is_string();
  } else if constexpr (std::is_integral_v<T>) {
    ok = it->is_number_integer();
  } else {
    ok = it->is_number();
  }
  if (!ok) {
    SendError(res, 400, std::string("field '") + key + "' has the wrong type");
    return false;
  }
  *out = it->get<T>();
  return true;
}

void SendSweepFile(Response& res, const Sweep& s, const std::string& name, bool csv) {
  std::string text;
  bool ok = csv ? CsvText(s.points, &text) : TouchstoneText(s, &text);
  if (!ok) return SendError(res, 500, "cannot write the file");
  res.set_header("Content-Disposition",
                 "attachment; filename=\"" + name + (csv ? ".csv\"" : ".s1p\""));
  res.set_header("Cache-Control", "no-store");
  res.set_content(text, csv ? "text/csv; charset=utf-8" : "text/plain; charset=utf-8");
}

bool EndsWith(const std::string& s, const char* tail) {
  std::size_t n = std::strlen(tail);
  return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
}

// What the token a request carries is: the Authorization header for API calls, the query for
// what a browser fetches without headers (the event stream, downloads).
std::string TokenOf(const Request& req) {
  std::string auth = req.get_header_value("Authorization");
  if (auth.rfind("Bearer ", 0) == 0) return auth.substr(7);
  return req.get_param_value("token");
}

}  // namespace

bool HostAllowed(const std::string& host, const Access& access) {
  std::string name, port;
  if (!host.empty() && host[0] == '[') {
    std::size_t close = host.find(']');
    if (close == std::string::npos) return false;
    name = host.substr(1, close - 1);
    if (close + 1 < host.size()) {
      if (host[close + 1] != ':') return false;
      port = host.substr(close + 2);
    }
    in6_addr a6;
    if (inet_pton(AF_INET6, name.c_str(), &a6) != 1) return false;
  } else {
    std::size_t colon = host.find(':');
    name = zeltext::Lower(host.substr(0, colon));
    if (colon != std::string::npos) port = host.substr(colon + 1);
    in_addr a4;
    // An IP literal cannot be rebound to another address; a name can, so only known names pass.
    bool literal = inet_pton(AF_INET, name.c_str(), &a4) == 1;
    if (!literal && std::find(access.host_names.begin(), access.host_names.end(), name) ==
                        access.host_names.end())
      return false;
  }
  std::string want = std::to_string(access.port);
  return port == want || (port.empty() && access.port == 80);
}

void SetUpApi(httplib::Server& server, Instrument& instrument, EventHub& hub,
              const SweepStore& store, const Access& access) {
  server.set_payload_max_length(kMaxBodyBytes);

  server.set_pre_routing_handler([&access](const Request& req, Response& res) {
    std::string host = req.get_header_value("Host");
    if (!HostAllowed(host, access)) {
      SendError(res, 403, "the Host header '" + host + "' does not name this server");
      return httplib::Server::HandlerResponse::Handled;
    }
    bool api = req.path.rfind("/api/", 0) == 0;
    if (api && !access.token.empty() && !SameSecret(TokenOf(req), access.token)) {
      res.set_header("WWW-Authenticate", "Bearer");
      SendError(res, 401, "a valid token is required (the one zel serve printed at start)");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD") {
      // A page elsewhere must not drive the instrument through the user's browser: a request
      // that changes anything comes from this server's own page.
      std::string origin = zeltext::Lower(req.get_header_value("Origin"));
      if (origin != "http://" + zeltext::Lower(host)) {
        SendError(res, 403,
                  origin.empty() ? "a request that changes anything must carry the Origin "
                                   "header of this server's page"
                                 : "requests from the origin '" + origin + "' are not allowed");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  server.set_error_handler([](const Request&, Response& res) {
    if (!res.body.empty()) return;
    const char* text = res.status == 404   ? "no such resource"
                       : res.status == 413 ? "the request is too large"
                       : res.status == 405 ? "method not allowed"
                                           : "bad request";
    SendError(res, res.status, text);
  });
  server.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
    SendError(res, 500, "internal error");
  });

  server.Get("/api/info", [&instrument](const Request&, Response& res) {
    SendJson(res, 200, instrument.Info());
  });
  server.Get("/api/state", [&instrument](const Request&, Response& res) {
    SendJson(res, 200, instrument.State());
  });
  server.Get("/api/calibrations", [&instrument](const Request&, Response& res) {
    SendJson(res, 200, {{"calibrations", instrument.Calibrations()}});
  });

  server.Get("/api/events", [&instrument, &hub](const Request&, Response& res) {
    std::string client = hub.OpenStream();
    if (client.empty())
      return SendError(
          res, 503,
          "too many viewers: " + std::to_string(EventHub::kMaxStreams) + " event streams are open");
    res.set_header("Cache-Control", "no-store");
    auto cursor = std::make_shared<std::uint64_t>(0);
    auto greeted = std::make_shared<bool>(false);
    auto last_write = std::make_shared<std::chrono::steady_clock::time_point>();
    res.set_chunked_content_provider(
        "text/event-stream",
        [&instrument, &hub, client, cursor, greeted, last_write](std::size_t,
                                                                 httplib::DataSink& sink) {
          std::string out;
          if (!*greeted) {
            *greeted = true;
            json hello = {{"client", client}, {"state", instrument.State()}};
            out = "retry: 2000\nevent: hello\ndata: " + JsonText(hello) + "\n\n";
          } else {
            // The points of a fast sweep go out together, at most one write per interval: each
            // write wakes this stream's thread and its viewer, and a page shows no more anyway.
            auto next = *last_write + kStreamInterval;
            if (std::chrono::steady_clock::now() < next) std::this_thread::sleep_until(next);
            if (!hub.Next(cursor.get(), &out, 1000)) {
              sink.done();
              return true;
            }
          }
          *last_write = std::chrono::steady_clock::now();
          // A comment once a second when nothing happens: a viewer that went away is noticed
          // when the write fails, and its hold ends.
          if (out.empty()) out = ": keep-alive\n\n";
          return sink.write(out.data(), out.size());
        },
        [&instrument, &hub, client](bool) {
          hub.CloseStream(client);
          instrument.StreamClosed(client);
        });
  });

  server.Post("/api/sweep", [&instrument](const Request& req, Response& res) {
    json body;
    if (!ParseBody(
            req, res, &body,
            {"start_mhz", "stop_mhz", "points", "step_mhz", "values", "calibration", "averaging"}))
      return;
    SweepParams p;
    std::string values = "corrected";
    if (!body.contains("start_mhz") || !body.contains("stop_mhz"))
      return SendError(res, 400, "start_mhz and stop_mhz are required");
    if (!Field(body, "start_mhz", &p.start_mhz, res) ||
        !Field(body, "stop_mhz", &p.stop_mhz, res) || !Field(body, "points", &p.points, res) ||
        !Field(body, "step_mhz", &p.step_mhz, res) || !Field(body, "values", &values, res) ||
        !Field(body, "calibration", &p.calibration, res) ||
        !Field(body, "averaging", &p.averaging, res))
      return;
    // Zero inside means "not given"; asked for, it is no number of points.
    if (body.contains("points") && p.points < 1)
      return SendError(res, 400, "points must be 1 to " + std::to_string(Instrument::kMaxPoints));
    if (values != "corrected" && values != "raw")
      return SendError(res, 400, "values must be \"corrected\" or \"raw\"");
    p.corrected = values == "corrected";
    std::uint64_t id = 0;
    if (Refusal r = instrument.StartSweep(p, &id)) return SendRefusal(res, r);
    SendJson(res, 202, {{"sweep", id}});
  });
  server.Post("/api/sweep/stop", [&instrument](const Request&, Response& res) {
    instrument.StopSweep();
    SendJson(res, 200, instrument.State());
  });
  server.Get(R"(/api/sweep/last(\.s1p|\.csv)?)", [&instrument](const Request& req, Response& res) {
    std::optional<Sweep> s = instrument.LastSweep();
    if (!s) return SendError(res, 404, "no sweep has ended yet");
    std::string kind = req.matches[1];
    if (kind.empty()) return SendJson(res, 200, SweepJson(*s));
    SendSweepFile(res, *s, "sweep", kind == ".csv");
  });

  server.Post("/api/hold", [&instrument](const Request& req, Response& res) {
    json body;
    if (!ParseBody(req, res, &body, {"frequency_mhz", "client"})) return;
    double f = NAN;
    std::string client;
    if (!body.contains("frequency_mhz")) return SendError(res, 400, "frequency_mhz is required");
    if (!Field(body, "frequency_mhz", &f, res) || !Field(body, "client", &client, res)) return;
    if (Refusal r = instrument.Hold(f, client)) return SendRefusal(res, r);
    SendJson(res, 200, instrument.State());
  });
  server.Post("/api/hold/off", [&instrument](const Request&, Response& res) {
    if (Refusal r = instrument.HoldOff("switched off")) return SendRefusal(res, r);
    SendJson(res, 200, instrument.State());
  });

  server.Get("/api/sensors", [&instrument](const Request&, Response& res) {
    json out;
    if (Refusal r = instrument.ReadSensors(&out)) return SendRefusal(res, r);
    SendJson(res, 200, out);
  });

  server.Get("/api/saved", [&store](const Request&, Response& res) {
    json list = json::array();
    for (const SweepStore::Entry& e : store.List())
      list.push_back({{"name", e.name},
                      {"date", e.date},
                      {"points", e.points},
                      {"start_mhz", e.start_mhz},
                      {"stop_mhz", e.stop_mhz}});
    SendJson(res, 200, {{"saved", list}});
  });
  server.Post("/api/saved", [&instrument, &store](const Request& req, Response& res) {
    json body;
    if (!ParseBody(req, res, &body, {"name", "replace"})) return;
    std::string name;
    bool replace = false;
    if (!Field(body, "name", &name, res) || !Field(body, "replace", &replace, res)) return;
    if (!ValidName(name) || EndsWith(zeltext::Lower(name), ".s1p") ||
        EndsWith(zeltext::Lower(name), ".csv"))
      return SendError(res, 400,
                       "a name is 1 to 64 letters, digits, '.', '_' or '-', does not start with "
                       "'.' and does not end in .s1p or .csv");
    std::optional<Sweep> s = instrument.LastSweep();
    if (!s) return SendError(res, 404, "no sweep has ended yet");
    switch (store.Save(name, *s, replace)) {
      case SweepStore::SaveResult::kSaved:
        return SendJson(res, 201, {{"name", name}, {"points", s->points.size()}});
      case SweepStore::SaveResult::kExists:
        return SendError(res, 409, "a saved sweep named '" + name + "' exists");
      case SweepStore::SaveResult::kFailed:
        return SendError(res, 500, "cannot write the sweep to the data folder");
    }
  });
  server.Get(R"(/api/saved/([^/]+))", [&store](const Request& req, Response& res) {
    std::string name = req.matches[1];
    int kind = 0;  // 0 JSON, 1 Touchstone, 2 CSV
    if (EndsWith(name, ".s1p")) kind = 1;
    if (EndsWith(name, ".csv")) kind = 2;
    if (kind) name.resize(name.size() - 4);
    std::string text, error;
    Sweep s;
    if (!ValidName(name)) return SendError(res, 400, "not a valid name");
    if (!store.ReadText(name, &text)) return SendError(res, 404, "no saved sweep '" + name + "'");
    if (!ParseTouchstone(text, &s, &error))
      return SendError(res, 422, "the saved sweep '" + name + "' cannot be read: " + error);
    if (kind == 0) return SendJson(res, 200, SweepJson(s));
    if (kind == 1) {
      // The file as it is in the data folder.
      res.set_header("Content-Disposition", "attachment; filename=\"" + name + ".s1p\"");
      res.set_header("Cache-Control", "no-store");
      return res.set_content(text, "text/plain; charset=utf-8");
    }
    SendSweepFile(res, s, name, true);
  });
  server.Delete(R"(/api/saved/([^/]+))", [&store](const Request& req, Response& res) {
    std::string name = req.matches[1];
    if (!ValidName(name)) return SendError(res, 400, "not a valid name");
    if (!store.Remove(name)) return SendError(res, 404, "no saved sweep '" + name + "'");
    res.status = 204;
  });

  // The page, after the API so that its pattern does not take the API paths.
  server.Get(R"(/|/[A-Za-z0-9_./-]+)", [](const Request& req, Response& res) {
    if (req.path.rfind("/api/", 0) == 0 || req.path.find("..") != std::string::npos)
      return SendError(res, 404, "no such resource");
    const WebAsset* a = FindWebAsset(req.path.c_str());
    if (!a) return SendError(res, 404, "no such page file");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' data: blob:; style-src 'self' "
                   "'unsafe-inline'; frame-ancestors 'none'");
    res.set_content(reinterpret_cast<const char*>(a->data), a->size, a->content_type);
  });
}

}  // namespace zelhost::serve
