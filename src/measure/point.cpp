// One measured point.
//
// Close to whole multiples of a quarter of the reference clock (StepGridMHz) the instrument does
// not measure cleanly. A point that lies closer than FreqOffset to such a
// grid frequency is therefore measured twice, FreqOffset below and FreqOffset above the grid
// frequency, and the detector values are interpolated linearly to where the point lies. Held
// frequencies (ZEL_ConstantFreq) are never stepped: the generator must stay where it was put.

#include "measure/point.h"

#include <cmath>

#include "ZEL_863_DLL.h"
#include "measure/correction.h"
#include "measure/raw_impedance.h"
#include "state/state.h"
#include "synth/dds.h"
#include "synth/mult_table.h"

namespace zel {

namespace {

// Zone half-width around a grid frequency: wider in the upper range.
constexpr double kWideZoneAboveMHz = 497.27;
constexpr double kWideZoneMHz = 0.05;
constexpr double kNarrowZoneAboveMHz = 30.24;
constexpr double kNarrowZoneMHz = 0.02;
// Below kNarrowZoneAboveMHz no point is stepped; up to kAlwaysStepAboveMHz only scanned ones.
constexpr double kAlwaysStepAboveMHz = 245;

constexpr int kModeUncorrected = 2;
constexpr int kBlockSamples = 16;
constexpr int kRefBlockStart = 16;
// Amplitudes are floored: the load one to keep the impedance finite, the reference one because
// below it there is no usable reference signal at all.
constexpr double kMinMagLoad = 1;
constexpr double kMinMagRef = 50;

// The two substitute frequencies are only 2 * FreqOffset apart, so the detector phase moves
// little between them; but a phase near +-PI may come out on the other side of the cut at the
// upper one. Taken as it stands, the interpolation would then land anywhere between -PI and PI.
// The upper phase is taken on the turn nearest the lower one; where no cut lies between them
// this changes nothing.
double NearestTurn(double phase, double reference) {
  const double two_pi = 2 * state.measure.PI;
  if (!std::isfinite(phase) || !std::isfinite(reference)) return phase;
  while (phase - reference > state.measure.PI) phase -= two_pi;
  while (phase - reference < -state.measure.PI) phase += two_pi;
  return phase;
}

void ComputeResults(int mode) {
  CalcRawImped();
  if (mode == kModeUncorrected) {
    state.measure.CorR = state.measure.Rs;
    state.measure.CorX = state.measure.Xs;
  } else {
    ApplyCor();
  }
}

}  // namespace

void MeasurePoint(int mode) {
  auto& s = state.synth;
  auto& m = state.measure;
  const double requested = s.TestFreqMHz;
  const std::int32_t scan_index = m.ScanIndex;

  if (s.TestFreqMHz > kWideZoneAboveMHz) {
    m.FreqOffset = kWideZoneMHz;
  } else if (s.TestFreqMHz > kNarrowZoneAboveMHz) {
    m.FreqOffset = kNarrowZoneMHz;
  }
  SelectMults();

  bool stepped = false;
  float ratio = 0;
  if ((m.ScanRunning > 0 && s.TestFreqMHz > kNarrowZoneAboveMHz) ||
      s.TestFreqMHz > kAlwaysStepAboveMHz) {
    const double k = std::floor(s.TestFreqMHz / m.StepGridMHz + 0.5);
    const double d = s.TestFreqMHz - k * m.StepGridMHz;
    if (std::fabs(d) < m.FreqOffset && state.frame.ConstantFreqActive == 0) {
      ratio = static_cast<float>((m.FreqOffset + d) / (2 * m.FreqOffset));
      s.TestFreqMHz = k * m.StepGridMHz - m.FreqOffset;
      stepped = true;
    }
  }
  SelectGain();
  ProgramDds();
  DecodeDetectors();
  ComputeResults(mode);

  if (stepped) {
    const double lower_mag_load = m.MagLoad;
    const double lower_mag_ref = m.MagRef;
    const double lower_phase_load = m.PhaseLoad;
    const double lower_phase_ref = m.PhaseRef;
    s.TestFreqMHz = s.TestFreqMHz + 2 * m.FreqOffset;
    ProgramDds();
    DecodeDetectors();
    m.MagLoad = (m.MagLoad - lower_mag_load) * ratio + lower_mag_load;
    m.MagRef = (m.MagRef - lower_mag_ref) * ratio + lower_mag_ref;
    m.PhaseLoad =
        (NearestTurn(m.PhaseLoad, lower_phase_load) - lower_phase_load) * ratio + lower_phase_load;
    m.PhaseRef =
        (NearestTurn(m.PhaseRef, lower_phase_ref) - lower_phase_ref) * ratio + lower_phase_ref;
    ComputeResults(mode);
  }

  s.TestFreqMHz = requested;
  m.ScanIndex = scan_index;
}

void DecodeDetectors() {
  auto& m = state.measure;
  const auto& words = state.link.RxWords;
  // A record that failed its checks leaves the values of the last good one in place.
  if (state.link.DataValid == 0) return;
  for (int i = 0; i < kBlockSamples; ++i) m.DemodSamples[i] = words[i];
  CalcMagPhase();
  m.MagLoad = m.DemodAmplitude < kMinMagLoad ? kMinMagLoad : m.DemodAmplitude;
  m.PhaseLoad = m.Phase;
  for (int i = 0; i < kBlockSamples; ++i) m.DemodSamples[i] = words[kRefBlockStart + i];
  CalcMagPhase();
  m.MagRef = m.DemodAmplitude;
  if (m.MagRef < kMinMagRef) {
    m.MagRef = kMinMagRef;
    state.frame.StatusCode = ZEL_ERR_NO_REFERENCE;
  }
  m.PhaseRef = m.Phase;
}

}  // namespace zel
