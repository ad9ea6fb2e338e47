// Every status code the public header defines has its meaning in the library and zel's advice
// beside it: a code added to the header without either shows up here, not as "unexpected status"
// in front of a user.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "ZEL_863_DLL.h"
#include "status_text.h"

namespace {

// The codes as the header writes them: "ZEL_OK = 0," and "ZEL_ERR_... = 34502,".
std::set<int> HeaderCodes() {
  std::ifstream f(ZEL_PUBLIC_HEADER);
  std::stringstream s;
  s << f.rdbuf();
  std::string text = s.str();
  std::set<int> codes;
  for (const char* prefix : {"ZEL_OK", "ZEL_ERR_"}) {
    for (std::size_t p = text.find(prefix); p != std::string::npos; p = text.find(prefix, p + 1)) {
      std::size_t q = p + std::strlen(prefix);
      while (q < text.size() &&
             (std::isupper(static_cast<unsigned char>(text[q])) ||
              std::isdigit(static_cast<unsigned char>(text[q])) || text[q] == '_'))
        ++q;
      while (q < text.size() && text[q] == ' ') ++q;
      if (q >= text.size() || text[q] != '=') continue;  // a use of the name, not its definition
      ++q;
      while (q < text.size() && text[q] == ' ') ++q;
      if (q < text.size() && std::isdigit(static_cast<unsigned char>(text[q])))
        codes.insert(std::atoi(text.c_str() + q));
    }
  }
  return codes;
}

TEST(StatusAdvice, EveryCodeOfTheHeaderHasTheLibrarysTextAndZelsAdvice) {
  std::set<int> codes = HeaderCodes();
  // The header's first and last codes, and the calibration writer's, are among them: the scan
  // itself works.
  for (int c : {0, 14, 34502, 34527, 34528, 34533}) EXPECT_TRUE(codes.count(c)) << c;
  for (int c : codes) {
    SCOPED_TRACE(c);
    EXPECT_NE(zelhost::AdviceFor(c), nullptr);
    EXPECT_STRNE(ZEL_StatusText(c), ZEL_StatusText(-12345)) << "the library has no text";
    std::string message = zelhost::StatusMessage(c);
    EXPECT_NE(message.find("(" + std::to_string(c) + "): "), std::string::npos) << message;
  }
}

}  // namespace
