#pragma once

#include <cstdint>

namespace zel {

// "V" and everything derived from the reply: model flags and parameters, record format, sync,
// UHF synthesizer values, unit id. Reads IdentDelayMs; writes ControllerText, TextBuf,
// IdentReplyOk, the model flags, ShortRecord, SignalMult, OffsetMult, XtalOsc, StepGridMHz,
// FirmwareVersion100, DfOption, HighAvgAllowed, DeltaFreq, SyncEnabled, MinFreqMHz, PortStatus,
// DataValid. Overwrites StatusCode: 0, ZEL_ERR_NO_IDENT, or the flash date code's
// ZEL_ERR_FLASH_READ or ZEL_ERR_FLASH_WRITE.
void IdentifyController();
// The model the flags name: the last row of the model table whose flag is set (the row that
// ApplyModelParameters applied last). Code is one of the header's ZEL_MODEL_*; no flag gives
// ZEL_MODEL_UNKNOWN, "unknown". Reads the model flags.
struct ModelName {
  int Code;
  const char* Name;
};
ModelName IdentifiedModel();
// The model table. Reads the model flags; writes MaxFreqMHz, NominalMaxFreqMHz, MinFreqMHz,
// DdsClockMHz, Rgen, Rref.
void ApplyModelParameters();
// UnitIdText, UnitIdAltText from ControllerText (serial number or build-time fallback).
void ParseUnitId();
// The serial number a host is given: the number in the last six characters of UnitIdText.
std::int32_t UnitSerialNumber();
// Date code at flash 4096: read, and program when missing. Clears StatusCode first; writes
// UnitIdText, UnitIdAltText, PortStatus, FlashProgrammed, StatusCode (ZEL_ERR_FLASH_READ,
// ZEL_ERR_FLASH_WRITE).
void ReadFlashId();
// "ZR": count words (1..16) at address into RxWords. Overwrites StatusCode: 0, or
// ZEL_ERR_FLASH_READ when the reply is short.
void ReadFlashWords(int count, int address);
// "ZW": count words at address. Clears StatusCode first; ZEL_ERR_FLASH_WRITE unless answered "K".
void WriteFlashWords(int count, int address, const std::int32_t* words);

}  // namespace zel
