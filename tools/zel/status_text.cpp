#include "status_text.h"

#include "ZEL_863_DLL.h"

namespace zelhost {
namespace {

// What a zel user can do about each code; what the code means is the library's own text.
struct Advice {
  std::int32_t code;
  const char* advice;
};

constexpr Advice kAdvice[] = {
    {ZEL_OK, "nothing to do"},
    {ZEL_ERR_UHF_FEW_SEGMENTS, "make a new calibration with 'zel calibrate'"},
    {ZEL_ERR_FLASH_READ, "check the serial cable and try again"},
    {ZEL_ERR_FLASH_WRITE, "check the serial cable and try again"},
    {ZEL_ERR_NO_IDENT, "check power, the serial cable and the port (--port N or --device PATH)"},
    {ZEL_ERR_UHF_MANY_SEGMENTS, "make a new calibration with 'zel calibrate'"},
    {ZEL_ERR_PORT_OPEN,
     "check that the device exists, that no other program holds it, and that you may use it "
     "(group dialout)"},
    {ZEL_ERR_PORT_CLOSE, "unplug and replug the adapter"},
    {ZEL_ERR_RF_OVERVOLTAGE, "disconnect the antenna from the transmitter or wait until it is off"},
    {ZEL_ERR_CAL_FORMAT, "use a calibration file made on this instrument"},
    {ZEL_ERR_CAL_TEMPERATURE, "the file is damaged; make a new calibration"},
    {ZEL_ERR_MULT_CODE, "make a new calibration with 'zel calibrate'"},
    {ZEL_ERR_IMAGE_ZONE, "choose a frequency inside the instrument's range"},
    {ZEL_ERR_CAL_TOO_LARGE, "use a calibration file made with 'zel calibrate'"},
    {ZEL_ERR_CAL_RANGE, "sweep inside the calibrated range or use a standard calibration"},
    {ZEL_ERR_NO_TEMP_SENSOR, "nothing to read"},
    {ZEL_ERR_TEMP_TIMEOUT, "check power and the serial cable"},
    {ZEL_ERR_NO_RF_SENSOR, "nothing to read"},
    {ZEL_ERR_RF_TIMEOUT, "check power and the serial cable"},
    {ZEL_ERR_NOT_CALIBRATED, "give a calibration file with --cal FILE"},
    {ZEL_ERR_CAL_WRONG_UNIT, "use the file made on this unit, or make one with 'zel calibrate'"},
    {ZEL_ERR_CAL_PATH, "move the file to a shorter path"},
    {ZEL_ERR_CAL_SEGMENTS, "make a new calibration with 'zel calibrate'"},
    {ZEL_ERR_CAL_OPEN, "check the file name given with --cal"},
    {ZEL_ERR_NO_SYNC, "leave out --sync"},
    {ZEL_ERR_NO_RECORD, "check power and the serial cable"},
    {ZEL_ERR_NO_REFERENCE, "the instrument needs service if this persists; check power"},
    {ZEL_ERR_CAL_WRITE,
     "check that the folder exists, that you may write there and that the disk "
     "has room"},
    {ZEL_ERR_CAL_SPEC, "report it together with the command you ran"},
    {ZEL_ERR_RECORD_CHECKSUM, "check the serial cable and its connectors; try again"},
    {ZEL_ERR_CAL_MAXFREQ, "use a file made on this instrument, or make one with 'zel calibrate'"},
    {ZEL_ERR_CAL_DAMAGED, "copy the file again or make a new calibration with 'zel calibrate'"},
    {ZEL_ERR_BAD_FREQUENCY, "give the frequency in MHz as a number of 0 or more"},
    {ZEL_ERR_NOT_SENT, "check that the adapter is still plugged in and try again"},
};

}  // namespace

const char* AdviceFor(std::int32_t code) {
  for (const Advice& a : kAdvice)
    if (a.code == code) return a.advice;
  return nullptr;
}

StatusText DescribeStatus(std::int32_t code) {
  const char* advice = AdviceFor(code);
  return {ZEL_StatusText(code), advice ? advice : "report it together with the command you ran"};
}

std::string StatusMessage(std::int32_t code) {
  StatusText t = DescribeStatus(code);
  return std::string(t.what) + " (" + std::to_string(code) + "): " + t.advice;
}

}  // namespace zelhost
