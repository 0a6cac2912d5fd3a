// The predefined marker code tables, compiled in as constant data.
//
// Each table is its rows back to back; a row is one marker id's four rotation
// codes (rotation 0 first), ceil(n*n/8) bytes each. The tables are written by
// tools/gen_dictionaries.py as hex text and decoded at compile time, which keeps
// the generated source to two characters per byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace markvane::dictionary::data {

constexpr uint8_t hex_digit(char c) {
  return c <= '9' ? uint8_t(c - '0') : uint8_t(c - 'a' + 10);
}

// Decodes exactly N bytes from 2*N lower-case hex digits (plus the literal's
// terminating NUL). A literal of the wrong length fails to compile.
template <size_t N>
constexpr std::array<uint8_t, N> unhex(const char (&hex)[2 * N + 1]) {
  std::array<uint8_t, N> out{};
  for (size_t i = 0; i < N; ++i) {
    out[i] = uint8_t(hex_digit(hex[2 * i]) << 4 | hex_digit(hex[2 * i + 1]));
  }
  return out;
}

extern const std::array<uint8_t, 8000> DICT_4X4_1000;
extern const std::array<uint8_t, 16000> DICT_5X5_1000;
extern const std::array<uint8_t, 20000> DICT_6X6_1000;
extern const std::array<uint8_t, 28000> DICT_7X7_1000;
extern const std::array<uint8_t, 16384> DICT_ARUCO;
extern const std::array<uint8_t, 5000> DICT_ARUCO_MIP_36h12;
extern const std::array<uint8_t, 240> DICT_APRILTAG_16h5;
extern const std::array<uint8_t, 560> DICT_APRILTAG_25h9;
extern const std::array<uint8_t, 46400> DICT_APRILTAG_36h10;
extern const std::array<uint8_t, 11740> DICT_APRILTAG_36h11;

}  // namespace markvane::dictionary::data
