#pragma once

namespace zel {

// Frequency command for TestFreqMHz and its detector record. Reads the synth state, UhfModel,
// DfOption, ScanRunning, AvgCount; writes RxBytes/RxWords through the record reader,
// StatusCode ZEL_ERR_IMAGE_ZONE; below 0.05 MHz raises the averaging for the command and sets it back, keeping
// a failure of the point; TestFreqMHz is as it was afterwards.
void ProgramDds();
// Settling code and UHF multipliers for TestFreqMHz. Writes Settling, SignalMult, OffsetMult,
// LastMultCode; may clear ScanRunning and set StatusCode ZEL_ERR_MULT_CODE.
void SelectMults();
// Gain band for TestFreqMHz. Reads BandEdge1MHz, BandEdge2MHz, FirmwareVersion100; writes Gain.
void SelectGain();
// UHF default segment table and its expansion. Reads UhfModel, XtalOsc; writes SegStartMHz,
// SegMults, MultsByMHz, FreqOffset, Gain.
void BuildMultTable();
// MultsByMHz from SegStartMHz and SegMults. Reads MaxFreqMHz.
void ExpandMultTable();
// "M" + level word (UHF only). Writes Dds1Level or Dds2Level.
void SetDdsLevel(double level);

}  // namespace zel
