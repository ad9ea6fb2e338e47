// What every status code of the library means (the library's own text) and what a zel user can do
// about it.
#pragma once

#include <cstdint>
#include <string>

namespace zelhost {

struct StatusText {
  const char* what;    // "no detector record from the instrument"
  const char* advice;  // "check power and the serial cable"
};

// zel's advice for a code, nullptr when it has none.
const char* AdviceFor(std::int32_t code);

// The entry for a code; an unknown code gets a generic text.
StatusText DescribeStatus(std::int32_t code);

// "no detector record from the instrument (34525): check power and the serial cable"
std::string StatusMessage(std::int32_t code);

}  // namespace zelhost
