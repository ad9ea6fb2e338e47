// Sweeps as the server keeps them: the points with where they came from, the saved sweeps in the
// data folder (Touchstone files with zel's provenance comments), and their JSON form.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sweep_report.h"

namespace zelhost::serve {

// zel's own Provenance: the same file lines and JSON object as zel sweep writes.
struct Sweep {
  Provenance provenance;
  std::vector<Point> points;
};

nlohmann::json PointObject(const Point& p);
nlohmann::json SummaryJson(const std::vector<Point>& points);
// {"provenance": ..., "points": [...], "summary": ...}
nlohmann::json SweepJson(const Sweep& s);

// A saved sweep's name: 1 to 64 of A-Z a-z 0-9 . _ -, not starting with a dot. Anything else
// could name a file outside the data folder, so it is refused.
bool ValidName(const std::string& name);

// The Touchstone and CSV texts of a sweep, written by zel's own writers.
bool TouchstoneText(const Sweep& s, std::string* text);
bool CsvText(const std::vector<Point>& points, std::string* text);

// Reads a one-port Touchstone text (any frequency unit, RI, MA or DB, any reference resistance)
// with its "! key: value" provenance lines. False with a reason when it is not one.
bool ParseTouchstone(const std::string& text, Sweep* s, std::string* error);

// The data folder.
class SweepStore {
 public:
  explicit SweepStore(std::string dir) : dir_(std::move(dir)) {}
  const std::string& dir() const { return dir_; }
  // Creates the folder (and its parents) when missing.
  bool Prepare(std::string* error) const;

  struct Entry {
    std::string name;
    std::string date;  // from the file's provenance, else empty
    std::size_t points = 0;
    double start_mhz = 0, stop_mhz = 0;
  };
  std::vector<Entry> List() const;
  // The file's text; false when there is no such sweep. The name must be valid.
  bool ReadText(const std::string& name, std::string* text) const;
  // Writes NAME.s1p; false with errno set when it cannot. Never replaces an existing sweep
  // unless replace is set.
  enum class SaveResult { kSaved, kExists, kFailed };
  SaveResult Save(const std::string& name, const Sweep& s, bool replace) const;
  bool Remove(const std::string& name) const;

 private:
  std::string PathOf(const std::string& name) const { return dir_ + "/" + name + ".s1p"; }
  std::string dir_;
};

// The default data folder: $XDG_DATA_HOME/zel/sweeps, else ~/.local/share/zel/sweeps.
std::string DefaultDataDir();

}  // namespace zelhost::serve
