#include "status_text.h"

#include "ZEL_863_DLL.h"

namespace zelhost {
namespace {

struct Entry {
  std::int32_t code;
  StatusText text;
};

constexpr Entry kTable[] = {
    {ZEL_OK, {"success", "nothing to do"}},
    {ZEL_ERR_UHF_FEW_SEGMENTS,
     {"the UHF calibration file has fewer than 4 multiplier segments",
      "make a new calibration with 'zel calibrate'"}},
    {ZEL_ERR_FLASH_READ,
     {"the instrument's date code could not be read from its flash memory",
      "check the serial cable and try again"}},
    {ZEL_ERR_FLASH_WRITE,
     {"the instrument did not confirm writing its date code to flash memory",
      "check the serial cable and try again"}},
    {ZEL_ERR_NO_IDENT,
     {"no identification from the instrument",
      "check power, the serial cable and the port (--port N or --device PATH)"}},
    {ZEL_ERR_UHF_MANY_SEGMENTS,
     {"the UHF calibration file has more than 50 multiplier segments",
      "make a new calibration with 'zel calibrate'"}},
    {ZEL_ERR_PORT_OPEN,
     {"the serial port cannot be opened",
      "check that the device exists, that no other program holds it, and that you may use it "
      "(group dialout)"}},
    {ZEL_ERR_PORT_CLOSE, {"closing the serial port failed", "unplug and replug the adapter"}},
    {ZEL_ERR_RF_OVERVOLTAGE,
     {"RF voltage at the input above 30.1 V peak: the relay was not switched",
      "disconnect the antenna from the transmitter or wait until it is off"}},
    {ZEL_ERR_CAL_FORMAT,
     {"the calibration file is not in the UHF format",
      "use a calibration file made on this instrument"}},
    {ZEL_ERR_CAL_TEMPERATURE,
     {"the calibration file's temperature is outside 0..200 F",
      "the file is damaged; make a new calibration"}},
    {ZEL_ERR_MULT_CODE,
     {"no valid synthesizer multiplier for this frequency",
      "make a new calibration with 'zel calibrate'"}},
    {ZEL_ERR_IMAGE_ZONE,
     {"the frequency lies beyond the synthesizer's usable image zones",
      "choose a frequency inside the instrument's range"}},
    {ZEL_ERR_CAL_TOO_LARGE,
     {"the calibration file declares more points than the library holds",
      "use a calibration of at most 30000 points"}},
    {ZEL_ERR_CAL_RANGE,
     {"the frequency lies outside the custom calibration's grid",
      "sweep inside the calibrated range or use a standard calibration"}},
    {ZEL_ERR_NO_TEMP_SENSOR, {"this model has no temperature sensor", "nothing to read"}},
    {ZEL_ERR_TEMP_TIMEOUT,
     {"no temperature reading from the instrument", "check power and the serial cable"}},
    {ZEL_ERR_NO_RF_SENSOR, {"this model has no RF voltage sensor", "nothing to read"}},
    {ZEL_ERR_RF_TIMEOUT,
     {"no RF voltage reading from the instrument", "check power and the serial cable"}},
    {ZEL_ERR_NOT_CALIBRATED,
     {"no calibration is loaded", "give a calibration file with --cal FILE"}},
    {ZEL_ERR_CAL_WRONG_UNIT,
     {"the calibration file belongs to another instrument",
      "use the file made on this unit, or make one with 'zel calibrate'"}},
    {ZEL_ERR_CAL_PATH,
     {"the calibration file's path is longer than 255 characters",
      "move the file to a shorter path"}},
    {ZEL_ERR_CAL_SEGMENTS,
     {"the UHF calibration file's multiplier segments are unusable",
      "make a new calibration with 'zel calibrate'"}},
    {ZEL_ERR_CAL_OPEN,
     {"the calibration file cannot be opened", "check the file name given with --cal"}},
    {ZEL_ERR_NO_SYNC, {"this controller has no sync output", "leave out --sync"}},
    {ZEL_ERR_NO_RECORD,
     {"no detector record from the instrument", "check power and the serial cable"}},
    {ZEL_ERR_NO_REFERENCE,
     {"no reference signal in the instrument (reference detector too weak)",
      "the instrument needs service if this persists; check power"}},
    {ZEL_ERR_CAL_MAXFREQ,
     {"the calibration file was made for another frequency range",
      "use a file made on this instrument, or make one with 'zel calibrate'"}},
};

}  // namespace

StatusText DescribeStatus(std::int32_t code) {
  for (const Entry& e : kTable)
    if (e.code == code) return e.text;
  return {"unexpected status from the library", "report it together with the command you ran"};
}

std::string StatusMessage(std::int32_t code) {
  StatusText t = DescribeStatus(code);
  return std::string(t.what) + " (" + std::to_string(code) + "): " + t.advice;
}

}  // namespace zelhost
