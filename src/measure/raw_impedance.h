#pragma once

namespace zel {

// Amplitude and phase of the fundamental of DemodSamples. Writes DemodAmplitude, Phase.
void CalcMagPhase();
// Rs, Xs from MagLoad, MagRef, PhaseLoad, PhaseRef, Rref, Rgen; raises TestFreqMHz to 0.0001.
void CalcRawImped();

}  // namespace zel
