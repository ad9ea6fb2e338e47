#pragma once

namespace zel {

// Loads CalFilePath: the checks, the UHF section, the three tables and the load factor, all or
// nothing. Clears StatusCode first. Reads MaxFreqMHz, UnitIdText, UnitIdAltText, UhfModel,
// PowerModel, InExportCall; writes StatusCode and CalLoaded, and only for an accepted file the
// calibration state, MinFreqMHz, MaxFreqMHz (high-power model), the scan window and (UHF) the
// segments, MultsByMHz, the band edges and Dds1Level with its "M" command.
void ReadCalFile();
// Rewrites CalLoad as the load factor from CalShort, CalOpen, CalLoad and Rcal over
// NumCalPoints entries (never more than the tables hold).
void CalcLoadFactor();

}  // namespace zel
