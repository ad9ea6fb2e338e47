// Detector records as the controller sends them, for scripted peers.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace zeltest {

using Words = std::array<std::uint16_t, 33>;

// 72 bytes: two header words, the 33 words, the 16-bit sum of the 35 words.
std::vector<std::uint8_t> LongRecord(const Words& words, std::uint16_t h0 = 0x1234,
                                     std::uint16_t h1 = 0x0042);
// 67 bytes: the 33 words and (sum >> 4) & 0xFF.
std::vector<std::uint8_t> ShortRecord(const Words& words);
// Words 0..32 = base + k, a record that is easy to recognise after unpacking.
Words CountingWords(std::uint16_t base);
// Load block A_load*sin(2*pi*i/16 + phi_load) + offset, reference block likewise, word 32 zero:
// a record that demodulates to the given amplitudes and phases (in record units, before the
// library's ReadingScale).
Words SineWords(double amp_load, double phase_load, double amp_ref, double phase_ref,
                double offset = 30000);

}  // namespace zeltest
