#include "state/defaults.h"

#include <cmath>

#include "state/state.h"
#include "state/text.h"

namespace zel {

void InitDefaults() {
  auto& f = state.frame;
  auto& l = state.link;
  auto& s = state.synth;
  auto& m = state.measure;
  auto& c = state.cal;
  auto& id = state.ident;

  f.InExportCall = 0;
  f.LibraryMode = 1;

  l.PortNumber = 1;
  l.BaudRate = 115000;  // a placeholder: every open starts at 57600
  l.HighSpeedComm = 0;
  l.AutoPowerDown = 0;
  l.RelayControl = 1;
  l.RelayState = 0;  // so the next point switches the relay to measurement first
  f.ConstantFreqActive = 0;
  l.LowCurrentMode = 0;
  l.SyncEnabled = 0;
  l.SyncMode = 0;

  // The identification results must be learned again.
  id.PowerModel = 0;
  id.HighAvgAllowed = 0;
  id.FirmwareVersion100 = 0;
  SetText(id.UnitIdText, "123456");
  SetText(id.UnitIdAltText, "123456");
  id.IdentDelayMs = 1000;

  s.MinFreqMHz = 0.002;
  s.MaxFreqMHz = 1000;
  m.ScanStartMHz = 5;
  s.TestFreqMHz = m.ScanStartMHz;
  s.XtalOsc = 20;
  m.StepGridMHz = s.XtalOsc / 4;
  s.FreqCompFactor = 1.0;
  s.TuningScale = 4294967296.0;
  s.Dds1Level = 100;
  s.Dds2Level = 100;
  s.SignalMult = 20;
  s.OffsetMult = s.SignalMult - 1;
  s.LastMultCode = 0;
  s.BandEdge1MHz = 515;
  s.BandEdge2MHz = 1150;

  m.AvgCount = 4;  // nothing is sent: the count reaches the instrument with the next relay change
  m.ReadingScale = 4;
  m.ScanIndex = 0;
  m.ScanRunning = 0;
  m.PI = 3.141592654;

  c.CalLoaded = 0;
  c.CalDate[0] = '\0';
  c.CalComment[0] = '\0';
  c.CustStartMHz = 1;
  c.CustEndMHz = 20;
  c.CustStepMHz = 0.1;
  m.ScanEndMHz = 25;
  m.ScanStepMHz = 0.202;

  for (int i = 0; i < 16; ++i) {
    double a = 2 * m.PI * i / 16;
    m.SinTable[i] = std::sin(a);
    m.CosTable[i] = std::cos(a);
    m.Sin2Table[i] = std::sin(2 * a);
    m.Cos2Table[i] = std::cos(2 * a);
    m.Sin3Table[i] = std::sin(3 * a);
    m.Cos3Table[i] = std::cos(3 * a);
  }
}

}  // namespace zel
