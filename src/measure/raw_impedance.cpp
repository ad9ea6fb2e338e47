// From detector samples to the raw impedance of the bridge arm.
//
// Each detector block is 16 samples over exactly one period of the detector's IF signal, so one
// bin of a discrete Fourier transform gives its amplitude and phase, and any DC offset of the
// detector drops out. The load detector sees the voltage across the unknown, the reference
// detector the one across Rref; their amplitude ratio and phase difference give the impedance
// that the generator sees: Rgen in series with the load.

#include "measure/raw_impedance.h"

#include <cmath>

#include "state/state.h"

namespace zel {

namespace {

constexpr int kBlockSamples = 16;
// The phase of a block with no sine component. Kept at six decimals rather than pi/2 in full, so
// that results stay the same as this library has always given them.
constexpr double kQuarterTurn = 1.570796;
// An open bridge (no load signal at all) reads as this many ohms.
constexpr double kOpenCircuitOhms = 1000000;
// The lowest frequency the rest of the point (the correction) works with.
constexpr double kLowestFreqMHz = 0.0001;

}  // namespace

void CalcMagPhase() {
  auto& m = state.measure;
  double sin_sum = 0;
  double cos_sum = 0;
  for (int i = 0; i < kBlockSamples; ++i) {
    sin_sum += static_cast<double>(m.DemodSamples[i]) * m.SinTable[i];
    cos_sum += static_cast<double>(m.DemodSamples[i]) * m.CosTable[i];
  }
  sin_sum = 2 * sin_sum / kBlockSamples;
  cos_sum = 2 * cos_sum / kBlockSamples;
  m.DemodAmplitude = std::sqrt(sin_sum * sin_sum + cos_sum * cos_sum);
  if (sin_sum != 0) {
    m.Phase = std::atan(cos_sum / sin_sum);
  } else {
    m.Phase = cos_sum > 0 ? kQuarterTurn : -kQuarterTurn;
  }
  // atan gives the right half-plane only; the sign of the sine sum picks the half.
  if (sin_sum < 0) m.Phase = cos_sum > 0 ? m.Phase + m.PI : m.Phase - m.PI;
}

void CalcRawImped() {
  auto& m = state.measure;
  const auto& id = state.ident;
  double zmag = kOpenCircuitOhms;
  if (m.MagLoad != 0) zmag = id.Rref / (m.MagLoad / m.MagRef);
  const double phi = m.PhaseLoad - m.PhaseRef;
  m.Rs = zmag * std::cos(phi) - id.Rgen;
  m.Xs = zmag * std::sin(phi);
  if (state.synth.TestFreqMHz < kLowestFreqMHz) state.synth.TestFreqMHz = kLowestFreqMHz;
}

}  // namespace zel
