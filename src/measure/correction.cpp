// Calibration correction.
//
// The bridge measures the whole arm, Zm = (Rs + Rgen) + jXs, through an error network that the
// three standards describe at each calibration frequency: S (the short), O (the open) and the load
// factor K = Rcal (O - L) / (L - S). The device is then Z = K (Zm - S) / (O - Zm), which gives 0 on
// the short, Rcal on the resistor and grows without bound towards the open.
//
// S, O and K are interpolated at the point's frequency: linearly on the 1 MHz grid of a standard
// calibration, by a parabola through three entries on a custom grid. The UHF model changes its
// synthesizer multipliers at band edges, and the error network jumps there, so the entries used
// never straddle a band change: the pair or triple moves to the side of the point and the value is
// extrapolated.
//
// Lookups never leave the tables. A standard point past either end of the table is extrapolated
// linearly from the end pair (the first two or the last two entries); a frequency that is not a
// number gives a correction that is not a number, which the guards below turn into 99999 or
// 0.00001 ohms and 0.001 ohms. A whole MHz outside the multiplier map counts as the band of the
// map's nearest entry (below 0 MHz the band of 0 MHz). A custom point outside the table, a grid
// with a step of 0 among them, fails with ZEL_ERR_CAL_RANGE and returns its uncorrected Rs and Xs.

#include "measure/correction.h"

#include <cmath>
#include <cstdint>

#include "ZEL_863_DLL.h"
#include "instrument/relay.h"
#include "state/state.h"

namespace zel {

namespace {

// A corrected resistance below 0 is an open-like point when the load detector sees little signal
// and a short-like point otherwise.
constexpr double kWeakLoadSignal = 1000;
constexpr double kOpenLikeOhms = 99999;
constexpr double kShortLikeOhms = 0.00001;
// Results are never exactly 0: the host programs divide by them.
constexpr double kZeroReactanceOhms = 0.001;
constexpr double kZeroResistanceOhms = 0.01;

constexpr int kRelayOff = 0;

struct Interpolated {
  double k_re, k_im, s_re, s_im, o_re, o_im;
};

// The multiplier code of a whole MHz, read at the nearest entry of the map.
std::int32_t BandCode(double mhz) {
  const double f = std::floor(mhz);
  if (!(f >= 0)) return state.synth.MultsByMHz[0];
  if (f >= kMultTableSize - 1) return state.synth.MultsByMHz[kMultTableSize - 1];
  return state.synth.MultsByMHz[static_cast<int>(f)];
}

// Entries in the tables, at most what they hold.
int TableEntries() {
  const std::int32_t n = state.cal.NumCalPoints;
  return n < 0 ? 0 : (n > kCalTableSize ? kCalTableSize : n);
}

Interpolated StandardLookup(double f) {
  const auto& c = state.cal;
  double fn = std::floor(f);
  double d = f - fn;
  if (BandCode(fn) != BandCode(fn + 1)) {
    fn -= 1;
    d += 1;
  }
  // The pair (n, n + 1) stays inside the table; a point beyond it is extrapolated from the end
  // pair. Tables that hold fewer than two entries (nothing loaded) read the first two, zeros.
  int last_pair = TableEntries() - 2;
  if (last_pair < 0) last_pair = 0;
  int n = 0;
  if (fn > last_pair) {
    n = last_pair;
    d = f - n;
  } else if (fn >= 0) {
    n = static_cast<int>(fn);
  } else {
    d = f;  // NaN stays NaN
  }
  auto lin = [&](const double* y) { return y[n] + (y[n + 1] - y[n]) * d; };
  return {lin(c.CalLoadRe),  lin(c.CalLoadIm), lin(c.CalShortRe),
          lin(c.CalShortIm), lin(c.CalOpenRe), lin(c.CalOpenIm)};
}

// False when the three entries around f are not all in the table.
bool CustomLookup(double f, Interpolated* out) {
  const auto& c = state.cal;
  const double start = c.CustStartMHz;
  const double step = c.CustStepMHz;
  double k = std::floor((f - start) / step);
  const double f0 = start + k * step;
  double d = f - f0;
  if (BandCode(f0 - step) != BandCode(f0)) {
    k += 1;
    d -= step;
  } else if (BandCode(f0) != BandCode(f0 + step)) {
    k -= 1;
    d += step;
  }
  const double ndx = k + 2;
  // Comparisons with a value that is not a number are false, so such an index fails here too.
  if (!(ndx >= 1 && ndx <= TableEntries() - 2)) return false;
  const int i = static_cast<int>(ndx);
  const double u = d / step;
  auto parabola = [&](const double* y) {
    const double a = 0.5 * (y[i - 1] - 2 * y[i] + y[i + 1]);
    const double b = 0.5 * (y[i + 1] - y[i - 1]);
    return (a * u + b) * u + y[i];
  };
  *out = {parabola(c.CalLoadRe),  parabola(c.CalLoadIm), parabola(c.CalShortRe),
          parabola(c.CalShortIm), parabola(c.CalOpenRe), parabola(c.CalOpenIm)};
  return true;
}

}  // namespace

void ApplyCor() {
  auto& m = state.measure;
  const double f = state.synth.TestFreqMHz;
  Interpolated t{};
  if (state.cal.CustomCal == 0) {
    t = StandardLookup(f);
  } else if (!CustomLookup(f, &t)) {
    ProgramRelay(kRelayOff);
    state.frame.StatusCode = ZEL_ERR_CAL_RANGE;
    m.ScanRunning = 0;
    m.CorR = m.Rs;
    m.CorX = m.Xs;
    return;
  }

  const double rgen = state.ident.Rgen;
  const double a_re = (m.Rs - t.s_re) + rgen;
  const double a_im = m.Xs - t.s_im;
  const double b_re = (t.o_re - m.Rs) - rgen;
  const double b_im = t.o_im - m.Xs;
  const double n_re = t.k_re * a_re - t.k_im * a_im;
  const double n_im = t.k_im * a_re + t.k_re * a_im;
  const double d = b_re * b_re + b_im * b_im;
  m.CorR = (n_re * b_re + n_im * b_im) / d;
  m.CorX = (n_im * b_re - n_re * b_im) / d;

  // A resistance that is not a number counts as negative; +infinity stays.
  if (!(m.CorR >= 0)) m.CorR = m.MagLoad < kWeakLoadSignal ? kOpenLikeOhms : kShortLikeOhms;
  if (m.CorX == 0 || std::isnan(m.CorX)) m.CorX = kZeroReactanceOhms;
  if (m.CorR == 0) m.CorR = kZeroResistanceOhms;
}

}  // namespace zel
