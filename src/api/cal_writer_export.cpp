// The calibration writer as an exported call (an extension beside the twelve frames), so that a
// host that runs the calibration procedure through the C interface can make the file.

#include "ZEL_863_DLL.h"
#include "cal/cal_writer.h"
#include "state/state.h"

using zel::state;

extern "C" {

ZEL_API int32_t ZEL_CALL ZEL_WriteCalFile(const char* path, const ZEL_CalSpec* spec,
                                          const double* short_re, const double* short_im,
                                          const double* open_re, const double* open_im,
                                          const double* load_re, const double* load_im) {
  state.frame.LibraryMode = 1;
  state.frame.InExportCall = 1;
  if (spec == nullptr) {
    state.frame.StatusCode = ZEL_ERR_CAL_SPEC;
  } else if (spec->from_mode0 != 0 && state.ident.Rgen == 0) {
    // Mode-0 values lack the bridge's source resistance, which only the identification knows.
    state.frame.StatusCode = ZEL_ERR_CAL_SPEC;
  } else {
    const double offset = spec->from_mode0 != 0 ? state.ident.Rgen : 0;
    state.frame.StatusCode = zel::WriteCalFile(
        path, *spec, {short_re, short_im, open_re, open_im, load_re, load_im}, offset);
  }
  state.frame.InExportCall = 0;
  return state.frame.StatusCode;
}

}  // extern "C"
