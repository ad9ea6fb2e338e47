#include "support/records.h"

#include <cmath>

namespace zeltest {

std::vector<std::uint8_t> LongRecord(const Words& words, std::uint16_t h0, std::uint16_t h1) {
  std::vector<std::uint8_t> out;
  std::uint32_t sum = 0;
  auto put = [&](std::uint16_t w) {
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w & 0xFF));
    sum += w;
  };
  put(h0);
  put(h1);
  for (auto w : words) put(w);
  out.push_back(static_cast<std::uint8_t>((sum >> 8) & 0xFF));
  out.push_back(static_cast<std::uint8_t>(sum & 0xFF));
  return out;
}

std::vector<std::uint8_t> ShortRecord(const Words& words) {
  std::vector<std::uint8_t> out;
  std::uint32_t sum = 0;
  for (auto w : words) {
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w & 0xFF));
    sum += w;
  }
  out.push_back(static_cast<std::uint8_t>((sum >> 4) & 0xFF));
  return out;
}

Words CountingWords(std::uint16_t base) {
  Words w{};
  for (int k = 0; k < 33; ++k)
    w[static_cast<std::size_t>(k)] = static_cast<std::uint16_t>(base + k);
  return w;
}

Words SineWords(double amp_load, double phase_load, double amp_ref, double phase_ref,
                double offset) {
  Words w{};
  for (int i = 0; i < 16; ++i) {
    const double a = 2 * 3.141592653589793 * i / 16;
    w[static_cast<std::size_t>(i)] =
        static_cast<std::uint16_t>(std::lround(offset + amp_load * std::sin(a + phase_load)));
    w[static_cast<std::size_t>(16 + i)] =
        static_cast<std::uint16_t>(std::lround(offset + amp_ref * std::sin(a + phase_ref)));
  }
  return w;
}

}  // namespace zeltest
