// The scan window a custom calibration load normalises: the interactive program keeps its graph's
// window beside the calibration and puts it back within the instrument's range whenever a custom
// calibration comes in. Nothing here reads a file.

#include "cal/scan_limits.h"

#include <cmath>
#include <string>

#include "platform/platform.h"
#include "state/state.h"
#include "state/text.h"

namespace zel {

namespace {

// The high-power model's range for the scan window rules.
constexpr double kPowerMinFreqMHz = 0.01;
constexpr double kPowerMaxFreqMHz = 170;
// The smallest usable window and step; a step outside these bounds becomes a hundredth of the
// window.
constexpr double kMinStepMHz = 1e-7;
constexpr double kMinSpanMHz = 0.0001;
constexpr double kMinSpanStepMHz = 2e-6;
constexpr int kMinScanPoints = 5;

}  // namespace

int NormaliseScanWindow(ScanLimits& w, bool power_model, int max_scan_points) {
  double start = std::fabs(w.StartMHz);
  double end = std::fabs(w.EndMHz);
  double step = std::fabs(w.StepMHz);
  if (power_model) {
    w.MinFreqMHz = kPowerMinFreqMHz;
    w.MaxFreqMHz = kPowerMaxFreqMHz;
  }
  int rule = 0;
  if (start < w.MinFreqMHz) start = w.MinFreqMHz, rule = 1;
  if (start > w.MaxFreqMHz) start = w.MaxFreqMHz - 1, rule = 2;
  if (end < w.MinFreqMHz) end = w.MinFreqMHz + 1, rule = 3;
  if (end > w.MaxFreqMHz) end = w.MaxFreqMHz, rule = 4;
  if (step < kMinStepMHz || step > w.MaxFreqMHz / 10) step = (end - start) * 0.01, rule = 5;
  if (end - start < kMinSpanMHz) end = start + kMinSpanMHz, step = kMinSpanStepMHz, rule = 6;
  w.StartMHz = start;
  w.EndMHz = end;
  w.StepMHz = step;

  // The window's end moves to the nearest round graph width at or above the span: a division
  // count times a 1-2-5 division width.
  static constexpr int kDivisions[] = {8, 10, 5, 12, 14, 15, 16, 18, 20};
  static constexpr double kWidths[] = {0.0001, 0.0002, 0.0005, 0.001, 0.002, 0.005, 0.01,
                                       0.02,   0.05,   0.1,    0.2,   0.5,   1,     2,
                                       5,      10,     20,     50,    100};
  const double span = w.EndMHz - w.StartMHz - 0.000001;
  double best = -1;
  double best_excess = 0;
  for (int divisions : kDivisions) {
    for (double width : kWidths) {
      const double product = divisions * width;
      const double excess = product - span;
      if (excess >= 0 && (best < 0 || excess < best_excess)) best = product, best_excess = excess;
    }
  }
  // A window wider than every graph width keeps its end.
  if (best >= 0) w.EndMHz = w.StartMHz + best;
  if (w.EndMHz > w.MaxFreqMHz) w.EndMHz = w.MaxFreqMHz;

  const double window = w.EndMHz - w.StartMHz;
  int points = RoundToInt((window + 0.0000001) / w.StepMHz + 1);
  if (points > max_scan_points - 1) {
    points = max_scan_points;
    w.StepMHz = window / (max_scan_points - 1);
  }
  if (points < kMinScanPoints) w.StepMHz = window / (kMinScanPoints - 1);
  return rule;
}

void ShowScanLimitNotice(int rule) {
  const std::string title = " Scan Limit Error " + NumberText(rule, 0);
  platform::ShowNotice(title.c_str(),
                       "A scan limit error was found.\r\n"
                       "Be sure the proper scan limits are set and\r\n"
                       "the correct cal file and config file are loaded.",
                       platform::kNoticeTopmost);
}

void CheckScanLimits() {
  auto& m = state.measure;
  auto& s = state.synth;
  ScanLimits w{m.ScanStartMHz, m.ScanEndMHz, m.ScanStepMHz, s.MinFreqMHz, s.MaxFreqMHz};
  const int rule = NormaliseScanWindow(w, state.ident.PowerModel != 0, m.MaxScanPoints);
  if (rule != 0) ShowScanLimitNotice(rule);
  m.ScanStartMHz = w.StartMHz;
  m.ScanEndMHz = w.EndMHz;
  m.ScanStepMHz = w.StepMHz;
  s.MinFreqMHz = w.MinFreqMHz;
  s.MaxFreqMHz = w.MaxFreqMHz;
}

}  // namespace zel
