// What each status code means, in one line of English: the library's one home for these texts.
// Hosts show them (zel, the Python package) through ZEL_StatusText; the README's table says the
// same. And the library's version, which hosts print beside their own.

#include <cstdint>

#include "ZEL_863_DLL.h"
#include "api/call_lock.h"

namespace {

struct StatusEntry {
  std::int32_t code;
  const char* text;
};

constexpr StatusEntry kStatusTexts[] = {
    {ZEL_OK, "success"},
    {ZEL_ERR_UHF_FEW_SEGMENTS, "the UHF calibration file has fewer than 4 multiplier segments"},
    {ZEL_ERR_FLASH_READ, "the instrument's date code could not be read from its flash memory"},
    {ZEL_ERR_FLASH_WRITE,
     "the instrument did not confirm writing its date code to its flash memory"},
    {ZEL_ERR_NO_IDENT, "no identification from the instrument"},
    {ZEL_ERR_UHF_MANY_SEGMENTS, "the UHF calibration file has more than 50 multiplier segments"},
    {ZEL_ERR_PORT_OPEN, "the serial port cannot be opened"},
    {ZEL_ERR_PORT_CLOSE, "closing the serial port failed, or no port was open"},
    {ZEL_ERR_RF_OVERVOLTAGE,
     "RF voltage at the input above 30.1 V peak: the relay was not switched"},
    {ZEL_ERR_CAL_FORMAT, "the calibration file does not start with the UHF format number"},
    {ZEL_ERR_CAL_TEMPERATURE, "the calibration file's temperature is outside 0..200"},
    {ZEL_ERR_MULT_CODE, "no valid synthesizer multiplier for this frequency"},
    {ZEL_ERR_IMAGE_ZONE, "the frequency lies beyond the synthesizer's usable image zones"},
    {ZEL_ERR_CAL_TOO_LARGE,
     "the calibration file declares more points than the tables hold, or is far too long"},
    {ZEL_ERR_CAL_RANGE, "the frequency lies outside the custom calibration's grid"},
    {ZEL_ERR_NO_TEMP_SENSOR, "this model has no temperature sensor"},
    {ZEL_ERR_TEMP_TIMEOUT, "no temperature reading from the instrument"},
    {ZEL_ERR_NO_RF_SENSOR, "this model has no RF voltage sensor"},
    {ZEL_ERR_RF_TIMEOUT, "no RF voltage reading from the instrument"},
    {ZEL_ERR_NOT_CALIBRATED, "no calibration is loaded"},
    {ZEL_ERR_CAL_WRONG_UNIT, "the calibration file belongs to another instrument"},
    {ZEL_ERR_CAL_PATH, "the calibration file's path is longer than 255 characters"},
    {ZEL_ERR_CAL_SEGMENTS, "the UHF calibration file's multiplier segment count is outside 4..50"},
    {ZEL_ERR_CAL_OPEN, "the calibration file cannot be opened, or is not a regular file"},
    {ZEL_ERR_NO_SYNC, "this controller has no sync output"},
    {ZEL_ERR_NO_RECORD, "no detector record from the instrument (time-out)"},
    {ZEL_ERR_NO_REFERENCE, "no reference signal: the reference detector's amplitude is below 50"},
    {ZEL_ERR_CAL_WRITE,
     "the calibration file cannot be created or written, or its path names a folder"},
    {ZEL_ERR_CAL_SPEC, "the calibration description is invalid"},
    {ZEL_ERR_RECORD_CHECKSUM, "five detector records in a row failed their checksum"},
    {ZEL_ERR_CAL_MAXFREQ, "the calibration file was made for another frequency range"},
    {ZEL_ERR_CAL_DAMAGED,
     "the calibration file is damaged: cut short, or a record line without two numbers"},
    {ZEL_ERR_BAD_FREQUENCY, "the frequency is not a number, infinite or negative"},
    {ZEL_ERR_NOT_SENT, "the command could not be sent: no port is open, or the write failed"},
};

}  // namespace

extern "C" {

ZEL_API const char* ZEL_CALL ZEL_StatusText(int32_t code) {
  const zel::CallLock lock;
  for (const StatusEntry& e : kStatusTexts) {
    if (e.code == code) return e.text;
  }
  return "unknown status code";
}

ZEL_API const char* ZEL_CALL ZEL_LibraryVersion(void) {
  const zel::CallLock lock;
  return ZEL_LIBRARY_VERSION;
}

}  // extern "C"
