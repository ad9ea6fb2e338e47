// Every status code the public header defines has its own text, and nothing else has one.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
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
  // A hand scan: GCC 12's std::regex trips -Wmaybe-uninitialized under the sanitizers.
  auto is_name_char = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  };
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  for (std::size_t pos = s.find("ZEL_"); pos != std::string::npos; pos = s.find("ZEL_", pos)) {
    std::size_t end = pos + 4;
    while (end < s.size() && is_name_char(s[end])) ++end;
    const std::string name = s.substr(pos, end - pos);
    pos = end;
    if (name != "ZEL_OK" && name.rfind("ZEL_ERR_", 0) != 0) continue;
    if (s.compare(end, 3, " = ") != 0) continue;
    std::size_t digits_end = end + 3;
    while (digits_end < s.size() && is_digit(s[digits_end])) ++digits_end;
    if (digits_end == end + 3) continue;
    codes[name] = std::stoi(s.substr(end + 3, digits_end - end - 3));
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
