#pragma once

namespace zel {

// One point at TestFreqMHz: multipliers, stepping around grid frequencies, frequency command,
// demodulation, raw impedance, correction (mode other than 2). Writes Rs, Xs, CorR, CorX, the
// detector values, FreqOffset; TestFreqMHz and ScanIndex are as they were afterwards.
void MeasurePoint(int mode);
// MagLoad, PhaseLoad, MagRef, PhaseRef from RxWords when DataValid; StatusCode
// ZEL_ERR_NO_REFERENCE.
void DecodeDetectors();

}  // namespace zel
