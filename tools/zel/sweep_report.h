// The figures an antenna builder reads off a sweep, against a 50-ohm system, and the texts a sweep
// is written as: the table on a terminal, and the Touchstone, CSV and JSON files.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zelhost {

constexpr double kRefOhms = 50.0;

struct Point {
  double f_mhz;
  double r;  // series resistance, ohms
  double x;  // series reactance, ohms
  int status = 0;
};

struct Match {
  double z_abs;  // |Z|
  double gamma_re, gamma_im, gamma_abs;
  double swr;  // +inf at a total mismatch
  double return_loss_db;
};
Match MatchOf(const Point& p);

// A frequency band where the SWR stays below a limit, its edges interpolated between points.
struct Band {
  bool found = false;
  double low_mhz = 0, high_mhz = 0;
  bool low_at_sweep_end = false;  // the SWR was still below the limit at the first point
  bool high_at_sweep_end = false;
};

struct Summary {
  bool any = false;
  double min_swr = 0;
  double min_swr_mhz = 0;
  Band swr2;    // 2:1
  Band swr1_5;  // 1.5:1
};

// The band below `limit` is the run of points around the lowest SWR.
Band BandBelow(const std::vector<Point>& points, std::size_t best, double limit);
Summary Summarize(const std::vector<Point>& points);

// Where a file or the table says where a sweep came from.
struct Provenance {
  std::string comment;      // free text, the first line of a Touchstone file
  std::string model;        // "standard"
  std::string serial;       // "12345", or "none"
  std::string firmware;     // "5.12", or "none"
  std::string date;         // ISO 8601 with the offset
  bool corrected = false;   // values corrected by a calibration, else raw
  std::string calibration;  // the calibration file's base name, or "none"
  int averaging = 1;        // readings per point
  std::string tool;         // "zel 1.1.0 library 1.1.0"
};
// Now, local time, "2026-12-10T15:04:05+01:00".
std::string IsoDateNow();

// Values a table shows as words: an SWR above this, and impedances that are an open's or a
// short's rather than a measurement's (the library's correction reports open-like points as
// 99999 ohms, short-like ones as 0.00001 ohm).
constexpr double kShownSwrLimit = 100;
constexpr double kOpenShownOhms = 99999;
constexpr double kShortShownOhms = 0.01;
// "open", "short" or "" for an impedance a table shows as a number.
const char* NonMeasurement(const Point& p);
// "1.234", or ">100" above kShownSwrLimit.
std::string SwrText(double swr);

// Texts of the file formats.
enum class FileKind { kNone, kTouchstone, kCsv, kJson };
FileKind KindOfPath(const std::string& path);  // by extension, kNone when unknown
std::string TouchstoneText(const std::vector<Point>& points, const Provenance& p);
std::string CsvText(const std::vector<Point>& points);
std::string JsonText(const std::vector<Point>& points, const Provenance& p);
std::string ProvenanceJson(const Provenance& p);
std::string PointJson(const Point& p);
// A JSON string literal, quotes included.
std::string JsonString(const std::string& s);

// The table printed on stdout.
void PrintTableHeader(std::FILE* out);
void PrintTableRow(std::FILE* out, const Point& p);
void PrintSummary(std::FILE* out, const Summary& s);

}  // namespace zelhost
