// The figures an antenna builder reads off a sweep, against a 50-ohm system, and the files a
// sweep is written to.
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

// Writers. Each returns false (with errno set) when the file cannot be written.
enum class FileKind { kNone, kTouchstone, kCsv };
FileKind KindOfPath(const std::string& path);  // by extension, kNone when unknown
bool WriteTouchstone(const std::string& path, const std::vector<Point>& points,
                     const std::string& comment);
bool WriteCsv(const std::string& path, const std::vector<Point>& points);

// The table printed on stdout.
void PrintTableHeader(std::FILE* out);
void PrintTableRow(std::FILE* out, const Point& p);
void PrintSummary(std::FILE* out, const Summary& s);

}  // namespace zelhost
