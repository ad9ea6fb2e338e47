#include "instrument.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "ZEL_863_DLL.h"
#include "commands.h"
#include "status_text.h"

namespace zelhost::serve {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Wall-clock milliseconds, so a viewer on the same machine can tell how long a point took to
// reach it.
double WallMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool RegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string BaseName(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Refusal Bad(const std::string& message) {
  return {400, message, 0};
}

}  // namespace

Instrument::Instrument(Session& session, EventHub& hub, std::string cal_dir,
                       std::string default_cal)
    : session_(session),
      hub_(hub),
      cal_dir_(std::move(cal_dir)),
      default_cal_(std::move(default_cal)) {
  // Read once at start: the library's state belongs to the sweep thread while one runs.
  ZEL_UnitInfo u{};
  ZEL_GetUnitInfo(&u);
  info_ = {{"model", u.model_name},
           {"firmware", u.firmware},
           {"serial_number", u.serial_number},
           {"min_mhz", u.min_freq_mhz},
           {"max_mhz", u.max_freq_mhz},
           {"record_bytes", u.record_bytes},
           {"sync", u.sync != 0},
           {"rf_sensor", u.rf_sensor != 0},
           {"temp_sensor", u.temp_sensor != 0},
           {"baud_rate", u.baud_rate},
           {"rgen_ohms", session_.unit().rgen_ohms},
           {"identification", u.ident_text},
           {"port", session_.PortText()},
           {"simulated", session_.simulated()},
           {"library", ZEL_LibraryVersion()},
           {"tool", std::string("zel ") + ZEL_TOOL_VERSION},
           {"max_points", kMaxPoints}};
}

Instrument::~Instrument() {
  Shutdown();
  if (!sim_cal_.empty()) {
    std::remove(sim_cal_.c_str());
    std::remove((sim_cal_ + ".part").c_str());
  }
}

Refusal Instrument::CheckSweep(const SweepParams& p, std::vector<double>* freqs) const {
  const ZEL_UnitInfo& u = session_.unit();
  if (!std::isfinite(p.start_mhz) || !std::isfinite(p.stop_mhz))
    return Bad("start_mhz and stop_mhz must be numbers");
  if (p.stop_mhz < p.start_mhz) return Bad("stop_mhz must not be below start_mhz");
  if (!session_.Covers(p.start_mhz) || !session_.Covers(p.stop_mhz)) {
    char text[160];
    std::snprintf(text, sizeof text, "the %s instrument measures from %g to %g MHz", u.model_name,
                  u.min_freq_mhz, u.max_freq_mhz);
    return Bad(text);
  }
  if (p.points != 0 && p.step_mhz != 0) return Bad("give points or step_mhz, not both");
  if (p.points < 0 || p.points > kMaxPoints)
    return Bad("points must be 1 to " + std::to_string(kMaxPoints));
  if (!(p.step_mhz >= 0) || !std::isfinite(p.step_mhz)) return Bad("step_mhz must be above 0");
  // 0 leaves the depth as it is.
  if (p.averaging < 0 || p.averaging > kMaxAvg)
    return Bad("averaging must be 1 to " + std::to_string(kMaxAvg));
  if (p.step_mhz > 0 && (p.stop_mhz - p.start_mhz) / p.step_mhz >= kMaxPoints)
    return Bad("step_mhz gives more than " + std::to_string(kMaxPoints) + " points");
  SweepOptions grid;
  grid.start_mhz = p.start_mhz;
  grid.stop_mhz = p.stop_mhz;
  grid.points_given = p.points > 0;
  grid.points = p.points;
  grid.step_given = p.step_mhz > 0;
  grid.step_mhz = p.step_mhz;
  *freqs = SweepFrequencies(grid);
  if (!p.corrected) return {};
  if (!p.calibration.empty()) {
    bool listed = false;
    for (const std::string& name : Calibrations()) listed = listed || name == p.calibration;
    if (!listed)
      return Bad("no calibration file '" + p.calibration + "' in the calibration folder" +
                 (cal_dir_.empty() ? " (the server was started without --cal-dir)" : ""));
    return {};
  }
  if (default_cal_.empty() && !session_.simulated())
    return Bad(
        "corrected values need a calibration file: name one of the calibration folder, "
        "or ask for raw values");
  return {};
}

std::vector<std::string> Instrument::Calibrations() const {
  std::vector<std::string> out;
  if (cal_dir_.empty()) return out;
  // Names as ValidName allows (no path), so a request never reaches outside the folder.
  if (DIR* d = opendir(cal_dir_.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (ValidName(name) && RegularFile(cal_dir_ + "/" + name)) out.push_back(name);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

Refusal Instrument::StartSweep(const SweepParams& p, std::uint64_t* sweep_id) {
  std::vector<double> freqs;
  if (Refusal r = CheckSweep(p, &freqs)) return r;
  std::lock_guard<std::mutex> lock(mu_);
  {
    if (shut_down_) return {503, "the server is stopping", 0};
    if (busy_ == Busy::kSweep)
      return {409, "a sweep is running: wait for its end or stop it first", 0};
    if (busy_ == Busy::kHold)
      return {409, "the generator is held on a frequency: switch it off first", 0};
    busy_ = Busy::kSweep;
    stop_ = false;
    *sweep_id = ++sweep_id_;
    sweep_params_ = p;
    sweep_done_ = 0;
    sweep_total_ = freqs.size();
    hub_.StartLog();
    json start = {{"sweep", *sweep_id},
                  {"start_mhz", freqs.front()},
                  {"stop_mhz", freqs.back()},
                  {"points", freqs.size()},
                  {"values", p.corrected ? "corrected" : "raw"},
                  {"calibration", p.calibration},
                  {"averaging", p.averaging}};
    hub_.Publish("sweep", start);
    hub_.Publish("state", StateLocked());
  }
  // The last sweep's thread has published its end and is leaving.
  if (sweep_thread_.joinable()) sweep_thread_.join();
  sweep_thread_ = std::thread(&Instrument::RunSweep, this, *sweep_id, p, std::move(freqs));
  return {};
}

void Instrument::StopSweep() {
  stop_ = true;
}

int Instrument::PrepareCalibration(const SweepParams& p, std::string* cal_name, Refusal* why) {
  if (!p.corrected) {
    *cal_name = "none";
    return 0;
  }
  std::string path;
  if (!p.calibration.empty()) {
    path = cal_dir_ + "/" + p.calibration;
  } else if (!default_cal_.empty()) {
    path = default_cal_;
  } else {
    if (sim_cal_.empty()) {
      // The built-in simulator is calibrated once, the first time corrected values are asked
      // without a file, as zel's other commands do on every run.
      const char* dir = std::getenv("TMPDIR");
      std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/zel-serve-cal-XXXXXX";
      int fd = mkstemp(pattern.data());
      if (fd < 0) {
        *why = {500, "cannot create a temporary calibration file", 0};
        return -1;
      }
      close(fd);
      {
        std::lock_guard<std::mutex> lock(mu_);
        calibrating_ = true;
        hub_.Publish("state", StateLocked());
      }
      CalOptions o;
      o.output = pattern;
      o.avg = p.averaging;
      int rc = RunCalibrate(session_, RunOptions{}, o, true);
      {
        std::lock_guard<std::mutex> lock(mu_);
        calibrating_ = false;
        hub_.Publish("state", StateLocked());
      }
      if (rc != kExitOk) {
        std::remove(pattern.c_str());
        *why = {502, "calibrating the built-in simulator failed", 0};
        return -1;
      }
      sim_cal_ = pattern;
    }
    path = sim_cal_;
  }
  std::int32_t status = ZEL_LoadCalFile(path.c_str());
  if (status != ZEL_OK) {
    *why = {502, "calibration file " + BaseName(path) + ": " + StatusMessage(status), status};
    return -1;
  }
  // The simulator's own calibration has no file to name; the provenance's comment says what it is.
  *cal_name = path == sim_cal_ ? "none" : BaseName(path);
  return 0;
}

void Instrument::RunSweep(std::uint64_t id, SweepParams p, std::vector<double> freqs) {
  Sweep sweep;
  Refusal failure;
  double failed_at = 0;
  auto begin = Clock::now();
  Clock::duration measuring{};
  {
    std::lock_guard<std::mutex> lib(lib_mu_);
    std::string cal_name;
    if (PrepareCalibration(p, &cal_name, &failure) == 0) {
      if (p.averaging > 0) ZEL_AvgReadings(p.averaging);
      sweep.provenance =
          MakeProvenance(session_, p.corrected, cal_name, p.averaging > 0 ? p.averaging : 1);
    }
  }
  begin = Clock::now();
  int mode = p.corrected ? 1 : 0;
  for (std::size_t i = 0; !failure && i < freqs.size() && !stop_; ++i) {
    double r = 0, x = 0;
    std::int32_t status;
    auto t0 = Clock::now();
    {
      std::lock_guard<std::mutex> lib(lib_mu_);
      status = ZEL_ScanPoint(mode, freqs[i], &r, &x);
    }
    measuring += Clock::now() - t0;
    if (status != ZEL_OK) {
      failure = {502, StatusMessage(status), status};
      failed_at = freqs[i];
      break;
    }
    sweep.points.push_back({freqs[i], r, x});
    json point = PointObject(sweep.points.back());
    point["sweep"] = id;
    point["index"] = i;
    point["t_ms"] = WallMs();
    std::lock_guard<std::mutex> lock(mu_);
    sweep_done_ = i + 1;
    hub_.Publish("point", point);
  }
  auto elapsed = Clock::now() - begin;
  {
    std::lock_guard<std::mutex> lib(lib_mu_);
    // The generator goes off with the relay at the end of every sweep, however it ended.
    ZEL_ProgRelay(0);
  }
  std::lock_guard<std::mutex> lock(mu_);
  const char* reason = failure ? "failed" : stop_ ? "stopped" : "done";
  json end = {{"sweep", id},
              {"reason", reason},
              {"points", sweep.points.size()},
              {"elapsed_ms", Ms(elapsed)},
              {"measure_ms", Ms(measuring)},
              {"summary", SummaryJson(sweep.points)}};
  if (failure) {
    end["error"] = failure.message;
    end["status"] = failure.code;
    if (failed_at > 0) end["failed_at_mhz"] = failed_at;
  }
  if (!sweep.points.empty()) last_ = std::move(sweep);
  busy_ = Busy::kIdle;
  hub_.Publish("sweep_end", end);
  hub_.Publish("state", StateLocked());
}

Refusal Instrument::Hold(double f_mhz, const std::string& client) {
  const ZEL_UnitInfo& u = session_.unit();
  if (!std::isfinite(f_mhz) || !session_.Covers(f_mhz)) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "frequency_mhz must lie in the %s instrument's range, %g to %g MHz", u.model_name,
                  u.min_freq_mhz, u.max_freq_mhz);
    return Bad(text);
  }
  if (client.empty() || !hub_.StreamOpen(client))
    return Bad("a hold belongs to an open event stream: give the client id of its hello event");
  std::lock_guard<std::mutex> lib(lib_mu_);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (shut_down_) return {503, "the server is stopping", 0};
    if (busy_ == Busy::kSweep) return {409, "a sweep is running: stop it first", 0};
    if (busy_ == Busy::kHold && hold_client_ != client)
      return {409, "another viewer holds the generator: it must switch it off first", 0};
  }
  std::int32_t status = ZEL_ConstantFreq(1, f_mhz);
  std::lock_guard<std::mutex> lock(mu_);
  if (status != ZEL_OK) {
    ZEL_ConstantFreq(0, 0);
    busy_ = Busy::kIdle;
    hold_client_.clear();
    hub_.Publish("hold", json{{"on", false}, {"reason", "failed"}});
    hub_.Publish("state", StateLocked());
    return {502, "holding " + std::to_string(f_mhz) + " MHz: " + StatusMessage(status), status};
  }
  // The stream may have closed while the generator was switched on.
  if (!hub_.StreamOpen(client)) {
    ZEL_ConstantFreq(0, 0);
    busy_ = Busy::kIdle;
    hold_client_.clear();
    hub_.Publish("state", StateLocked());
    return Bad("the event stream closed; the generator is off");
  }
  busy_ = Busy::kHold;
  hold_client_ = client;
  hold_mhz_ = f_mhz;
  hub_.Publish("hold", json{{"on", true}, {"frequency_mhz", f_mhz}});
  hub_.Publish("state", StateLocked());
  return {};
}

Refusal Instrument::HoldOff(const std::string& reason) {
  std::lock_guard<std::mutex> lib(lib_mu_);
  std::lock_guard<std::mutex> lock(mu_);
  if (busy_ == Busy::kSweep) return {409, "a sweep is running: stop it instead", 0};
  // Off even when no hold is known: the button must always leave the generator off.
  std::int32_t status = ZEL_ConstantFreq(0, 0);
  bool was_on = busy_ == Busy::kHold;
  busy_ = Busy::kIdle;
  hold_client_.clear();
  if (was_on) {
    hub_.Publish("hold", json{{"on", false}, {"reason", reason}});
    hub_.Publish("state", StateLocked());
  }
  if (status != ZEL_OK)
    return {502, "switching the generator off: " + StatusMessage(status), status};
  return {};
}

void Instrument::StreamClosed(const std::string& client) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (busy_ != Busy::kHold || hold_client_ != client) return;
  }
  HoldOff("the controlling page went away");
}

Refusal Instrument::ReadSensors(json* out) {
  const ZEL_UnitInfo& u = session_.unit();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (busy_ == Busy::kSweep) return {409, "a sweep is running: read the sensors after it", 0};
  }
  std::lock_guard<std::mutex> lib(lib_mu_);
  *out = {{"rf_sensor", u.rf_sensor != 0},
          {"temp_sensor", u.temp_sensor != 0},
          {"rf_voltage_v", nullptr},
          {"temperature_c", nullptr}};
  if (u.rf_sensor) {
    double v = ZEL_BitsToDouble(ZEL_GetRFVoltage(0));
    if (v >= kFirstStatusValue)
      (*out)["rf_voltage_error"] = StatusMessage(static_cast<std::int32_t>(v));
    else
      (*out)["rf_voltage_v"] = v;
  }
  if (u.temp_sensor) {
    double c = ZEL_BitsToDouble(ZEL_GetTemperature(0));
    if (c >= kFirstStatusValue)
      (*out)["temperature_error"] = StatusMessage(static_cast<std::int32_t>(c));
    else
      (*out)["temperature_c"] = c;
  }
  return {};
}

json Instrument::Info() const {
  return info_;
}

json Instrument::StateLocked() const {
  json s = {{"busy", busy_ == Busy::kSweep  ? "sweep"
                     : busy_ == Busy::kHold ? "hold"
                                            : "idle"},
            {"hold", {{"on", busy_ == Busy::kHold}}},
            {"calibrating", calibrating_}};
  if (busy_ == Busy::kHold) s["hold"]["frequency_mhz"] = hold_mhz_;
  if (busy_ == Busy::kSweep)
    s["sweep"] = {{"id", sweep_id_}, {"done", sweep_done_}, {"total", sweep_total_}};
  return s;
}

json Instrument::State() const {
  std::lock_guard<std::mutex> lock(mu_);
  return StateLocked();
}

std::optional<Sweep> Instrument::LastSweep() const {
  std::lock_guard<std::mutex> lock(mu_);
  return last_;
}

void Instrument::Shutdown() {
  std::thread t;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (shut_down_) return;
    shut_down_ = true;
    stop_ = true;
    t = std::move(sweep_thread_);
  }
  if (t.joinable()) t.join();
  std::lock_guard<std::mutex> lib(lib_mu_);
  ZEL_ConstantFreq(0, 0);
  ZEL_ProgRelay(0);
  std::lock_guard<std::mutex> lock(mu_);
  if (busy_ == Busy::kHold)
    hub_.Publish("hold", json{{"on", false}, {"reason", "server stopping"}});
  busy_ = Busy::kIdle;
}

}  // namespace zelhost::serve
