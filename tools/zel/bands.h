// The amateur bands from 160 m to 70 cm as sweep presets: each band with a small margin on either
// side, so the SWR at the band edges is measured with the curve around it.
#pragma once

#include <cstdio>
#include <string>

namespace zelhost {

struct HamBand {
  const char* name;  // "40m"
  double low_mhz, high_mhz;
};

// nullptr when the name is no band ("40m" and "40M" both name the 40 m band).
const HamBand* FindBand(const std::string& name);

// The sweep for a band: the band widened by its margin and limited to the model's range. False
// when the band lies outside the range.
bool BandSweep(const HamBand& b, double min_mhz, double max_mhz, double* start, double* stop);

// The list "zel bands" prints; with a range, the sweep each band gives on that instrument.
void PrintBands(std::FILE* out);

// "40m, 30m, ..." for messages.
std::string BandNames();

}  // namespace zelhost
