// The process-wide state of the library. Every variable lives as long as the library is loaded and
// is 0 (numbers) or empty (texts) until InitDefaults gives it its working default. Variables are
// grouped by the subsystem that owns them.
//
// A few variables are written and never read by the library (marked "kept, never read"): the
// interactive program that shares this engine reads them, and they keep the values it would find.
#pragma once

#include <cstdint>

#include "platform/port_handle.h"

namespace zel {

inline constexpr int kTextSize = 256;  // 255 characters and the NUL
inline constexpr int kRxSize = 72;
inline constexpr int kCalTableSize = 30032;
inline constexpr int kSegCount = 50;
inline constexpr int kMultTableSize = 2000;

struct FrameState {  // the exported frames
  std::int32_t StatusCode;
  std::int32_t InExportCall;
  std::int32_t LibraryMode;
  std::int32_t ConstantFreqActive;
  std::int32_t PointCounter;
  char TextBuf[kTextSize];
};

struct LinkState {  // port, exchange, relay and sync
  PortHandle CommHandle;
  std::int32_t PortNumber;
  std::int32_t BaudRate;
  std::int32_t HighSpeedComm;
  std::int32_t PortStatus;
  std::int32_t AutoPowerDown;  // kept, never read: the last "D" setting sent
  std::int32_t RxBytes[kRxSize];
  std::int32_t RxWords[kRxSize];
  std::int32_t DataValid;
  std::int32_t ShortRecord;
  std::int32_t RelayState;
  std::int32_t PrevRelayCode;
  std::int32_t RelayControl;
  std::int32_t LowCurrentMode;  // kept, never read
  std::int32_t SyncEnabled;
  std::int32_t SyncMode;
  std::int32_t SendFailed;  // a command of the running call did not go out; the frames clear it
};

struct SynthState {  // DDS programming
  double TestFreqMHz;
  double MinFreqMHz;
  double MaxFreqMHz;
  double FreqCompFactor;
  double TuningScale;
  double DdsClockMHz;
  double XtalOsc;
  std::int32_t SignalMult;
  std::int32_t OffsetMult;
  double DeltaFreq;
  std::int32_t Gain;
  std::int32_t Settling;
  std::int32_t LastMultCode;
  std::int32_t BandEdge1MHz;
  std::int32_t BandEdge2MHz;
  std::int32_t SegStartMHz[kSegCount];
  std::int32_t SegMults[kSegCount];
  std::int32_t MultsByMHz[kMultTableSize];
  double Dds1Level;
  double Dds2Level;  // kept, never read: the offset synthesizer's level last sent
};

struct MeasureState {      // point cycle, demodulation, correction, averaging
  std::int32_t ScanIndex;  // kept, never read: a point leaves it as it found it
  std::int32_t ScanRunning;
  double FreqOffset;
  double StepGridMHz;
  double ScanStartMHz;
  double ScanEndMHz;
  double ScanStepMHz;
  std::int32_t MaxScanPoints;  // largest number of scan points; nothing in the library sets it
  std::int32_t AvgCount;
  std::int32_t ReadingScale;
  double PI;
  double SinTable[16];
  double CosTable[16];
  double Sin2Table[16];  // kept, never read: the second and third harmonics' tables
  double Cos2Table[16];
  double Sin3Table[16];
  double Cos3Table[16];
  std::int32_t DemodSamples[16];
  double DemodAmplitude;
  double Phase;
  double MagLoad;
  double PhaseLoad;
  double MagRef;
  double PhaseRef;
  double Rs;
  double Xs;
  double CorR;
  double CorX;
};

struct CalState {  // calibration file and tables
  std::int32_t CalLoaded;
  char CalFilePath[kTextSize];
  char CalDate[kTextSize];     // kept, never read: the file's date
  char CalComment[kTextSize];  // kept, never read: the file's comment
  double CustStartMHz;
  double CustEndMHz;  // kept, never read: recorded in the file only
  double CustStepMHz;
  std::int32_t NumCalPoints;
  std::int32_t CustomCal;
  double Rcal;
  double CalTemperature;  // kept, never read
  double CalMaxFreqMHz;   // kept, never read
  double CalShortRe[kCalTableSize];
  double CalShortIm[kCalTableSize];
  double CalOpenRe[kCalTableSize];
  double CalOpenIm[kCalTableSize];
  double CalLoadRe[kCalTableSize];
  double CalLoadIm[kCalTableSize];
};

struct IdentState {  // identification, unit id, model constants, sensors
  std::int32_t LowRangeModel;
  std::int32_t StandardModel;
  std::int32_t UhfModel;
  std::int32_t PowerModel;
  std::int32_t HighAvgAllowed;
  std::int32_t FirmwareVersion100;
  std::int32_t DfOption;
  std::int32_t IdentDelayMs;
  std::int32_t IdentReplyOk;
  std::int32_t FlashProgrammed;  // the last identification programmed the flash date code
  char ControllerText[kTextSize];
  char UnitIdText[kTextSize];
  char UnitIdAltText[kTextSize];
  double NominalMaxFreqMHz;
  double Rgen;
  double Rref;
  double RFVolts;
  double TempF;
};

struct State {
  FrameState frame;
  LinkState link;
  SynthState synth;
  MeasureState measure;
  CalState cal;
  IdentState ident;
};

extern State state;

// Back to the load-time zeros (tests; a freshly loaded library starts there).
void ResetState();

}  // namespace zel
