#include "bands.h"

#include <algorithm>
#include <iterator>

#include "text.h"

namespace zelhost {
namespace {

// The widest allocation among the three IARU regions, so a preset covers the band wherever the
// user is; 60 m is the WRC-15 allocation.
constexpr HamBand kBands[] = {
    {"160m", 1.8, 2.0},    {"80m", 3.5, 4.0},       {"60m", 5.3515, 5.3665}, {"40m", 7.0, 7.3},
    {"30m", 10.1, 10.15},  {"20m", 14.0, 14.35},    {"17m", 18.068, 18.168}, {"15m", 21.0, 21.45},
    {"12m", 24.89, 24.99}, {"10m", 28.0, 29.7},     {"6m", 50.0, 54.0},      {"4m", 70.0, 70.5},
    {"2m", 144.0, 148.0},  {"1.25m", 222.0, 225.0}, {"70cm", 420.0, 450.0},
};

// A tenth of the band's width on either side, and at least 25 kHz: enough to see where the SWR
// curve goes beyond the edges without spending most points outside the band.
constexpr double kMarginFraction = 0.1;
constexpr double kMinMarginMHz = 0.025;

}  // namespace

const HamBand* FindBand(const std::string& name) {
  const std::string n = zeltext::Lower(name);
  for (const HamBand& b : kBands)
    if (n == b.name) return &b;
  return nullptr;
}

bool BandSweep(const HamBand& b, double min_mhz, double max_mhz, double* start, double* stop) {
  double margin = std::max(kMarginFraction * (b.high_mhz - b.low_mhz), kMinMarginMHz);
  *start = std::max(b.low_mhz - margin, min_mhz);
  *stop = std::min(b.high_mhz + margin, max_mhz);
  return b.low_mhz >= min_mhz && b.high_mhz <= max_mhz;
}

void PrintBands(std::FILE* out) {
  std::fprintf(out, "# band    band_MHz               sweep_MHz (with the margin)\n");
  for (const HamBand& b : kBands) {
    double start = 0, stop = 0;
    BandSweep(b, 0, 1e9, &start, &stop);
    std::fprintf(out, "  %-6s %9.4f - %-9.4f  %9.4f - %.4f\n", b.name, b.low_mhz, b.high_mhz, start,
                 stop);
  }
}

std::string BandNames() {
  std::string s;
  for (const HamBand& b : kBands) s += (s.empty() ? "" : ", ") + std::string(b.name);
  return s;
}

}  // namespace zelhost
