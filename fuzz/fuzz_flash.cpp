// The flash date code path: a unit that keeps its id in flash, then any bytes as the flash read
// and write replies.
#include <cstdlib>
#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::string stream = "\nZELKQC ver 5.12 flash jan 10 2005 14:32:10 ?";
  stream.append(reinterpret_cast<const char*>(data + 1), size - 1);
  zelfuzz::StreamPeer peer(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size());
  zel::platform::FakePlatform platform(&peer);
  platform.yes_no_answers = {(data[0] & 1) != 0, (data[0] & 2) != 0};
  zelfuzz::FreshLibrary(platform);
  ZEL_GetSerialNum(0);
  zel::platform::Install(nullptr);
  return 0;
}
