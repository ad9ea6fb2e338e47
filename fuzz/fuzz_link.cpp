// Detector records and sensor replies: any byte stream from the instrument, any record format,
// any model flags and averaging.
#include <cstring>

#include "fuzz_support.h"
#include "synth/dds.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint8_t flags = data[0];
  const std::uint16_t freq_code = static_cast<std::uint16_t>(data[1] << 8 | data[2]);
  const std::uint8_t avg = data[3];
  zelfuzz::StreamPeer peer(data + 4, size - 4);
  zel::platform::FakePlatform platform(&peer);
  zelfuzz::FreshLibrary(platform);
  auto& st = zel::state;
  st.link.ShortRecord = flags & 1;
  st.ident.PowerModel = (flags >> 1) & 1;
  st.ident.UhfModel = (flags >> 2) & 1;
  st.ident.HighAvgAllowed = (flags >> 3) & 1;
  st.ident.DfOption = (flags >> 4) & 1;
  st.synth.DdsClockMHz = (flags & 0x20) ? 400 : 120;
  st.ident.Rgen = 50.2;
  st.ident.Rref = 100.9;
  if (st.ident.UhfModel) {
    st.synth.XtalOsc = 50;
    zel::BuildMultTable();
  }
  ZEL_AvgReadings(avg);
  const double f = freq_code / 40.0;  // 0 .. 1638 MHz
  double r = 0, x = 0;
  // The calls in an order the flags choose, until the instrument's bytes are used up.
  for (int step = 0; step < 6 && !peer.exhausted(); ++step) {
    switch ((flags + step) % 6) {
      case 0:
        ZEL_ScanPoint(0, f, &r, &x);
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
        ZEL_ScanPoint(0, f + 0.01, &r, &x);
        break;
    }
  }
  zel::platform::Install(nullptr);
  return 0;
}
