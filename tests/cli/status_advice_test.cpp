// Every status code the public header defines has its meaning in the library and zel's advice
// beside it: a code added to the header without either shows up here, not as "unexpected status"
// in front of a user.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
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
  std::regex code(R"(\b(ZEL_OK|ZEL_ERR_[A-Z0-9_]+)\s*=\s*(\d+))");
  for (std::sregex_iterator it(text.begin(), text.end(), code), end; it != end; ++it)
    codes.insert(std::stoi((*it)[2]));
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
