// Unguessable texts for the API token and the stream ids, from the kernel's random source.
#pragma once

#include <cstddef>
#include <string>

namespace zelhost::serve {

// 2 * bytes lower-case hex digits. Empty when the kernel gives no random bytes.
std::string RandomHex(std::size_t bytes);

// Compares in a time that does not depend on where the texts first differ.
bool SameSecret(const std::string& a, const std::string& b);

}  // namespace zelhost::serve
