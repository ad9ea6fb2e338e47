// The one instrument of the server, shared by every viewer: sweeps on their own thread, holding a
// frequency, the sensors. Every library call goes through here, one at a time (the library keeps
// one process-wide state). Whatever ends a sweep or a hold leaves the generator and relay off.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "events.h"
#include "session.h"
#include "sweep_files.h"

namespace zelhost::serve {

// What a request that cannot be carried out gets: an HTTP status and a sentence.
struct Refusal {
  int http = 0;  // 0: carried out
  std::string message;
  std::int32_t code = 0;  // the library's status code when it failed
  explicit operator bool() const { return http != 0; }
};

struct SweepParams {
  double start_mhz = 0, stop_mhz = 0;
  int points = 0;       // 0: step given
  double step_mhz = 0;  // 0: points given
  bool corrected = true;
  std::string calibration;  // a file of the calibration folder; empty: the default
  int averaging = 0;        // 0: leave as it is
};

class Instrument {
 public:
  // cal_dir: the folder whose files a sweep may name; default_cal: the file used when a
  // corrected sweep names none (may be empty).
  Instrument(Session& session, EventHub& hub, std::string cal_dir, std::string default_cal);
  ~Instrument();

  // The largest sweep the server takes: a few minutes on the slow link.
  static constexpr int kMaxPoints = 10001;

  // Checks the request against the model and the calibration folder; 400 with a reason when it
  // asks for something impossible. Fills the frequencies.
  Refusal CheckSweep(const SweepParams& p, std::vector<double>* freqs) const;
  // 202-style start: the points follow as events. 409 while a sweep or a hold is on.
  Refusal StartSweep(const SweepParams& p, std::uint64_t* sweep_id);
  void StopSweep();

  // Holds the generator on f_mhz for the viewer whose event stream is `client`; when that
  // stream ends the generator goes off.
  Refusal Hold(double f_mhz, const std::string& client);
  Refusal HoldOff(const std::string& reason);
  // An event stream closed: its hold, if any, ends.
  void StreamClosed(const std::string& client);

  Refusal ReadSensors(nlohmann::json* out);
  nlohmann::json Info() const;
  nlohmann::json State() const;
  std::vector<std::string> Calibrations() const;
  // The last sweep that ended (with its points so far when it was stopped).
  std::optional<Sweep> LastSweep() const;

  // Ends a running sweep and a hold, and switches the relay off. Called when the server stops.
  void Shutdown();

 private:
  void RunSweep(std::uint64_t id, SweepParams p, std::vector<double> freqs);
  int PrepareCalibration(const SweepParams& p, std::string* cal_name, Refusal* why);
  void PublishState();
  nlohmann::json StateLocked() const;
  void JoinSweep();

  Session& session_;
  EventHub& hub_;
  std::string cal_dir_, default_cal_;
  nlohmann::json info_;
  std::string sim_cal_;  // the calibration made on the built-in simulator, once

  std::mutex lib_mu_;  // one library call at a time
  mutable std::mutex mu_;
  enum class Busy { kIdle, kSweep, kHold } busy_ = Busy::kIdle;
  std::thread sweep_thread_;
  std::atomic<bool> stop_{false};
  std::uint64_t sweep_id_ = 0;
  SweepParams sweep_params_;
  std::size_t sweep_done_ = 0, sweep_total_ = 0;
  bool calibrating_ = false;
  double hold_mhz_ = 0;
  std::string hold_client_;
  std::optional<Sweep> last_;
  bool shut_down_ = false;
};

}  // namespace zelhost::serve
