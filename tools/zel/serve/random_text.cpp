#include "random_text.h"

#include <sys/random.h>

#include <vector>

namespace zelhost::serve {

std::string RandomHex(std::size_t bytes) {
  std::vector<unsigned char> buf(bytes);
  std::size_t got = 0;
  while (got < bytes) {
    ssize_t n = getrandom(buf.data() + got, bytes - got, 0);
    if (n <= 0) return "";
    got += static_cast<std::size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (unsigned char c : buf) {
    s.push_back(kHex[c >> 4]);
    s.push_back(kHex[c & 15]);
  }
  return s;
}

bool SameSecret(const std::string& a, const std::string& b) {
  unsigned diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i % (b.size() + 1)]);
  return diff == 0;
}

}  // namespace zelhost::serve
