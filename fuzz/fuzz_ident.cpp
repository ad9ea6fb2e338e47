// The identification reply, and whatever follows it on the line (flash words, "K"), with any
// answer to the Yes/No question.
#include <cstdlib>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  zelfuzz::StreamPeer peer(data + 1, size - 1);
  zel::platform::FakePlatform platform(&peer);
  platform.yes_no_answers = {(data[0] & 1) != 0, (data[0] & 2) != 0};
  zelfuzz::FreshLibrary(platform);
  if (data[0] & 4) zel::state.ident.IdentDelayMs = 0;
  char* text = ZEL_GetVersion(0);
  std::free(text);
  ZEL_GetSerialNum(0);
  zel::platform::Install(nullptr);
  return 0;
}
