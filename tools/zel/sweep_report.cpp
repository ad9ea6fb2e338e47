#include "sweep_report.h"

#include <cmath>
#include <complex>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string>

#include "text.h"

namespace zelhost {

Match MatchOf(const Point& p) {
  std::complex<double> z(p.r, p.x);
  // A reading that is no finite number (an open beyond the instrument's range) is a total
  // mismatch, as an open is.
  std::complex<double> g = std::isfinite(p.r) && std::isfinite(p.x)
                               ? (z - kRefOhms) / (z + kRefOhms)
                               : std::complex<double>(1, 0);
  Match m;
  m.z_abs = std::abs(z);
  m.gamma_re = g.real();
  m.gamma_im = g.imag();
  m.gamma_abs = std::abs(g);
  // A reading can land a hair outside the unit circle (a negative resistance from noise on an
  // open): that is a total mismatch, not a negative SWR.
  m.swr = m.gamma_abs >= 1 ? std::numeric_limits<double>::infinity()
                           : (1 + m.gamma_abs) / (1 - m.gamma_abs);
  m.return_loss_db =
      m.gamma_abs > 0 ? -20 * std::log10(m.gamma_abs) : std::numeric_limits<double>::infinity();
  return m;
}

namespace {

// Frequency where the SWR crosses `limit` between two points, linear in SWR; an infinite SWR
// (no crossing to interpolate) puts the edge on the point that is below the limit.
double Crossing(const Point& below, double swr_below, const Point& above, double swr_above,
                double limit) {
  if (!std::isfinite(swr_above) || swr_above == swr_below) return below.f_mhz;
  double t = (limit - swr_below) / (swr_above - swr_below);
  return below.f_mhz + t * (above.f_mhz - below.f_mhz);
}

}  // namespace

Band BandBelow(const std::vector<Point>& points, std::size_t best, double limit) {
  Band b;
  if (best >= points.size()) return b;
  double best_swr = MatchOf(points[best]).swr;
  if (!(best_swr < limit)) return b;
  b.found = true;
  std::size_t lo = best;
  while (lo > 0 && MatchOf(points[lo - 1]).swr < limit) --lo;
  std::size_t hi = best;
  while (hi + 1 < points.size() && MatchOf(points[hi + 1]).swr < limit) ++hi;
  if (lo == 0) {
    b.low_mhz = points[0].f_mhz;
    b.low_at_sweep_end = true;
  } else {
    b.low_mhz = Crossing(points[lo], MatchOf(points[lo]).swr, points[lo - 1],
                         MatchOf(points[lo - 1]).swr, limit);
  }
  if (hi + 1 == points.size()) {
    b.high_mhz = points[hi].f_mhz;
    b.high_at_sweep_end = true;
  } else {
    b.high_mhz = Crossing(points[hi], MatchOf(points[hi]).swr, points[hi + 1],
                          MatchOf(points[hi + 1]).swr, limit);
  }
  return b;
}

Summary Summarize(const std::vector<Point>& points) {
  Summary s;
  std::size_t best = points.size();
  for (std::size_t i = 0; i < points.size(); ++i) {
    double swr = MatchOf(points[i]).swr;
    if (best == points.size() || swr < s.min_swr) {
      best = i;
      s.min_swr = swr;
    }
  }
  if (best == points.size()) return s;
  s.any = true;
  s.min_swr_mhz = points[best].f_mhz;
  s.swr2 = BandBelow(points, best, 2.0);
  s.swr1_5 = BandBelow(points, best, 1.5);
  return s;
}

FileKind KindOfPath(const std::string& path) {
  std::size_t dot = path.rfind('.');
  if (dot == std::string::npos) return FileKind::kNone;
  const std::string ext = zeltext::Lower(path.substr(dot + 1));
  if (ext == "s1p") return FileKind::kTouchstone;
  if (ext == "csv") return FileKind::kCsv;
  if (ext == "json") return FileKind::kJson;
  return FileKind::kNone;
}

std::string IsoDateNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &local);
  // %z gives +0100; ISO 8601's extended form wants +01:00.
  std::string s = buf;
  if (s.size() >= 5) s.insert(s.size() - 2, ":");
  return s;
}

const char* NonMeasurement(const Point& p) {
  double z = std::hypot(p.r, p.x);
  if (!std::isfinite(z) || z >= kOpenShownOhms || p.r >= kOpenShownOhms) return "open";
  if (z < kShortShownOhms) return "short";
  return "";
}

std::string SwrText(double swr) {
  if (!(swr <= kShownSwrLimit)) return ">100";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", swr);
  return buf;
}

namespace {

std::string Format(const char* fmt, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, v);
  return buf;
}

// A number for JSON: infinity and NaN have no JSON form and become null.
std::string JsonNumber(double v, const char* fmt = "%.10g") {
  return std::isfinite(v) ? Format(fmt, v) : "null";
}

std::string BandJson(const Band& b) {
  if (!b.found) return "null";
  return "{\"low_mhz\": " + JsonNumber(b.low_mhz) + ", \"high_mhz\": " + JsonNumber(b.high_mhz) +
         ", \"bandwidth_mhz\": " + JsonNumber(b.high_mhz - b.low_mhz) +
         ", \"reaches_sweep_end\": " +
         (b.low_at_sweep_end || b.high_at_sweep_end ? "true" : "false") + "}";
}

}  // namespace

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string TouchstoneText(const std::vector<Point>& points, const Provenance& p) {
  std::string t;
  t += "! " + p.comment + "\n";
  t += "! one-port reflection coefficient against 50 ohms\n";
  t += "! instrument: " + p.model + " serial " + p.serial + " firmware " + p.firmware + "\n";
  t += "! date: " + p.date + "\n";
  t += std::string("! values: ") + (p.corrected ? "corrected" : "raw") + "\n";
  t += "! calibration: " + p.calibration + "\n";
  t += "! averaging: " + std::to_string(p.averaging) + "\n";
  t += "! tool: " + p.tool + "\n";
  t += "# MHZ S RI R 50\n";
  for (const Point& pt : points) {
    Match m = MatchOf(pt);
    // Twelve significant digits keep the impedance that comes back from the reflection
    // coefficient far inside the instrument's own resolution, even near an open.
    char line[128];
    std::snprintf(line, sizeof line, "%.9f %.12g %.12g\n", pt.f_mhz, m.gamma_re, m.gamma_im);
    t += line;
  }
  return t;
}

std::string CsvText(const std::vector<Point>& points) {
  std::string t = "frequency_mhz,r_ohm,x_ohm,z_abs_ohm,swr,return_loss_db\n";
  for (const Point& p : points) {
    Match m = MatchOf(p);
    char line[256];
    std::snprintf(line, sizeof line, "%.6f,%.4f,%.4f,%.4f,%.4f,%.3f\n", p.f_mhz, p.r, p.x, m.z_abs,
                  m.swr, m.return_loss_db);
    t += line;
  }
  return t;
}

std::string ProvenanceJson(const Provenance& p) {
  return "{\"instrument\": {\"model\": " + JsonString(p.model) +
         ", \"serial\": " + JsonString(p.serial) + ", \"firmware\": " + JsonString(p.firmware) +
         "}, \"date\": " + JsonString(p.date) +
         ", \"values\": " + (p.corrected ? "\"corrected\"" : "\"raw\"") +
         ", \"calibration\": " + JsonString(p.calibration) +
         ", \"averaging\": " + std::to_string(p.averaging) + ", \"tool\": " + JsonString(p.tool) +
         "}";
}

std::string PointJson(const Point& p) {
  Match m = MatchOf(p);
  return "{\"frequency_mhz\": " + JsonNumber(p.f_mhz, "%.9g") +
         ", \"r_ohm\": " + JsonNumber(p.r, "%.4f") + ", \"x_ohm\": " + JsonNumber(p.x, "%.4f") +
         ", \"z_abs_ohm\": " + JsonNumber(m.z_abs, "%.4f") +
         ", \"swr\": " + JsonNumber(m.swr, "%.4f") +
         ", \"return_loss_db\": " + JsonNumber(m.return_loss_db, "%.3f") +
         ", \"status\": " + std::to_string(p.status) + "}";
}

std::string JsonText(const std::vector<Point>& points, const Provenance& p) {
  std::string t = "{\"provenance\": " + ProvenanceJson(p) + ",\n \"points\": [";
  for (std::size_t i = 0; i < points.size(); ++i)
    t += (i ? ",\n  " : "\n  ") + PointJson(points[i]);
  t += "],\n \"summary\": ";
  Summary s = Summarize(points);
  if (!s.any) {
    t += "null}\n";
  } else {
    t += "{\"min_swr\": " + JsonNumber(s.min_swr, "%.4f") +
         ", \"min_swr_mhz\": " + JsonNumber(s.min_swr_mhz, "%.9g") +
         ", \"swr_below_2\": " + BandJson(s.swr2) + ", \"swr_below_1_5\": " + BandJson(s.swr1_5) +
         "}}\n";
  }
  return t;
}

void PrintTableHeader(std::FILE* out) {
  std::fprintf(out, "# %12s %11s %11s %11s %9s %8s\n", "freq_MHz", "R_ohm", "X_ohm", "|Z|_ohm",
               "SWR", "RL_dB");
}

void PrintTableRow(std::FILE* out, const Point& p) {
  Match m = MatchOf(p);
  const char* word = NonMeasurement(p);
  if (*word) {
    // An open or a short: the numbers are the correction's guard values, not a measurement.
    std::fprintf(out, "  %12.6f %11s %11s %11s %9s %8.2f\n", p.f_mhz, word, "-", "-",
                 SwrText(m.swr).c_str(), m.return_loss_db);
    return;
  }
  std::fprintf(out, "  %12.6f %11.3f %11.3f %11.3f %9s %8.2f\n", p.f_mhz, p.r, p.x, m.z_abs,
               SwrText(m.swr).c_str(), m.return_loss_db);
}

namespace {

void PrintBand(std::FILE* out, const char* name, const Band& b) {
  if (!b.found) {
    std::fprintf(out, "# SWR below %s: none\n", name);
    return;
  }
  std::fprintf(out, "# SWR below %s: %.4f to %.4f MHz, bandwidth %.4f MHz%s\n", name, b.low_mhz,
               b.high_mhz, b.high_mhz - b.low_mhz,
               b.low_at_sweep_end || b.high_at_sweep_end
                   ? " (or more: the band reaches the end of the sweep)"
                   : "");
}

}  // namespace

void PrintSummary(std::FILE* out, const Summary& s) {
  if (!s.any) {
    std::fprintf(out, "# no points measured\n");
    return;
  }
  std::fprintf(out, "# lowest SWR %s at %.4f MHz\n", SwrText(s.min_swr).c_str(), s.min_swr_mhz);
  PrintBand(out, "2:1", s.swr2);
  PrintBand(out, "1.5:1", s.swr1_5);
}

}  // namespace zelhost
