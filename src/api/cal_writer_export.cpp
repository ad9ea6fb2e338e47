// The calibration writer as an exported call (an extension beside the twelve frames), so that a
// host that runs the calibration procedure through the C interface can make the file.

#include "ZEL_863_DLL.h"
#include "api/call_lock.h"
#include "api/frame.h"
#include "cal/cal_writer.h"
#include "state/state.h"

using zel::state;

extern "C" {

ZEL_API int32_t ZEL_CALL ZEL_WriteCalFile(const char* path, const ZEL_CalSpec* desc,
                                          const double* short_re, const double* short_im,
                                          const double* open_re, const double* open_im,
                                          const double* load_re, const double* load_im) {
  const zel::CallLock lock;
  zel::EnterFrame();
  if (desc == nullptr) {
    state.frame.StatusCode = ZEL_ERR_CAL_SPEC;
  } else if (desc->from_mode0 != 0 && state.ident.Rgen == 0) {
    // Mode-0 values lack the bridge's source resistance, which only the identification knows.
    state.frame.StatusCode = ZEL_ERR_CAL_SPEC;
  } else {
    // The host learns neither the unit's identification text nor the maximum frequency through
    // the C interface, nor the UHF segment table; it may leave them to the identification.
    ZEL_CalSpec filled = *desc;
    if (filled.unit_id == nullptr) filled.unit_id = state.ident.UnitIdText;
    if (filled.max_freq_mhz == 0) filled.max_freq_mhz = state.synth.MaxFreqMHz;
    if (filled.uhf != 0 && filled.seg_start_mhz == nullptr && filled.seg_mults == nullptr) {
      const auto& s = state.synth;
      filled.segment_count = zel::kSegCount;
      filled.seg_start_mhz = s.SegStartMHz;
      filled.seg_mults = s.SegMults;
      filled.band_edge1_mhz = s.BandEdge1MHz;
      filled.band_edge2_mhz = s.BandEdge2MHz;
      filled.dds1_level = s.Dds1Level;
    }
    const double offset = desc->from_mode0 != 0 ? state.ident.Rgen : 0;
    state.frame.StatusCode = zel::WriteCalFile(
        path, filled, {short_re, short_im, open_re, open_im, load_re, load_im}, offset);
  }
  return zel::LeaveFrame();
}

}  // extern "C"
