// The identification reply, and whatever follows it on the line (flash words, "K"), with any
// answer to the Yes/No question.
#include <cstdlib>

#include "fuzz_support.h"
#include "ident/identify.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  zelfuzz::StreamPlatform platform(data + 1, size - 1);
  zelfuzz::Installed installed(&platform);
  platform.AnswerYesNo(data[0] & 3, 2);
  zelfuzz::FreshLibrary();
  if (data[0] & 4) zel::state.ident.IdentDelayMs = 0;
  // The interactive engine shares the identification and shows its notices.
  if (data[0] & 8) zel::IdentifyController();
  char* text = ZEL_GetVersion(0);
  std::free(text);
  ZEL_GetSerialNum(0);
  return 0;
}
