// The flash date code path: a unit that keeps its id in flash, then any bytes as the flash read
// and write replies.
#include <cstdlib>
#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::string stream = "\nZELKQC ver 5.12 flash jan 10 2005 14:32:10 ?";
  stream.append(reinterpret_cast<const char*>(data + 1), size - 1);
  zelfuzz::StreamPlatform platform(reinterpret_cast<const std::uint8_t*>(stream.data()),
                                   stream.size());
  zelfuzz::Installed installed(&platform);
  platform.AnswerYesNo(data[0] & 3, 2);
  zelfuzz::FreshLibrary();
  if (data[0] & 4) zel::state.ident.IdentDelayMs = 0;
  ZEL_GetSerialNum(0);
  return 0;
}
