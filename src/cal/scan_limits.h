#pragma once

namespace zel {

// The scan window and the frequency range its rules work on.
struct ScanLimits {
  double StartMHz;
  double EndMHz;
  double StepMHz;
  double MinFreqMHz;
  double MaxFreqMHz;
};

// The scan window normalisation and recomputation on a copy: the rules (on the high-power model
// after the range becomes 0.01 .. 170 MHz), the round graph width and the step. Returns the number
// of the last rule that fired, 0 when none did. Touches no state.
int NormaliseScanWindow(ScanLimits& w, bool power_model, int max_scan_points);
// The scan limit notice for a rule that fired (shown also during an exported call).
void ShowScanLimitNotice(int rule);
// The normalisation on the state, as a custom calibration load runs it. Reads MinFreqMHz,
// MaxFreqMHz, PowerModel, MaxScanPoints; writes ScanStartMHz, ScanEndMHz, ScanStepMHz (and
// MinFreqMHz, MaxFreqMHz on the high-power model); may show the scan limit notice.
void CheckScanLimits();

}  // namespace zel
