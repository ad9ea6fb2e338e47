// The per-point synthesizer settings of mult_table.cpp: the UHF multiplier table, the settling
// code and the gain band. They send nothing; ProgramDds (dds.h) sends what they chose.
#pragma once

namespace zel {

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

}  // namespace zel
