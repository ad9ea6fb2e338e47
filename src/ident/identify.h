#pragma once

#include <cstdint>

namespace zel {

// "V" and everything derived from the reply: model flags and parameters, record format, sync,
// UHF synthesizer values, unit id. Reads IdentDelayMs; writes ControllerText, TextBuf,
// IdentReplyOk, the model flags, ShortRecord, SignalMult, OffsetMult, XtalOsc, StepGridMHz,
// FirmwareVersion100, DfOption, HighAvgAllowed, DeltaFreq, SyncEnabled, MinFreqMHz, PortStatus,
// DataValid, StatusCode (0, 27, 29 or 121).
void IdentifyController();
// The model table. Reads the model flags; writes MaxFreqMHz, NominalMaxFreqMHz, MinFreqMHz,
// DdsClockMHz, Rgen, Rref.
void ApplyModelParameters();
// UnitIdText, UnitIdAltText from ControllerText (serial number or build-time fallback).
void ParseUnitId();
// Date code at flash 4096: read, and program when missing. Writes UnitIdText, UnitIdAltText,
// PortStatus, StatusCode (27, 29).
void ReadFlashId();
// "ZR": count words (1..16) at address into RxWords; StatusCode 27 when short.
void ReadFlashWords(int count, int address);
// "ZW": count words at address; StatusCode 29 unless answered "K".
void WriteFlashWords(int count, int address, const std::int32_t* words);

}  // namespace zel
