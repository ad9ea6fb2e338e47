// Every status code the public header defines has its own text, and nothing else has one.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "ZEL_863_DLL.h"

namespace {

// "ZEL_ERR_NO_RECORD = 34525" and "ZEL_OK = 0" as the header writes them.
std::map<std::string, int> HeaderStatusCodes() {
  std::ifstream in(ZEL_PUBLIC_HEADER);
  std::stringstream text;
  text << in.rdbuf();
  const std::string s = text.str();
  std::map<std::string, int> codes;
  const std::regex entry(R"((ZEL_(?:OK|ERR_[A-Z0-9_]+)) = (\d+))");
  for (auto it = std::sregex_iterator(s.begin(), s.end(), entry); it != std::sregex_iterator();
       ++it) {
    codes[(*it)[1]] = std::stoi((*it)[2]);
  }
  return codes;
}

TEST(StatusText, EveryCodeOfTheHeaderHasItsOwnText) {
  const auto codes = HeaderStatusCodes();
  ASSERT_GE(codes.size(), 34u) << "the header's status codes were not found";
  std::set<std::string> seen;
  for (const auto& [name, code] : codes) {
    const char* text = ZEL_StatusText(code);
    ASSERT_NE(text, nullptr) << name;
    EXPECT_STRNE(text, "unknown status code") << name << " = " << code;
    EXPECT_TRUE(seen.insert(text).second) << name << " shares its text: " << text;
  }
}

TEST(StatusText, UnknownCodesSaySo) {
  for (int code : {-1, 1, 34501, 34534, 99999}) {
    EXPECT_STREQ(ZEL_StatusText(code), "unknown status code") << code;
  }
}

TEST(LibraryVersion, IsTheProjectVersion) {
  EXPECT_STREQ(ZEL_LibraryVersion(), ZEL_LIBRARY_VERSION);
}

}  // namespace
