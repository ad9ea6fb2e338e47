#include "events.h"

#include <chrono>

#include "random_text.h"

namespace zelhost::serve {

std::string JsonText(const nlohmann::json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void EventHub::Publish(const std::string& name, const nlohmann::json& data) {
  std::string json = JsonText(data);
  std::string text;
  text.reserve(name.size() + json.size() + 16);
  text.append("event: ").append(name).append("\ndata: ").append(json).append("\n\n");
  {
    std::lock_guard<std::mutex> lock(mu_);
    log_.push_back({next_seq_++, std::move(text)});
    if (log_.size() > kMaxEvents) log_.pop_front();
  }
  cv_.notify_all();
}

void EventHub::StartLog() {
  std::lock_guard<std::mutex> lock(mu_);
  log_.clear();
}

bool EventHub::Next(std::uint64_t* cursor, std::string* out, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  auto pending = [&] { return closing_ || (!log_.empty() && log_.back().seq > *cursor); };
  if (!pending()) cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), pending);
  if (closing_) return false;
  for (const Event& e : log_) {
    if (e.seq <= *cursor) continue;
    out->append(e.text);
    *cursor = e.seq;
  }
  return true;
}

void EventHub::Close() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing_ = true;
  }
  cv_.notify_all();
}

bool EventHub::closing() const {
  std::lock_guard<std::mutex> lock(mu_);
  return closing_;
}

std::string EventHub::OpenStream() {
  std::lock_guard<std::mutex> lock(mu_);
  if (streams_.size() >= kMaxStreams) return "";
  std::string id = RandomHex(8);
  streams_.insert(id);
  return id;
}

void EventHub::CloseStream(const std::string& client) {
  std::lock_guard<std::mutex> lock(mu_);
  streams_.erase(client);
}

bool EventHub::StreamOpen(const std::string& client) const {
  std::lock_guard<std::mutex> lock(mu_);
  return streams_.count(client) != 0;
}

std::size_t EventHub::streams() const {
  std::lock_guard<std::mutex> lock(mu_);
  return streams_.size();
}

}  // namespace zelhost::serve
