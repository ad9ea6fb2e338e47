/*
 * ZEL_863_DLL - control library of the ZEL vector impedance (antenna) analyzer.
 *
 * The analyzer hangs on a serial port. A host program opens the port, identifies the controller,
 * loads a short/open/load calibration and measures the series resistance and reactance of the
 * device under test one frequency at a time.
 *
 * Calling order:
 *   ZEL_CommPort(1, n, rate)   open COMn (a rate above 100000 selects the 115000-baud link)
 *   ZEL_InitVars(0)            every state variable to its default
 *   ZEL_GetVersion(0)          identify the controller (model, limits, bridge constants)
 *   ZEL_LoadCalFile(path)      required before ZEL_ScanPoint with mode 1
 *   ZEL_AvgReadings(n)         optional
 *   ZEL_ScanPoint(...)         once per frequency; ZEL_Sync, ZEL_ConstantFreq, ZEL_ProgRelay,
 *                              ZEL_GetRFVoltage, ZEL_GetTemperature as needed
 *   ZEL_CommPort(0, n, 0)      close the port
 *
 * Threads: every function (the twelve and the extensions) may be called from any thread; calls
 * run one at a time. One process-wide lock is held for the whole of each call, so a call made
 * while another thread's call runs waits until that one has returned (a ZEL_ScanPoint holds the
 * line for up to about 2 s), and each call's exchange with the instrument stays whole. The lock
 * is recursive: a notice handler (ZEL_SetNoticeHandler) may call back into the library on the
 * thread that runs it. All state is process-wide: one instrument per process.
 * Every call blocks the calling thread until the instrument has answered or the read has timed
 * out; the longest waits are about 2 s for a detector record (up to 5 attempts after bad
 * checksums), 5 s for the RF voltage, 1 s for the temperature and about 2.1 s for the
 * identification.
 *
 * Replies that come late: the line carries no sequence number, so before every command that has
 * a reply (a point's frequency command, the identification, a sensor or flash request) the
 * library drops whatever is still waiting on the line, and opening the port empties both
 * directions; this costs no time when nothing is waiting. A reply that arrives after its call
 * has timed out is therefore never read by a later call, with one exception the line cannot
 * reveal: a late reply that lands while the next call is already waiting for its own is taken
 * for it. The damage then ends at that one reading.
 *
 * Port mapping on Linux: COMn is the device named by the environment variable ZEL_COM<n>
 * (for example ZEL_COM3=/dev/ttyUSB0), else /dev/ttyS<n-1>. On Windows it is \\.\COMn.
 */
#ifndef ZEL_863_DLL_H
#define ZEL_863_DLL_H

#include <stdint.h>
#include <string.h>

#if defined(_WIN32)
#define ZEL_CALL __stdcall
#if defined(ZEL_BUILDING_LIBRARY)
#define ZEL_API __declspec(dllexport)
#else
#define ZEL_API __declspec(dllimport)
#endif
#else
#define ZEL_CALL
#if defined(ZEL_BUILDING_LIBRARY)
#define ZEL_API __attribute__((visibility("default")))
#else
#define ZEL_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. 0 is success; each code has one meaning. */
enum {
  ZEL_OK = 0,
  ZEL_ERR_UHF_FEW_SEGMENTS = 14,   /* UHF cal file: fewer than 4 multiplier segments */
  ZEL_ERR_FLASH_READ = 27,         /* identification: flash date code read too short */
  ZEL_ERR_FLASH_WRITE = 29,        /* identification: flash write not answered "K" */
  ZEL_ERR_NO_IDENT = 121,          /* identification: no valid reply to "V" */
  ZEL_ERR_UHF_MANY_SEGMENTS = 213, /* UHF cal file: more than 50 multiplier segments */
  ZEL_ERR_PORT_OPEN = 34502,       /* the port cannot be opened */
  ZEL_ERR_PORT_CLOSE = 34503,      /* closing the port failed (or no port was open) */
  ZEL_ERR_RF_OVERVOLTAGE = 34506,  /* RF voltage above 30.1 V peak: relay refused;
                                      also ZEL_GetVersion's failure text "34506" */
  ZEL_ERR_CAL_FORMAT = 34508,      /* UHF cal file does not start with 12529 */
  ZEL_ERR_CAL_TEMPERATURE = 34510, /* cal file temperature outside 0..200 */
  ZEL_ERR_MULT_CODE = 34511,       /* UHF: invalid multiplier code for the frequency */
  ZEL_ERR_IMAGE_ZONE = 34512,      /* UHF: frequency beyond the usable image zones */
  ZEL_ERR_CAL_TOO_LARGE = 34513,   /* cal file: more points than the tables hold, or
                                      longer than any cal file can be (extension) */
  ZEL_ERR_CAL_RANGE = 34514,       /* custom cal: frequency outside the table */
  ZEL_ERR_NO_TEMP_SENSOR = 34515,  /* model has no temperature sensor */
  ZEL_ERR_TEMP_TIMEOUT = 34516,    /* no temperature reply, or a garbled one */
  ZEL_ERR_NO_RF_SENSOR = 34517,    /* RF voltage asked, not the high-power model */
  ZEL_ERR_RF_TIMEOUT = 34518,      /* no RF voltage reply, or a garbled one */
  ZEL_ERR_NOT_CALIBRATED = 34519,  /* ZEL_ScanPoint mode > 0 before ZEL_LoadCalFile */
  ZEL_ERR_CAL_WRONG_UNIT = 34520,  /* cal file belongs to another instrument */
  ZEL_ERR_CAL_PATH = 34521,        /* cal file path longer than 255 characters
                                      (extension: refused, never cut) */
  ZEL_ERR_CAL_SEGMENTS = 34522,    /* UHF cal file: segment count outside 4..50 */
  ZEL_ERR_CAL_OPEN = 34523,        /* cal file cannot be opened, or no regular file */
  ZEL_ERR_NO_SYNC = 34524,         /* ZEL_Sync: controller has no sync output */
  ZEL_ERR_NO_RECORD = 34525,       /* no detector record from the instrument */
  ZEL_ERR_NO_REFERENCE = 34526,    /* reference detector amplitude below 50 */
  ZEL_ERR_RECORD_CHECKSUM = 34529, /* five detector records in a row failed their checksum
                                      (extension: the point is not reported as measured) */
  ZEL_ERR_CAL_MAXFREQ = 34530,     /* cal file maximum frequency differs */
  ZEL_ERR_CAL_DAMAGED = 34531,     /* cal file cut short, or a record line that does not hold
                                      two numbers (extension) */
  ZEL_ERR_BAD_FREQUENCY = 34532,   /* ZEL_ScanPoint: frequency not a number, infinite or
                                      negative (extension) */
  ZEL_ERR_NOT_SENT = 34533         /* a command could not be sent: no port open, or the write
                                      failed (extension) */
};

/* Set every state variable to its default. Talks to no instrument. Always returns 0 and leaves
 * the last status code in place. */
ZEL_API int32_t ZEL_CALL ZEL_InitVars(int32_t unused);

/* mode 1: one "Z2" sync pulse before the next point; 2 or more: before every point; 0: none.
 * Returns 0, or ZEL_ERR_NO_SYNC (and mode 0) when the controller has no sync output. */
ZEL_API int32_t ZEL_CALL ZEL_Sync(int32_t mode);

/* Measure one point at freq_mhz. mode 1: calibrated series R and X into *out1, *out2 (needs
 * ZEL_LoadCalFile, else ZEL_ERR_NOT_CALIBRATED and nothing written); mode 0: uncorrected R, X;
 * any other mode: measured, outputs untouched. The outputs are written even when the status is a
 * failure of the measurement (a status other than 0 means they are no reading), except as said
 * below. Blocks until the detector record arrives or times out (about 2 s).
 * Returns 0 or, among others:
 *   ZEL_ERR_BAD_FREQUENCY   freq_mhz is NaN, infinite or negative: nothing is sent, nothing
 *                           changes, the outputs are untouched (0 and values above the model's
 *                           range are measured as the synthesizer allows);
 *   ZEL_ERR_NOT_SENT        a command could not be sent (no port open, the write failed): the
 *                           call returns at once without waiting for a reply, outputs untouched;
 *   ZEL_ERR_NO_RECORD       no detector record came (time-out);
 *   ZEL_ERR_RECORD_CHECKSUM five records in a row failed their checksum;
 *   ZEL_ERR_NO_REFERENCE    no reference signal. */
ZEL_API int32_t ZEL_CALL ZEL_ScanPoint(int32_t mode, double freq_mhz, double* out1, double* out2);

/* Averaging count for the records that follow (1..16, up to 256 on newer firmware). Out-of-range
 * values are mapped, never refused. Returns 0, or ZEL_ERR_NOT_SENT when the command could not be
 * sent (no port open, the write failed); the count is then kept and goes to the instrument with
 * the next relay change. */
ZEL_API int32_t ZEL_CALL ZEL_AvgReadings(int32_t count);

/* open != 0: open COMn (n below 1 becomes 1) at 57600 baud; rate > 100000 then switches the link
 * to 115000 baud. The port is opened exclusively: ZEL_ERR_PORT_OPEN when it does not exist or
 * another program holds it (on Linux also a program running as root: the library takes a
 * flock(LOCK_EX) on the device besides TIOCEXCL, released on close). open == 0: close the port
 * (ZEL_ERR_PORT_CLOSE when none is open). Takes at least 150 ms. */
ZEL_API int32_t ZEL_CALL ZEL_CommPort(int32_t open, int32_t port, int32_t rate);

/* Load a calibration file (NUL-terminated path of at most 255 characters). The whole file is
 * read and checked before anything of it is used: a refused file leaves the calibration in use,
 * the synthesizer's segment table, band edges and level, and the scan window as they were, and
 * sends nothing to the instrument (the codes below that say so also end the calibration in use).
 * Only a regular file is read; the call never waits for a writer (a FIFO) and refuses a device.
 * Returns 0 (also for a custom file of 3 points or fewer, which holds no tables: the calibration
 * in use stays in use), or
 *   ZEL_ERR_CAL_PATH        the path is longer than 255 characters;
 *   ZEL_ERR_CAL_OPEN        the file cannot be opened or read, or is no regular file (ends the
 *                           calibration in use);
 *   ZEL_ERR_CAL_TOO_LARGE   more points than the tables hold, or a file longer than any
 *                           calibration file can be (refused unread);
 *   ZEL_ERR_CAL_DAMAGED     the file ends before its last expected line, or a record line does
 *                           not hold two numbers;
 *   ZEL_ERR_CAL_FORMAT, ZEL_ERR_CAL_SEGMENTS   UHF format number or segment count;
 *   ZEL_ERR_CAL_WRONG_UNIT, ZEL_ERR_CAL_TEMPERATURE, ZEL_ERR_CAL_MAXFREQ,
 *   ZEL_ERR_UHF_MANY_SEGMENTS, ZEL_ERR_UHF_FEW_SEGMENTS (the segment count of a file whose
 *   maximum frequency differs as well)   these end the calibration in use. */
ZEL_API int32_t ZEL_CALL ZEL_LoadCalFile(const char* path);

/* Switch the relay on (measurement) or off. ZEL_ERR_RF_OVERVOLTAGE when refused;
 * ZEL_ERR_NOT_SENT at once when the command could not be sent (no port open, the write failed):
 * the relay is then taken to be where it was. */
ZEL_API int32_t ZEL_CALL ZEL_ProgRelay(int32_t on);

/* Hold the generator on freq_mhz (clamped into the model's range; NaN counts as below it), or
 * switch it off. Returns 0, ZEL_ERR_NOT_SENT at once when a command could not be sent (no port
 * open, the write failed), or a code of the frequency command's record as for ZEL_ScanPoint. */
ZEL_API int32_t ZEL_CALL ZEL_ConstantFreq(int32_t on, double freq_mhz);

/* Identify the controller. Returns a new malloc'ed text on every call (the library never frees
 * it; the host may free() it): the controller's identification text, or "34506" on failure
 * (also when "V" cannot be sent: no port open, the write failed; then without waiting for the
 * reply). */
ZEL_API char* ZEL_CALL ZEL_GetVersion(int32_t unused);

/* Identify the controller and return the unit's serial number, or 6 on failure (as for
 * ZEL_GetVersion). */
ZEL_API int32_t ZEL_CALL ZEL_GetSerialNum(int32_t unused);

/* RF voltage at the input, volts peak, as the 64 bits of a double (ZEL_BitsToDouble). On failure
 * the double holds the status code (34517, or 34518: no reply, a garbled count past the
 * converter's 4095 (with the "Comm error 3732" notice), or at once when the request could not be
 * sent). */
ZEL_API int64_t ZEL_CALL ZEL_GetRFVoltage(int32_t unused);

/* Instrument temperature, units 0 = Celsius, other = Fahrenheit, as the 64 bits of a double. On
 * failure the double holds the status code (34515, or 34516: no reply, a garbled count past the
 * converter's 4095, or at once when the request could not be sent). */
ZEL_API int64_t ZEL_CALL ZEL_GetTemperature(int32_t units);

/* Extension: the notices that the library shows even during a call (a wrong unit's flash, a bad
 * RF voltage reply, a cal file made for another frequency range) go to this handler. It gets the
 * title, the text (as the library, the file or the instrument gave it) and yes_no = 1 for a
 * Yes/No question, and returns 1 for Yes. It runs on the thread of the call that raised the
 * notice, inside that call, and may call back into the library. A null handler restores the
 * default: one line on stderr, "ZEL notice [<title>] <text>", line breaks shown as " / ", other
 * control characters and bytes above 126 as \xNN (so a file cannot drive the terminal), and No. */
typedef int (*ZEL_NoticeHandler)(const char* title, const char* text, int yes_no);
ZEL_API void ZEL_CALL ZEL_SetNoticeHandler(ZEL_NoticeHandler handler);

/* Extension: the calibration writer of the host tools. It writes a calibration file that
 * ZEL_LoadCalFile reads back, from the raw bridge-arm impedances (Rs + Rgen) + jXs measured on
 * the short, the open and a load standard of rcal_ohms at every grid point (or, with from_mode0
 * set, from ZEL_ScanPoint's mode-0 outputs Rs + jXs, to which it adds the bridge's Rgen):
 *   standard grid (custom = 0): round(max_freq_mhz) + 3 points, point i at i MHz;
 *   custom grid (custom = 1): `points` points, point i at start_mhz + (i - 2) * step_mhz (the
 *   first two lie below the start).
 * Each of the six arrays holds one value per point. Values are written with four decimals; a
 * magnitude of 1e6 ohms or more (infinity included) is written as +-999999.9999, the largest the
 * file's fixed columns hold. The file is written under a new, unique name in path's folder
 * (created exclusively, never through a symbolic link), flushed to the disk and renamed over
 * path, so an existing file is never left half written and no other file is overwritten. Does
 * not touch the instrument or the loaded calibration.
 * Returns 0; ZEL_ERR_CAL_PATH for a path over 255 characters (ZEL_LoadCalFile could not load
 * it); ZEL_ERR_CAL_SPEC for a null argument, a value that is not a number, or a description the
 * loader would refuse or misread (see the fields); ZEL_ERR_CAL_WRITE when the file cannot be
 * created or written, or path names a folder. */
enum {
  ZEL_ERR_CAL_WRITE = 34527, /* the calibration file cannot be created or written */
  ZEL_ERR_CAL_SPEC = 34528   /* ZEL_WriteCalFile: invalid calibration description */
};
typedef struct ZEL_CalSpec {
  double rcal_ohms;      /* load standard, 5 .. 999999 ohms */
  double max_freq_mhz;   /* the instrument's maximum frequency (the loader wants it within
                            0.01 MHz); standard grid: 1 .. 30028; 0: the identified
                            controller's (ZEL_GetVersion or ZEL_GetSerialNum must have run) */
  double temperature_f;  /* instrument temperature, degrees Fahrenheit, 0 .. 200 */
  int32_t custom;        /* 0: standard grid; 1: custom grid */
  int32_t points;        /* custom: points per table, 4 .. 30032 */
  double start_mhz;      /* custom: first grid point */
  double end_mhz;        /* custom: end of the grid (recorded only) */
  double step_mhz;       /* custom: grid step, above 0 */
  const char* unit_id;   /* the unit's identification text; NULL: the identified unit's own
                            (ZEL_GetVersion or ZEL_GetSerialNum must have run); "": none, a
                            file that any instrument accepts */
  int32_t min5k;         /* nonzero: the file lets the loader lower the minimum to 0.002 MHz */
  const char* comment;   /* free comment, may be NULL */
  const char* date_time; /* "MM-DD-YYYY  HH:MM:SS"; NULL or "" takes the current time */
  int32_t uhf;           /* nonzero: the UHF model's format number and segment section */
  int32_t segment_count; /* UHF: 4 .. 50 */
  const int32_t* seg_start_mhz; /* UHF: segment_count starts, 0 .. 100000 MHz */
  const int32_t* seg_mults;     /* UHF: segment_count multiplier codes, 0 .. 660; with both
                                   arrays NULL the identified controller's segment table (all
                                   50 rows), band edges and level are written instead */
  int32_t band_edge1_mhz;       /* UHF: band edges, MHz */
  int32_t band_edge2_mhz;
  double dds1_level;  /* UHF: synthesizer 1 level, 0 .. 100 percent of full scale */
  int32_t from_mode0; /* nonzero: the arrays hold ZEL_ScanPoint mode-0 outputs Rs + jXs and the
                         writer adds the Rgen of the identified controller (ZEL_GetVersion or
                         ZEL_GetSerialNum must have run, else ZEL_ERR_CAL_SPEC) */
} ZEL_CalSpec;
/* Texts (unit_id, comment, date_time) may not hold line breaks, unit_id not "||", and each line
 * they go into must stay within 255 characters; without a unit_id the comment may not hold
 * "ID=" (the loader would take the file for another instrument's). */
ZEL_API int32_t ZEL_CALL ZEL_WriteCalFile(const char* path, const ZEL_CalSpec* desc,
                                          const double* short_re, const double* short_im,
                                          const double* open_re, const double* open_im,
                                          const double* load_re, const double* load_im);

/* Extension: what a status code means, as one line of English ("no detector record from the
 * instrument"). A static text, never NULL and never to be freed; a code this library does not
 * define gives "unknown status code". Talks to no instrument and changes no state. */
ZEL_API const char* ZEL_CALL ZEL_StatusText(int32_t code);

/* Extension: the library's version, "major.minor.patch" (a static text). */
ZEL_API const char* ZEL_CALL ZEL_LibraryVersion(void);

/* The calibration tables' size: a calibration file may hold at most this many points per table
 * (a standard file's maximum frequency rounded, plus 3; a custom file's point count plus 3). */
#define ZEL_MAX_CAL_POINTS 30032

/* The models ZEL_UnitInfo.model names. */
enum {
  ZEL_MODEL_UNKNOWN = 0,
  ZEL_MODEL_LOW_RANGE = 1,  /* 0.1 .. 32 MHz */
  ZEL_MODEL_STANDARD = 2,   /* .. 180 MHz */
  ZEL_MODEL_UHF = 3,        /* 0.002 .. 1000 MHz, two synthesizers, temperature sensor */
  ZEL_MODEL_HIGH_POWER = 4  /* 0.01 .. 170 MHz, RF voltage and temperature sensors */
};

/* What the library knows of the attached unit, as the last identification (ZEL_GetVersion or
 * ZEL_GetSerialNum) left it. Texts are NUL-terminated and cut to their buffers. */
typedef struct ZEL_UnitInfo {
  int32_t identified;          /* 1 when the last identification succeeded; 0: the fields below
                                  hold the defaults (or what an earlier identification left) */
  int32_t model;               /* ZEL_MODEL_* */
  char model_name[32];         /* "low-range", "standard", "UHF", "high-power", "unknown" */
  char firmware[16];           /* the version as the identification writes it ("4.75"), or "" */
  int32_t firmware_version100; /* the version the library works with, times 100 (475) */
  int32_t serial_number;       /* what ZEL_GetSerialNum reports, without asking again */
  char unit_id[256];           /* the unit identification that calibration files must carry */
  int32_t flash_id;            /* 1: the unit keeps its date code in flash memory */
  int32_t flash_programmed;    /* 1: the last identification found the flash date code erased
                                  and programmed a new one */
  double min_freq_mhz;         /* the frequency range */
  double max_freq_mhz;
  int32_t record_bytes;        /* detector record format: 72 (long) or 67 (short) */
  int32_t sync;                /* 1: the controller has a sync output (ZEL_Sync) */
  int32_t rf_sensor;           /* 1: ZEL_GetRFVoltage reads a sensor */
  int32_t temp_sensor;         /* 1: ZEL_GetTemperature reads a sensor */
  int32_t max_baud;            /* 115000 when the controller can run the fast link, else 57600 */
  int32_t baud_rate;           /* the link's rate now (0: no port open) */
  double rgen_ohms;            /* the bridge's generator resistance */
  double rref_ohms;            /* the bridge's reference resistance */
  char device[256];            /* the device of the open port ("/dev/ttyUSB0"), "" when none */
  char ident_text[256];        /* the identification text, as ZEL_GetVersion returns it */
} ZEL_UnitInfo;

/* Extension: fills *info from the library's state. Talks to no instrument, changes no state and
 * leaves the last status code in place. Returns 0, or -1 (and writes nothing) for a NULL info. */
ZEL_API int32_t ZEL_CALL ZEL_GetUnitInfo(ZEL_UnitInfo* info);

/* The double that ZEL_GetRFVoltage and ZEL_GetTemperature return as 64 bits. */
static inline double ZEL_BitsToDouble(int64_t bits) {
  double d;
  memcpy(&d, &bits, sizeof d);
  return d;
}

#ifdef __cplusplus
}
#endif

#endif /* ZEL_863_DLL_H */
