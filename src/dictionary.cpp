// Predefined marker dictionaries: lookup by name and matching of a read code.
#include "dictionary.h"

#include <algorithm>
#include <bit>
#include <mutex>
#include <string>

#include "dictionaries_data.h"

namespace markvane::dictionary {
namespace {

struct Predefined {
  std::string_view name;
  uint32_t marker_size;
  uint32_t markers;
  int32_t max_correction_bits;
  const uint8_t* table;
  size_t table_bytes;
};

template <size_t N>
constexpr Predefined entry(std::string_view name, uint32_t n, uint32_t markers,
                           int32_t max_correction_bits, const std::array<uint8_t, N>& table) {
  return {name, n, markers, max_correction_bits, table.data(), N};
}

// Listing order is part of the public surface (predefined_dictionaries()).
using namespace data;
constexpr std::array<Predefined, 22> kPredefined = {
    entry("DICT_4X4_50", 4, 50, 1, DICT_4X4_1000),
    entry("DICT_4X4_100", 4, 100, 1, DICT_4X4_1000),
    entry("DICT_4X4_250", 4, 250, 1, DICT_4X4_1000),
    entry("DICT_4X4_1000", 4, 1000, 0, DICT_4X4_1000),
    entry("DICT_5X5_50", 5, 50, 3, DICT_5X5_1000),
    entry("DICT_5X5_100", 5, 100, 3, DICT_5X5_1000),
    entry("DICT_5X5_250", 5, 250, 2, DICT_5X5_1000),
    entry("DICT_5X5_1000", 5, 1000, 2, DICT_5X5_1000),
    entry("DICT_6X6_50", 6, 50, 6, DICT_6X6_1000),
    entry("DICT_6X6_100", 6, 100, 5, DICT_6X6_1000),
    entry("DICT_6X6_250", 6, 250, 5, DICT_6X6_1000),
    entry("DICT_6X6_1000", 6, 1000, 4, DICT_6X6_1000),
    entry("DICT_7X7_50", 7, 50, 9, DICT_7X7_1000),
    entry("DICT_7X7_100", 7, 100, 8, DICT_7X7_1000),
    entry("DICT_7X7_250", 7, 250, 8, DICT_7X7_1000),
    entry("DICT_7X7_1000", 7, 1000, 6, DICT_7X7_1000),
    entry("DICT_ARUCO_ORIGINAL", 5, 1024, 1, DICT_ARUCO),
    entry("DICT_ARUCO_MIP_36h12", 6, 250, 5, DICT_ARUCO_MIP_36h12),
    entry("DICT_APRILTAG_16h5", 4, 30, 2, DICT_APRILTAG_16h5),
    entry("DICT_APRILTAG_25h9", 5, 35, 4, DICT_APRILTAG_25h9),
    entry("DICT_APRILTAG_36h10", 6, 2320, 4, DICT_APRILTAG_36h10),
    entry("DICT_APRILTAG_36h11", 6, 587, 5, DICT_APRILTAG_36h11),
};

constexpr std::string_view kPrefix = "DICT_";

// ASCII-only upper-casing: bytes outside 'a'..'z' (including UTF-8) stay as they are.
std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  }
  return out;
}

std::string_view drop_prefix(std::string_view s) {
  return s.substr(0, kPrefix.size()) == kPrefix ? s.substr(kPrefix.size()) : s;
}

uint32_t distance(uint64_t code, uint64_t white, uint64_t known) {
  return uint32_t(std::popcount((code & known) ^ white));
}

// The scan is the decoding hot spot: up to 2320 ids x 4 rotations per
// candidate. Portable x86-64 builds lack the popcnt instruction, so keep a clone
// that uses it and let the loader pick.
#if defined(__x86_64__) && defined(__ELF__) && \
    (defined(__clang__) ? __clang_major__ >= 14 : defined(__GNUC__))
#define MARKVANE_POPCNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define MARKVANE_POPCNT_CLONES
#endif

MARKVANE_POPCNT_CLONES
std::optional<Match> scan(const uint64_t* codes, size_t n_ids, uint64_t white, uint64_t known,
                          uint32_t max_distance) {
  for (size_t id = 0; id < n_ids; ++id) {
    const uint64_t* c = codes + 4 * id;
    // Key = distance * 4 + rotation: the minimum key is the smallest distance
    // with ties going to the lower rotation, found without data-dependent
    // branches. Nothing beats distance 0, so taking all four rotations gives the
    // same answer as stopping at a perfect match.
    uint32_t best = distance(c[0], white, known) * 4;
    for (uint32_t r = 1; r < 4; ++r) best = std::min(best, distance(c[r], white, known) * 4 + r);
    if (best / 4 <= max_distance) return Match{int32_t(id), int32_t(best % 4), best / 4};
  }
  return std::nullopt;
}

Vec<uint64_t> packed_codes(const Vec<Vec<uint8_t>>& rows, size_t code_bytes) {
  Vec<uint64_t> packed(rows.size() * 4);
  for (size_t id = 0; id < rows.size(); ++id) {
    for (size_t r = 0; r < 4; ++r) {
      packed[4 * id + r] = pack_code(rows[id].data() + r * code_bytes, code_bytes);
    }
  }
  return packed;
}

}  // namespace

const std::array<std::string_view, 22>& predefined_names() {
  static constexpr std::array<std::string_view, 22> names = [] {
    std::array<std::string_view, 22> out{};
    for (size_t i = 0; i < out.size(); ++i) out[i] = kPredefined[i].name;
    return out;
  }();
  return names;
}

Vec<Vec<uint8_t>> slice_rows(const uint8_t* table, size_t row_bytes, size_t count) {
  Vec<Vec<uint8_t>> rows;
  rows.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* row = table + i * row_bytes;
    rows.emplace_back(row, row + row_bytes);
  }
  return rows;
}

uint64_t pack_code(const uint8_t* bytes, size_t n_bytes) {
  uint64_t v = 0;
  for (size_t i = 0; i < n_bytes; ++i) v = v << 8 | bytes[i];
  return v;
}

void pack_codes(Dictionary& dict) { dict.packed = packed_codes(dict.bytes_list, dict.code_bytes()); }

std::optional<Dictionary> get_predefined_dictionary(std::string_view name) {
  const std::string upper = ascii_upper(name);
  if (upper.size() < kPrefix.size()) return std::nullopt;
  const std::string_view key = drop_prefix(upper);
  for (const Predefined& p : kPredefined) {
    if (ascii_upper(drop_prefix(p.name)) != key) continue;
    Dictionary dict;
    const size_t code_bytes = (size_t(p.marker_size) * p.marker_size + 7) / 8;
    dict.bytes_list = slice_rows(p.table, 4 * code_bytes, p.markers);
    dict.marker_size = p.marker_size;
    dict.max_correction_bits = p.max_correction_bits;
    pack_codes(dict);
    return dict;
  }
  return std::nullopt;
}

const Dictionary* shared_predefined_dictionary(std::string_view name) {
  constexpr size_t kCount = kPredefined.size();
  static std::array<std::once_flag, kCount> built;
  static std::array<Dictionary, kCount> dictionaries;
  const std::optional<std::string_view> listed = canonical_name(name);
  if (!listed) return nullptr;
  size_t i = 0;
  while (kPredefined[i].name != *listed) ++i;
  std::call_once(built[i], [&] { dictionaries[i] = *get_predefined_dictionary(*listed); });
  return &dictionaries[i];
}

std::optional<std::string_view> canonical_name(std::string_view name) {
  const std::string upper = ascii_upper(name);
  if (upper.size() < kPrefix.size()) return std::nullopt;
  const std::string_view key = drop_prefix(upper);
  for (const Predefined& p : kPredefined)
    if (ascii_upper(drop_prefix(p.name)) == key) return p.name;
  return std::nullopt;
}

std::optional<Match> identify(const Dictionary& dict, const CellBitMasks& reading,
                              uint32_t max_distance) {
  const size_t b = dict.code_bytes();
  if (b == 0 || b > 8 || reading.white.size() < b || reading.known.size() < b) return std::nullopt;
  const uint64_t white = pack_code(reading.white.data(), b);
  const uint64_t known = pack_code(reading.known.data(), b);
  const size_t n_ids = dict.bytes_list.size();
  if (dict.packed.size() == 4 * n_ids) {
    return scan(dict.packed.data(), n_ids, white, known, max_distance);
  }
  const Vec<uint64_t> packed = packed_codes(dict.bytes_list, b);
  return scan(packed.data(), n_ids, white, known, max_distance);
}

}  // namespace markvane::dictionary
