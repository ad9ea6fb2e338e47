#pragma once

namespace zel {

// Frequency command for TestFreqMHz and its detector record. Reads the synth state, UhfModel,
// DfOption, ScanRunning, AvgCount; writes RxBytes/RxWords through the record reader,
// StatusCode ZEL_ERR_IMAGE_ZONE; below 0.05 MHz raises the averaging for the command and sets it
// back, keeping a failure of the point; TestFreqMHz is as it was afterwards.
void ProgramDds();
// "M" + level word (UHF only). Writes Dds1Level or Dds2Level.
void SetDdsLevel(double level);

}  // namespace zel
