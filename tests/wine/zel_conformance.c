/* zel_conformance: a Windows host that loads ZEL_863_DLL.dll at run time, as third-party hosts
 * do, and drives every export against simulated instruments on COM ports.
 *
 *   zel_conformance.exe [DLL [CALFILE [CALFILE2]]]
 *
 * The ports (set up by run_wine_tests.sh; see there):
 *   COM1  standard model, device 75 + j20 ohms      COM2  low-range model, device 75 + j20 ohms
 *   COM3  low-range model, short standard           COM4  low-range model, open standard
 *   COM5  low-range model, 50-ohm load standard     COM7  high-power model, 12.5 V, 95 F
 *   COM8  standard model that never answers         COM9  no device at all
 *   COM12 UHF model (two digits: the \\.\ device namespace)
 *
 * Prints one "PASS name" or "FAIL name: why" line per check and ends with "N passed, N failed";
 * the exit code is 0 only when nothing failed. */
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "ZEL_863_DLL.h"

typedef int32_t(ZEL_CALL* InitVarsFn)(int32_t);
typedef int32_t(ZEL_CALL* SyncFn)(int32_t);
typedef int32_t(ZEL_CALL* ScanPointFn)(int32_t, double, double*, double*);
typedef int32_t(ZEL_CALL* AvgReadingsFn)(int32_t);
typedef int32_t(ZEL_CALL* CommPortFn)(int32_t, int32_t, int32_t);
typedef int32_t(ZEL_CALL* LoadCalFileFn)(const char*);
typedef int32_t(ZEL_CALL* ProgRelayFn)(int32_t);
typedef int32_t(ZEL_CALL* ConstantFreqFn)(int32_t, double);
typedef char*(ZEL_CALL* GetVersionFn)(int32_t);
typedef int32_t(ZEL_CALL* GetSerialNumFn)(int32_t);
typedef int64_t(ZEL_CALL* GetRFVoltageFn)(int32_t);
typedef int64_t(ZEL_CALL* GetTemperatureFn)(int32_t);
typedef void(ZEL_CALL* SetNoticeHandlerFn)(ZEL_NoticeHandler);
typedef int32_t(ZEL_CALL* WriteCalFileFn)(const char*, const ZEL_CalSpec*, const double*,
                                          const double*, const double*, const double*,
                                          const double*, const double*);
typedef const char*(ZEL_CALL* StatusTextFn)(int32_t);
typedef int32_t(ZEL_CALL* GetUnitInfoFn)(ZEL_UnitInfo*);
typedef const char*(ZEL_CALL* LibraryVersionFn)(void);

static struct {
  InitVarsFn InitVars;
  SyncFn Sync;
  ScanPointFn ScanPoint;
  AvgReadingsFn AvgReadings;
  CommPortFn CommPort;
  LoadCalFileFn LoadCalFile;
  ProgRelayFn ProgRelay;
  ConstantFreqFn ConstantFreq;
  GetVersionFn GetVersion;
  GetSerialNumFn GetSerialNum;
  GetRFVoltageFn GetRFVoltage;
  GetTemperatureFn GetTemperature;
  SetNoticeHandlerFn SetNoticeHandler;
  WriteCalFileFn WriteCalFile;
  StatusTextFn StatusText;
  GetUnitInfoFn GetUnitInfo;
  LibraryVersionFn LibraryVersion;
} zel;

enum {
  kStandardPort = 1,
  kLowRangePort = 2,
  kShortPort = 3,
  kOpenPort = 4,
  kLoadPort = 5,
  kPowerPort = 7,
  kSilentPort = 8,
  kAbsentPort = 9,
  kUhfPort = 12
};

/* The simulated device under test on COM1 and COM2, and the load standard on COM5. */
static const double kDutR = 75.0, kDutX = 20.0, kRcal = 50.0;
/* What the high-power model's sensors are set to by the runner. */
static const double kPowerVolts = 12.5, kPowerTempF = 95.0;
/* A detector record times out after 2000 empty reads of at least 1 ms each; an open that fails
 * still waits 100 ms. */
static const DWORD kRecordTimeoutMs = 2000, kOpenSettleMs = 100;
/* A time-out that takes far longer than its reads add up to would hang a host's sweep. */
static const DWORD kTimeoutCeilingMs = 20000;

static int g_passed, g_failed;
static int g_notices;
static char g_last_notice[512];

static void Check(int ok, const char* name, const char* why_fmt, ...) {
  if (ok) {
    ++g_passed;
    printf("PASS %s\n", name);
  } else {
    va_list ap;
    ++g_failed;
    printf("FAIL %s: ", name);
    va_start(ap, why_fmt);
    vprintf(why_fmt, ap);
    va_end(ap);
    printf("\n");
  }
  fflush(stdout);
}

static int Near(double v, double want, double tol) {
  return isfinite(v) && fabs(v - want) <= tol;
}

/* Notices arrive through the handler instead of a message box, which a headless Wine could not
 * show; a Yes/No question is answered No. */
static int RecordNotice(const char* title, const char* text, int yes_no) {
  ++g_notices;
  _snprintf(g_last_notice, sizeof g_last_notice - 1, "[%s] %s (yes/no %d)", title ? title : "",
            text ? text : "", yes_no);
  return 0;
}

static int LoadExports(const char* dll) {
  struct {
    const char* name;
    FARPROC* slot;
  } names[] = {
      {"ZEL_InitVars", (FARPROC*)&zel.InitVars},
      {"ZEL_Sync", (FARPROC*)&zel.Sync},
      {"ZEL_ScanPoint", (FARPROC*)&zel.ScanPoint},
      {"ZEL_AvgReadings", (FARPROC*)&zel.AvgReadings},
      {"ZEL_CommPort", (FARPROC*)&zel.CommPort},
      {"ZEL_LoadCalFile", (FARPROC*)&zel.LoadCalFile},
      {"ZEL_ProgRelay", (FARPROC*)&zel.ProgRelay},
      {"ZEL_ConstantFreq", (FARPROC*)&zel.ConstantFreq},
      {"ZEL_GetVersion", (FARPROC*)&zel.GetVersion},
      {"ZEL_GetSerialNum", (FARPROC*)&zel.GetSerialNum},
      {"ZEL_GetRFVoltage", (FARPROC*)&zel.GetRFVoltage},
      {"ZEL_GetTemperature", (FARPROC*)&zel.GetTemperature},
      {"ZEL_SetNoticeHandler", (FARPROC*)&zel.SetNoticeHandler},
      {"ZEL_WriteCalFile", (FARPROC*)&zel.WriteCalFile},
      {"ZEL_StatusText", (FARPROC*)&zel.StatusText},
      {"ZEL_GetUnitInfo", (FARPROC*)&zel.GetUnitInfo},
      {"ZEL_LibraryVersion", (FARPROC*)&zel.LibraryVersion},
  };
  HMODULE lib = LoadLibraryA(dll);
  size_t i;
  int missing = 0;
  Check(lib != NULL, "dll.loads", "LoadLibraryA(%s) failed, error %lu", dll,
        (unsigned long)GetLastError());
  if (!lib) return 0;
  for (i = 0; i < sizeof names / sizeof names[0]; ++i) {
    *names[i].slot = GetProcAddress(lib, names[i].name);
    if (!*names[i].slot) {
      printf("  no export named %s\n", names[i].name);
      ++missing;
    }
  }
  Check(missing == 0, "dll.exports_by_plain_name", "%d of the exports missing", missing);
  return missing == 0;
}

/* Opens COMn and identifies the controller; returns the status of the open. */
static int32_t OpenAndIdentify(int port, int32_t rate, char* version, size_t size) {
  int32_t status = zel.CommPort(1, port, rate);
  char* v;
  zel.InitVars(0);
  v = zel.GetVersion(0);
  if (version) {
    strncpy(version, v ? v : "", size - 1);
    version[size - 1] = 0;
  }
  free(v); /* the DLL and this host share msvcrt.dll's heap */
  return status;
}

static void CheckPortAndFrames(void) {
  char version[256];
  char *a, *b;
  DWORD t0;
  int32_t status;
  double r = -12345, x = -12345;

  t0 = GetTickCount();
  status = zel.CommPort(1, kAbsentPort, 57600);
  Check(status == ZEL_ERR_PORT_OPEN && GetTickCount() - t0 + 16 >= kOpenSettleMs,
        "port.open_missing_device_fails_after_its_pause", "status %d after %lu ms", status,
        (unsigned long)(GetTickCount() - t0));

  /* Port 0 is raised to 1. */
  status = OpenAndIdentify(0, 57600, version, sizeof version);
  Check(status == 0 && strstr(version, "ver 5.12") && strstr(version, "fmax=180"),
        "ident.standard_on_com1_through_port_0", "status %d, version \"%s\"", status, version);
  Check(zel.GetSerialNum(0) == 12345, "ident.standard_serial_number", "serial %d",
        zel.GetSerialNum(0));
  {
    ZEL_UnitInfo info;
    status = zel.GetUnitInfo(&info);
    Check(status == 0 && info.identified == 1 && info.model == ZEL_MODEL_STANDARD &&
              info.serial_number == 12345 && info.max_freq_mhz == 180 &&
              strcmp(info.device, "COM1") == 0,
          "ident.unit_info_of_the_standard_model", "status %d, model %d, serial %d, device %s",
          status, info.model, info.serial_number, info.device);
  }
  Check(strcmp(zel.StatusText(ZEL_ERR_NO_RECORD),
               "no detector record from the instrument (time-out)") == 0,
        "api.status_text", "\"%s\"", zel.StatusText(ZEL_ERR_NO_RECORD));
  Check(strchr(zel.LibraryVersion(), '.') != NULL, "api.library_version", "\"%s\"",
        zel.LibraryVersion());
  a = zel.GetVersion(0);
  b = zel.GetVersion(0);
  Check(a && b && a != b && strcmp(a, b) == 0, "ident.version_is_a_new_block_every_call",
        "blocks %p %p", (void*)a, (void*)b);
  free(a);
  free(b);

  status = zel.ScanPoint(1, 10.0, &r, &x);
  Check(status == ZEL_ERR_NOT_CALIBRATED && r == -12345 && x == -12345,
        "scan.calibrated_point_refused_before_a_calibration", "status %d, outputs %g %g", status, r,
        x);
  status = zel.ScanPoint(0, 10.0, &r, &x);
  /* Uncorrected: the bridge's own errors are in it, but not by more than a few ohms. */
  Check(status == 0 && Near(r, kDutR, 0.15 * kDutR) && Near(x, kDutX, 0.15 * kDutR),
        "scan.raw_point", "status %d, R %g X %g", status, r, x);

  Check(zel.AvgReadings(16) == 0, "avg.set_16", "status not 0");
  status = zel.ScanPoint(0, 10.0, &r, &x);
  Check(status == 0 && Near(r, kDutR, 0.15 * kDutR), "avg.point_after_averaging_change",
        "status %d, R %g X %g", status, r, x);
  Check(zel.AvgReadings(1) == 0, "avg.set_1", "status not 0");

  Check(zel.Sync(1) == 0, "sync.accepted_by_a_controller_with_sync", "status not 0");
  status = zel.ScanPoint(0, 10.0, &r, &x);
  Check(status == 0, "sync.point_after_sync_pulse", "status %d", status);
  Check(zel.Sync(0) == 0, "sync.off", "status not 0");

  Check(zel.ProgRelay(0) == 0, "relay.off", "status not 0");
  Check(zel.ProgRelay(1) == 0, "relay.on", "status not 0");
  /* Far above the range: the generator runs at the model's maximum (the runner checks 180 MHz
   * on the wire). */
  Check(zel.ConstantFreq(1, 1e6) == 0, "relay.constant_frequency_on", "status not 0");
  Check(zel.ConstantFreq(0, 0) == 0, "relay.constant_frequency_off", "status not 0");

  Check(ZEL_BitsToDouble(zel.GetRFVoltage(0)) == ZEL_ERR_NO_RF_SENSOR,
        "sensors.standard_has_no_rf_voltage", "got %g", ZEL_BitsToDouble(zel.GetRFVoltage(0)));
  Check(ZEL_BitsToDouble(zel.GetTemperature(1)) == ZEL_ERR_NO_TEMP_SENSOR,
        "sensors.standard_has_no_temperature", "got %g", ZEL_BitsToDouble(zel.GetTemperature(1)));

  status = zel.CommPort(0, kStandardPort, 0);
  Check(status == 0, "port.close", "status %d", status);
  status = zel.CommPort(0, kStandardPort, 0);
  Check(status == ZEL_ERR_PORT_CLOSE, "port.second_close_fails", "status %d", status);

  /* The high-speed link: "C" at 57600, then the port reopened at 115000. A pseudo-terminal does
   * not keep the rate, so only the conversation after the switch is checked. */
  status = OpenAndIdentify(kStandardPort, 115200, version, sizeof version);
  Check(status == 0 && strstr(version, "ver 5.12"), "port.high_speed_link_identifies",
        "status %d, version \"%s\"", status, version);
  status = zel.ScanPoint(0, 10.0, &r, &x);
  Check(status == 0 && Near(r, kDutR, 0.15 * kDutR), "port.high_speed_link_measures",
        "status %d, R %g X %g", status, r, x);
  zel.CommPort(0, kStandardPort, 0);
}

static int g_app_messages;

static LRESULT CALLBACK CountingWindow(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_APP) ++g_app_messages;
  return DefWindowProcA(hwnd, msg, wp, lp);
}

/* The library's pauses hand the host thread's window messages on, so a host window stays alive
 * during a call; a request to end the message loop stays for the host's own loop. */
static void CheckMessagePump(void) {
  WNDCLASSA wc;
  HWND hwnd;
  MSG msg;
  DWORD t0, ms;
  int32_t status;
  memset(&wc, 0, sizeof wc);
  wc.lpfnWndProc = CountingWindow;
  wc.hInstance = GetModuleHandleA(NULL);
  wc.lpszClassName = "ZelConformanceWindow";
  RegisterClassA(&wc);
  hwnd = CreateWindowA(wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, wc.hInstance, NULL);
  Check(hwnd != NULL, "pump.window_created", "error %lu", (unsigned long)GetLastError());
  if (!hwnd) return;

  PostMessageA(hwnd, WM_APP, 0, 0);
  t0 = GetTickCount();
  status = zel.CommPort(1, kStandardPort, 57600);
  ms = GetTickCount() - t0;
  Check(status == 0 && g_app_messages == 1, "pump.messages_dispatched_during_the_open_pause",
        "status %d, %d messages dispatched", status, g_app_messages);
  /* 100 ms for the line to settle and 50 ms after "D0"; the tick counter may step by 16 ms. */
  Check(ms + 16 >= kOpenSettleMs + 50, "pump.open_waits_its_pauses", "%lu ms", (unsigned long)ms);

  PostQuitMessage(7);
  status = zel.CommPort(0, kStandardPort, 0);
  Check(status == 0 && PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE) && msg.wParam == 7,
        "pump.quit_request_left_for_the_host", "status %d", status);
  DestroyWindow(hwnd);
}

static void CheckModels(void) {
  static const struct {
    int port;
    const char* name;
    const char* version_part;
    int serial; /* 0: the unit id comes from the flash date code, not fixed */
    double point_mhz;
  } models[] = {
      {kLowRangePort, "lowrange", "ver 4.85", 0, 10.0},
      {kUhfPort, "uhf", "ver 6.30", 0, 700.0}, /* the two-synthesizer command */
      {kPowerPort, "power", "ver 5.40", 23456, 50.3},
  };
  size_t i;
  char name[64], version[256];
  for (i = 0; i < sizeof models / sizeof models[0]; ++i) {
    int32_t status = OpenAndIdentify(models[i].port, 57600, version, sizeof version);
    int serial = zel.GetSerialNum(0);
    sprintf(name, "ident.%s_on_com%d", models[i].name, models[i].port);
    Check(status == 0 && strstr(version, models[i].version_part), name, "status %d, version \"%s\"",
          status, version);
    sprintf(name, "ident.%s_serial_number", models[i].name);
    Check(models[i].serial ? serial == models[i].serial : serial != 6 && serial > 0, name,
          "serial %d", serial);
    {
      double r = 0, x = 0;
      status = zel.ScanPoint(0, models[i].point_mhz, &r, &x);
      sprintf(name, "scan.%s_raw_point_%gMHz", models[i].name, models[i].point_mhz);
      /* Raw values carry the bridge's errors, which grow with frequency: only plausible. */
      Check(status == 0 && isfinite(r) && isfinite(x) && r > 0, name, "status %d, R %g X %g",
            status, r, x);
    }
    if (models[i].port == kUhfPort) {
      double f = ZEL_BitsToDouble(zel.GetTemperature(1));
      /* The simulator's default 72 F; the reading's resolution is a fraction of a degree. */
      Check(Near(f, 72.0, 1.5), "sensors.uhf_temperature", "got %g F", f);
    }
    if (models[i].port == kPowerPort) {
      double v = ZEL_BitsToDouble(zel.GetRFVoltage(0));
      double f = ZEL_BitsToDouble(zel.GetTemperature(1));
      double c = ZEL_BitsToDouble(zel.GetTemperature(0));
      Check(Near(v, kPowerVolts, 0.5), "sensors.power_rf_voltage", "got %g V", v);
      Check(Near(f, kPowerTempF, 1.5), "sensors.power_temperature_fahrenheit", "got %g F", f);
      Check(Near(c, (kPowerTempF - 32) * 5 / 9, 1.0), "sensors.power_temperature_celsius",
            "got %g C", c);
    }
    zel.CommPort(0, models[i].port, 0);
  }
}

/* Measures the raw impedance of the standard on a port at every point of the standard grid. */
static int MeasureStandard(int port, int points, double min_mhz, double* re, double* im) {
  int i, bad = 0;
  OpenAndIdentify(port, 57600, NULL, 0);
  for (i = 0; i < points; ++i) {
    double f = i == 0 ? min_mhz : (double)i;
    if (zel.ScanPoint(0, f, &re[i], &im[i]) != 0) ++bad;
  }
  zel.CommPort(0, port, 0);
  return bad;
}

/* The whole calibration round on Windows: the three standards measured raw, the file written
 * by the DLL, loaded back and used on an unknown device. */
static void CheckCalibration(const char* cal_path, const char* other_path) {
  enum { kLowRangeMaxMHz = 32, kPoints = kLowRangeMaxMHz + 3 };
  static const double kMinMHz = 0.1; /* the low-range model's lowest frequency */
  double sr[kPoints], si[kPoints], orr[kPoints], oi[kPoints], lr[kPoints], li[kPoints];
  static const double freqs[] = {1.0, 7.1, 14.2, 21.3, 29.9};
  ZEL_CalSpec desc;
  char version[256];
  int bad, notices;
  int32_t status;
  size_t i;
  FILE* f;

  bad = MeasureStandard(kShortPort, kPoints, kMinMHz, sr, si);
  bad += MeasureStandard(kOpenPort, kPoints, kMinMHz, orr, oi);
  bad += MeasureStandard(kLoadPort, kPoints, kMinMHz, lr, li);
  Check(bad == 0, "cal.standards_measured", "%d points failed", bad);

  /* The unit id and Rgen come from the identification of the instrument being calibrated. */
  OpenAndIdentify(kLowRangePort, 57600, version, sizeof version);
  memset(&desc, 0, sizeof desc);
  desc.rcal_ohms = kRcal;
  desc.max_freq_mhz = kLowRangeMaxMHz;
  desc.temperature_f = 72;
  desc.comment = "Wine conformance";
  desc.from_mode0 = 1;
  status = zel.WriteCalFile(cal_path, &desc, sr, si, orr, oi, lr, li);
  Check(status == 0, "cal.file_written", "status %d", status);

  /* Windows text mode would double every CR of the file's CR LF line ends. */
  f = fopen(cal_path, "rb");
  if (f) {
    int c, prev = -1, crlf = 0, lone = 0;
    while ((c = fgetc(f)) != EOF) {
      if (c == '\n') {
        if (prev == '\r')
          ++crlf;
        else
          ++lone;
      }
      if (prev == '\r' && c == '\r') ++lone;
      prev = c;
    }
    fclose(f);
    Check(crlf > kPoints && lone == 0, "cal.file_has_plain_crlf_line_ends",
          "%d CR LF, %d other line ends", crlf, lone);
  } else {
    Check(0, "cal.file_has_plain_crlf_line_ends", "cannot reopen %s", cal_path);
  }

  status = zel.LoadCalFile(cal_path);
  Check(status == 0, "cal.file_loads", "status %d", status);
  for (i = 0; i < sizeof freqs / sizeof freqs[0]; ++i) {
    double r = 0, x = 0;
    char name[64];
    status = zel.ScanPoint(1, freqs[i], &r, &x);
    sprintf(name, "cal.corrected_point_%gMHz", freqs[i]);
    /* The bridge's errors are gone; what is left is the simulator's noise. */
    Check(status == 0 && Near(r, kDutR, 1.0) && Near(x, kDutX, 1.0), name,
          "status %d, R %g X %g (device %g%+gj)", status, r, x, kDutR, kDutX);
  }
  {
    double r = -12345, x = -12345;
    status = zel.ScanPoint(2, 10.0, &r, &x);
    Check(status == 0 && r == -12345 && x == -12345, "scan.mode_2_measures_and_writes_nothing",
          "status %d, outputs %g %g", status, r, x);
  }
  zel.CommPort(0, kLowRangePort, 0);

  /* The file names the unit it was made on; another unit refuses it. */
  OpenAndIdentify(kStandardPort, 57600, NULL, 0);
  status = zel.LoadCalFile(cal_path);
  Check(status == ZEL_ERR_CAL_WRONG_UNIT, "cal.file_of_another_unit_refused", "status %d", status);

  /* A file without a unit id is taken by any unit, but one made for another frequency range is
   * refused with the notice that the library shows even during a call: it reaches the host's
   * handler instead of a message box. */
  desc.unit_id = "";
  status = zel.WriteCalFile(other_path, &desc, sr, si, orr, oi, lr, li);
  notices = g_notices;
  status = status ? status : zel.LoadCalFile(other_path);
  Check(status == ZEL_ERR_CAL_MAXFREQ, "cal.file_for_another_frequency_range_refused", "status %d",
        status);
  Check(g_notices == notices + 1 && strstr(g_last_notice, "34530"),
        "notices.reach_the_host_handler", "%d notices, last %s", g_notices - notices,
        g_last_notice);
  zel.CommPort(0, kStandardPort, 0);
}

static void CheckTimeouts(void) {
  char version[256];
  double r = -12345, x = -12345;
  int32_t status;
  DWORD t0, ms;

  /* An instrument that never answers: the port opens, nothing else works, and every wait ends. */
  t0 = GetTickCount();
  status = OpenAndIdentify(kSilentPort, 57600, version, sizeof version);
  ms = GetTickCount() - t0;
  Check(status == 0 && strcmp(version, "34506") == 0 && ms < kTimeoutCeilingMs,
        "timeout.identification_of_a_silent_instrument", "status %d, version \"%s\", %lu ms",
        status, version, (unsigned long)ms);
  Check(zel.GetSerialNum(0) == 6, "timeout.serial_number_of_a_silent_instrument", "got %d",
        zel.GetSerialNum(0));
  Check(zel.Sync(1) == ZEL_ERR_NO_SYNC, "sync.refused_without_identified_sync_output",
        "status not %d", ZEL_ERR_NO_SYNC);

  t0 = GetTickCount();
  status = zel.ScanPoint(0, 10.0, &r, &x);
  ms = GetTickCount() - t0;
  /* Each empty read waits its millisecond, so the 2000 of them take at least 2 s. */
  Check(status == ZEL_ERR_NO_RECORD && ms + 16 >= kRecordTimeoutMs && ms < kTimeoutCeilingMs,
        "timeout.record_from_a_silent_instrument", "status %d after %lu ms", status,
        (unsigned long)ms);
  zel.CommPort(0, kSilentPort, 0);

  /* No port at all: the point's commands cannot be sent, and the call says so at once instead of
   * waiting for a record that cannot come. */
  zel.CommPort(1, kAbsentPort, 57600);
  r = x = -12345;
  t0 = GetTickCount();
  status = zel.ScanPoint(0, 10.0, &r, &x);
  ms = GetTickCount() - t0;
  Check(status == ZEL_ERR_NOT_SENT && ms < kRecordTimeoutMs / 4 && r == -12345 && x == -12345,
        "port.point_without_a_port_fails_at_once", "status %d after %lu ms, outputs %g %g", status,
        (unsigned long)ms, r, x);
  status = zel.ProgRelay(0);
  Check(status == ZEL_ERR_NOT_SENT, "port.relay_without_a_port_is_not_switched", "status %d",
        status);
}

int main(int argc, char** argv) {
  const char* dll = argc > 1 ? argv[1] : "ZEL_863_DLL.dll";
  const char* cal_path = argc > 2 ? argv[2] : "zel_conformance.cal";
  const char* other_path = argc > 3 ? argv[3] : "zel_conformance_any_unit.cal";
  if (LoadExports(dll)) {
    zel.SetNoticeHandler(RecordNotice);
    CheckPortAndFrames();
    CheckMessagePump();
    CheckModels();
    CheckCalibration(cal_path, other_path);
    CheckTimeouts();
    Check(g_notices == 1, "notices.no_others", "%d, last %s", g_notices, g_last_notice);
  }
  printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 && g_passed > 0 ? 0 : 1;
}
