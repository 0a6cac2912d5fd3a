// Marker code books and the matching of a read code against them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "types.h"

namespace markvane::dictionary {

// Code of one marker: four rotation codes back to back (rotation 0 first), each
// ceil(n*n/8) bytes, cells row-major MSB-first, 1 = white.
struct Dictionary {
  Vec<Vec<uint8_t>> bytes_list;
  uint32_t marker_size = 0;
  int32_t max_correction_bits = 0;
  // Every rotation code as one big-endian integer (at most 7 bytes), four per id
  // in id order, so matching is a masked XOR and one popcount per rotation.
  // Filled by get_predefined_dictionary and pack_codes; identify packs on the
  // fly when it is empty or stale.
  Vec<uint64_t> packed;

  size_t code_bytes() const { return (size_t(marker_size) * marker_size + 7) / 8; }
};

// Packed reading of one candidate's inner cells, laid out like one rotation code.
struct CellBitMasks {
  Vec<uint8_t> white;  // 1 = read as white
  Vec<uint8_t> known;  // 1 = read with certainty (white or black)
  uint32_t cells = 0;  // n * n
};

struct Match {
  int32_t id = 0;
  int32_t rotation = 0;
  uint32_t distance = 0;
};

// The 22 names in their listing order.
const std::array<std::string_view, 22>& predefined_names();

// Case-insensitive, optional "DICT_" prefix. nullopt for an unknown name.
std::optional<Dictionary> get_predefined_dictionary(std::string_view name);
// The same dictionary, built once per process on first use and never changed
// afterwards (so it may be shared by every call and thread); nullptr for an
// unknown name. Building the larger ones costs tens of microseconds, a
// noticeable share of a small frame's detection.
const Dictionary* shared_predefined_dictionary(std::string_view name);
// The listed spelling of a name get_predefined_dictionary accepts.
std::optional<std::string_view> canonical_name(std::string_view name);

// The first `count` rows of a table of rows of `row_bytes` bytes each, copied
// into one owned row per marker. count * row_bytes must not exceed the table.
Vec<Vec<uint8_t>> slice_rows(const uint8_t* table, size_t row_bytes, size_t count);

// Packs the first `n_bytes` (<= 8) bytes as a big-endian integer.
uint64_t pack_code(const uint8_t* bytes, size_t n_bytes);

// Fills dict.packed from dict.bytes_list.
void pack_codes(Dictionary& dict);

// First id (lowest) whose best rotation is within max_distance.
std::optional<Match> identify(const Dictionary& dict, const CellBitMasks& reading,
                              uint32_t max_distance);

}  // namespace markvane::dictionary
