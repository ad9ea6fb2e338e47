#pragma once

#include <cstdint>

#include "ZEL_863_DLL.h"

namespace zel {

// The six value arrays of a calibration run, one entry per grid point each.
struct CalWriterTables {
  const double* ShortRe;
  const double* ShortIm;
  const double* OpenRe;
  const double* OpenIm;
  const double* LoadRe;
  const double* LoadIm;
};

// Writes a calibration file in the interactive writer's form that ReadCalFile reads back to the
// same tables within the file's four decimals. arm_offset_ohms is added to every real part (the
// bridge's Rgen when the values are Rs + jXs, else 0). Returns 0 or ZEL_ERR_CAL_PATH,
// ZEL_ERR_CAL_SPEC, ZEL_ERR_CAL_WRITE. Reads the platform's clock when desc has no date; touches
// no state.
std::int32_t WriteCalFile(const char* path, const ZEL_CalSpec& desc, const CalWriterTables& tables,
                          double arm_offset_ohms);

}  // namespace zel
