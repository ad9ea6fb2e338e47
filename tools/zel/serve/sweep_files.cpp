#include "sweep_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "files.h"
#include "text.h"

namespace zelhost::serve {
namespace {

// A saved sweep larger than this was not written by a sweep of the server's size.
constexpr std::size_t kMaxFileBytes = 16 << 20;
constexpr std::size_t kMaxNameLength = 64;

using json = nlohmann::json;

// JSON has no infinity: an SWR or a return loss that is infinite is written as null.
json Number(double v) {
  return std::isfinite(v) ? json(v) : json(nullptr);
}

json BandJson(const Band& b) {
  if (!b.found) return nullptr;
  return {{"low_mhz", b.low_mhz},
          {"high_mhz", b.high_mhz},
          {"bandwidth_mhz", b.high_mhz - b.low_mhz},
          {"low_at_sweep_end", b.low_at_sweep_end},
          {"high_at_sweep_end", b.high_at_sweep_end}};
}

std::string Trim(const std::string& s) {
  std::size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  std::size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

bool ReadFd(int fd, std::string* text) {
  text->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text->append(buf, static_cast<std::size_t>(n));
    if (text->size() > kMaxFileBytes) return false;
  }
}

void ParseKeyLine(const std::string& line, Provenance* p) {
  std::size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return;
  std::string key = line.substr(0, colon);
  for (char c : key)
    if (!(c >= 'a' && c <= 'z') && c != '_' && c != ' ') return;
  std::string value = Trim(line.substr(colon + 1));
  if (key == "instrument") {
    std::size_t s = value.find(" serial ");
    std::size_t f = value.find(" firmware ");
    p->model = value.substr(0, std::min(s, f));
    if (s != std::string::npos)
      p->serial =
          value.substr(s + 8, f == std::string::npos || f < s ? std::string::npos : f - (s + 8));
    if (f != std::string::npos) p->firmware = value.substr(f + 10);
  } else if (key == "date") {
    p->date = value;
  } else if (key == "values") {
    p->corrected = value == "corrected";
  } else if (key == "calibration") {
    p->calibration = value;
  } else if (key == "averaging") {
    p->averaging = std::atoi(value.c_str());
  } else if (key == "tool") {
    p->tool = value;
  }
}

}  // namespace

json PointObject(const Point& p) {
  Match m = MatchOf(p);
  return {{"frequency_mhz", p.f_mhz},       {"r_ohm", Number(p.r)},
          {"x_ohm", Number(p.x)},           {"z_abs_ohm", Number(m.z_abs)},
          {"swr", Number(m.swr)},           {"return_loss_db", Number(m.return_loss_db)},
          {"gamma_re", Number(m.gamma_re)}, {"gamma_im", Number(m.gamma_im)}};
}

json SummaryJson(const std::vector<Point>& points) {
  Summary s = Summarize(points);
  if (!s.any) return nullptr;
  return {{"min_swr", Number(s.min_swr)},
          {"min_swr_mhz", s.min_swr_mhz},
          {"swr2", BandJson(s.swr2)},
          {"swr1_5", BandJson(s.swr1_5)}};
}

json SweepJson(const Sweep& s) {
  const Provenance& p = s.provenance;
  json points = json::array();
  for (const Point& pt : s.points) points.push_back(PointObject(pt));
  // The keys of zel's ProvenanceJson, built here so that a saved file's bytes that are not UTF-8
  // are replaced when sent rather than refused by a parser.
  return {{"provenance",
           {{"instrument", {{"model", p.model}, {"serial", p.serial}, {"firmware", p.firmware}}},
            {"date", p.date},
            {"values", p.corrected ? "corrected" : "raw"},
            {"calibration", p.calibration},
            {"averaging", p.averaging},
            {"tool", p.tool}}},
          {"points", std::move(points)},
          {"summary", SummaryJson(s.points)}};
}

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength || name[0] == '.') return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool TouchstoneText(const Sweep& s, std::string* text) {
  *text = zelhost::TouchstoneText(s.points, s.provenance);
  return true;
}

bool CsvText(const std::vector<Point>& points, std::string* text) {
  *text = zelhost::CsvText(points);
  return true;
}

bool ParseTouchstone(const std::string& text, Sweep* s, std::string* error) {
  *s = Sweep{};
  double unit = 1e-6;  // to MHz; Touchstone's default unit is GHz, set below
  bool have_options = false;
  enum { kRI, kMA, kDB } format = kMA;
  double ref = 50;
  std::istringstream in(text);
  std::string line;
  int line_no = 0;
  while (std::getline(in, line)) {
    ++line_no;
    if (!line.empty() && line[0] == '!') {
      ParseKeyLine(Trim(line.substr(1)), &s->provenance);
      continue;
    }
    std::size_t bang = line.find('!');
    if (bang != std::string::npos) line.resize(bang);
    line = Trim(line);
    if (line.empty()) continue;
    if (line[0] == '#') {
      if (have_options) continue;  // only the first option line counts
      have_options = true;
      unit = 1e3;  // GHz
      format = kMA;
      std::istringstream opts(line.substr(1));
      std::string tok;
      while (opts >> tok) {
        const std::string key = zeltext::Lower(tok);
        if (key == "hz")
          unit = 1e-6;
        else if (key == "khz")
          unit = 1e-3;
        else if (key == "mhz")
          unit = 1;
        else if (key == "ghz")
          unit = 1e3;
        else if (key == "ri")
          format = kRI;
        else if (key == "ma")
          format = kMA;
        else if (key == "db")
          format = kDB;
        else if (key == "r") {
          if (!(opts >> ref) || !(ref > 0)) {
            *error = "bad reference resistance in the option line";
            return false;
          }
        } else if (key != "s") {
          *error = "not a one-port S-parameter file (option " + tok + ")";
          return false;
        }
      }
      continue;
    }
    if (!have_options) {
      *error = "no option line (# MHZ S RI R 50) before the data";
      return false;
    }
    std::istringstream nums(line);
    double f, a, b;
    std::string extra;
    if (!(nums >> f >> a >> b) || (nums >> extra) || !std::isfinite(f) || !std::isfinite(a) ||
        !std::isfinite(b)) {
      *error = "line " + std::to_string(line_no) + " does not hold three numbers";
      return false;
    }
    std::complex<double> g;
    if (format == kRI) {
      g = {a, b};
    } else {
      double mag = format == kMA ? a : std::pow(10.0, a / 20);
      g = std::polar(mag, b * M_PI / 180);
    }
    std::complex<double> z =
        g == 1.0 ? std::complex<double>(INFINITY, INFINITY) : ref * (1.0 + g) / (1.0 - g);
    s->points.push_back({f * unit, z.real(), z.imag()});
  }
  if (s->points.empty()) {
    *error = "no points";
    return false;
  }
  return true;
}

bool SweepStore::Prepare(std::string* error) const {
  std::string path;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir_.find('/', pos + 1);
    path = dir_.substr(0, pos);
    if (path.empty()) continue;
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = "cannot create " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat st {};
  if (stat(dir_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = dir_ + " is not a folder";
    return false;
  }
  return true;
}

std::vector<SweepStore::Entry> SweepStore::List() const {
  std::vector<Entry> out;
  DIR* d = opendir(dir_.c_str());
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    std::string file = e->d_name;
    if (file.size() < 5 || file.compare(file.size() - 4, 4, ".s1p") != 0) continue;
    std::string name = file.substr(0, file.size() - 4);
    if (!ValidName(name)) continue;
    std::string text;
    Sweep s;
    std::string error;
    Entry entry{name, "", 0, 0, 0};
    if (ReadText(name, &text) && ParseTouchstone(text, &s, &error)) {
      entry.date = s.provenance.date;
      entry.points = s.points.size();
      entry.start_mhz = s.points.front().f_mhz;
      entry.stop_mhz = s.points.back().f_mhz;
    }
    out.push_back(entry);
  }
  closedir(d);
  std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return out;
}

bool SweepStore::ReadText(const std::string& name, std::string* text) const {
  if (!ValidName(name)) return false;
  // Only a regular file of the folder itself: a link planted there leads nowhere.
  int fd = open(PathOf(name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadFd(fd, text);
  close(fd);
  return ok;
}

SweepStore::SaveResult SweepStore::Save(const std::string& name, const Sweep& s,
                                        bool replace) const {
  if (!ValidName(name)) return SaveResult::kFailed;
  // Written beside the final name and moved in when complete, so a saved sweep is never seen
  // half written; a name that starts with a dot is never listed.
  std::string part = dir_ + "/." + name + ".part";
  std::string error;
  if (!WriteFileAtomically(part, zelhost::TouchstoneText(s.points, s.provenance), &error)) {
    unlink(part.c_str());
    return SaveResult::kFailed;
  }
  std::string final_path = PathOf(name);
  if (replace) {
    if (rename(part.c_str(), final_path.c_str()) != 0) {
      unlink(part.c_str());
      return SaveResult::kFailed;
    }
    return SaveResult::kSaved;
  }
  // link() refuses an existing name, with no window between a check and the write.
  int rc = link(part.c_str(), final_path.c_str());
  int err = errno;
  unlink(part.c_str());
  if (rc == 0) return SaveResult::kSaved;
  errno = err;
  return err == EEXIST ? SaveResult::kExists : SaveResult::kFailed;
}

bool SweepStore::Remove(const std::string& name) const {
  return ValidName(name) && unlink(PathOf(name).c_str()) == 0;
}

std::string DefaultDataDir() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/zel/sweeps";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/share/zel/sweeps";
}

}  // namespace zelhost::serve
