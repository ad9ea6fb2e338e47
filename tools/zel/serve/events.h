// The events every viewer sees, formatted once as Server-Sent Events text and kept from the start
// of the current sweep, so a page that opens late draws the sweep from its first point.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

namespace zelhost::serve {

// JSON text on one line. Text that is not UTF-8 (an identification or a file's comment) is
// replaced, not thrown about.
std::string JsonText(const nlohmann::json& j);

class EventHub {
 public:
  // "event: <name>\ndata: <json>\n\n" to every stream.
  void Publish(const std::string& name, const nlohmann::json& data);
  // Forgets the events before this one: a new sweep starts the log.
  void StartLog();
  // Appends to *out the events after *cursor (0: from the start of the log) and moves the
  // cursor. Waits up to timeout_ms for one when there is none. False once the hub is closing.
  bool Next(std::uint64_t* cursor, std::string* out, int timeout_ms);
  // Wakes every stream so that it ends.
  void Close();
  bool closing() const;

  // The streams open now, by client id: a hold belongs to one of them.
  std::string OpenStream();  // a new client id, or "" when kMaxStreams are open
  void CloseStream(const std::string& client);
  bool StreamOpen(const std::string& client) const;
  std::size_t streams() const;

  // Each stream keeps an HTTP worker thread for its lifetime; this bound leaves threads for the
  // API calls.
  static constexpr std::size_t kMaxStreams = 32;

 private:
  struct Event {
    std::uint64_t seq;
    std::string text;
  };
  // A log longer than this (holds switched on and off for hours) drops its oldest events.
  static constexpr std::size_t kMaxEvents = 40000;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Event> log_;
  std::uint64_t next_seq_ = 1;
  bool closing_ = false;
  std::set<std::string> streams_;
};

}  // namespace zelhost::serve
