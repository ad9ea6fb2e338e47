// Detector records and sensor replies: any byte stream from the instrument, any record format,
// any model flags and averaging, corrected points included.
//
// Input: flags, a second flag byte, two bytes of frequency code, the averaging count, then the
// instrument's bytes.
#include "fuzz_support.h"
#include "state/text.h"
#include "synth/mult_table.h"

namespace {

constexpr std::size_t kHeaderBytes = 5;
constexpr int kSteps = 8;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeaderBytes) return 0;
  const std::uint8_t flags = data[0];
  const std::uint8_t more = data[1];
  const std::uint16_t freq_code = static_cast<std::uint16_t>(data[2] << 8 | data[3]);
  const std::uint8_t avg = data[4];
  zelfuzz::StreamPlatform platform(data + kHeaderBytes, size - kHeaderBytes);
  zelfuzz::Installed installed(&platform);
  zelfuzz::FreshLibrary();
  auto& st = zel::state;
  st.link.ShortRecord = flags & 1;
  st.ident.PowerModel = (flags >> 1) & 1;
  st.ident.UhfModel = (flags >> 2) & 1;
  st.ident.HighAvgAllowed = (flags >> 3) & 1;
  st.ident.DfOption = (flags >> 4) & 1;
  st.link.SyncEnabled = (more >> 3) & 1;
  st.synth.DdsClockMHz = (flags & 0x20) ? 400 : 120;
  st.synth.MaxFreqMHz = st.ident.UhfModel ? 1000 : 180;
  st.ident.Rgen = 50.2;
  st.ident.Rref = 100.9;
  if (st.ident.UhfModel) {
    st.synth.XtalOsc = 50;
    st.measure.StepGridMHz = 12.5;
    zel::BuildMultTable();
  }
  // A calibration of zeros in place, so that corrected points run the correction on whatever
  // the records make of Rs and Xs. The tables are never written by this target.
  if (more & 1) {
    st.cal.CalLoaded = 1;
    st.cal.NumCalPoints = zel::RoundToInt(st.synth.MaxFreqMHz + 3);
    if (more & 2) {
      st.cal.CustomCal = 1;
      st.cal.CustStartMHz = 1;
      st.cal.CustStepMHz = 0.5;
    }
  }
  ZEL_AvgReadings(avg);
  const int scan_mode = (more >> 2) & 1;
  const double f = freq_code / 40.0;  // 0 .. 1638 MHz
  double r = 0, x = 0;
  // The calls in an order the flags choose, until the instrument's bytes are used up.
  for (int step = 0; step < kSteps && !platform.exhausted(); ++step) {
    switch ((flags + step) % kSteps) {
      case 0:
        ZEL_ScanPoint(scan_mode, f, &r, &x);
        break;
      case 1:
        ZEL_ConstantFreq(1, f);
        break;
      case 2:
        ZEL_GetRFVoltage(0);
        break;
      case 3:
        ZEL_GetTemperature(flags >> 7);
        break;
      case 4:
        ZEL_ProgRelay(step & 1);
        break;
      case 5:
        ZEL_ScanPoint(scan_mode, f + 0.01, &r, &x);
        break;
      case 6:
        ZEL_Sync(more >> 4 & 3);
        ZEL_ScanPoint(scan_mode, f * 0.5, &r, &x);
        break;
      case 7:
        ZEL_ConstantFreq(0, f);
        ZEL_AvgReadings(more >> 4);
        break;
    }
  }
  return 0;
}
