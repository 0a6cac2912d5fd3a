// Test hooks for the dictionaries: table contents, name lookup and matching.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "dictionary.h"
#include "testhooks.h"

namespace nb = nanobind;

namespace markvane::testhooks {
namespace {

using dictionary::Dictionary;

Dictionary lookup(const std::string& name) {
  auto dict = dictionary::get_predefined_dictionary(name);
  if (!dict) throw nb::value_error(("unknown dictionary: " + name).c_str());
  return std::move(*dict);
}

Vec<uint8_t> to_vec(nb::bytes b) {
  const auto* p = static_cast<const uint8_t*>(b.data());
  return Vec<uint8_t>(p, p + b.size());
}

dictionary::CellBitMasks masks(const Dictionary& dict, nb::bytes white, nb::bytes known) {
  dictionary::CellBitMasks m{to_vec(white), to_vec(known), dict.marker_size * dict.marker_size};
  if (m.white.size() != dict.code_bytes() || m.known.size() != dict.code_bytes()) {
    throw nb::value_error("white and known must each be one code long");
  }
  return m;
}

using MatchTuple = std::tuple<int32_t, int32_t, uint32_t>;

std::optional<MatchTuple> as_tuple(std::optional<dictionary::Match> m) {
  if (!m) return std::nullopt;
  return MatchTuple{m->id, m->rotation, m->distance};
}

}  // namespace

void register_dictionary_hooks(nb::module_& m) {
  m.def("dictionary_names", [] {
    std::vector<std::string> out;
    for (auto name : dictionary::predefined_names()) out.emplace_back(name);
    return out;
  });

  // (marker_size, max_correction_bits, n_markers), or None for an unknown name.
  m.def("dictionary_info", [](const std::string& name) -> std::optional<std::tuple<uint32_t, int32_t, size_t>> {
    auto dict = dictionary::get_predefined_dictionary(name);
    if (!dict) return std::nullopt;
    return std::tuple{dict->marker_size, dict->max_correction_bits, dict->bytes_list.size()};
  });

  // Every row of the dictionary concatenated, in id order.
  m.def("dictionary_bytes", [](const std::string& name) {
    const Dictionary dict = lookup(name);
    std::string out;
    for (const auto& row : dict.bytes_list) out.append(row.begin(), row.end());
    return nb::bytes(out.data(), out.size());
  });

  // (id, rotation, distance) or None. With packed=False the precomputed codes
  // are dropped to exercise the on-the-fly path.
  m.def(
      "identify",
      [](const std::string& name, nb::bytes white, nb::bytes known, uint32_t max_distance,
         bool packed) {
        Dictionary dict = lookup(name);
        if (!packed) dict.packed.clear();
        return as_tuple(dictionary::identify(dict, masks(dict, white, known), max_distance));
      },
      nb::arg("name"), nb::arg("white"), nb::arg("known"), nb::arg("max_distance"),
      nb::arg("packed") = true);

  // Mean nanoseconds per identify call over `repeats` calls (no match found is
  // the worst case: every id and rotation is visited).
  m.def("identify_ns", [](const std::string& name, nb::bytes white, nb::bytes known,
                          uint32_t max_distance, int repeats) {
    const Dictionary dict = lookup(name);
    const auto reading = masks(dict, white, known);
    nb::gil_scoped_release release;
    const auto t0 = std::chrono::steady_clock::now();
    int32_t sink = 0;
    for (int i = 0; i < repeats; ++i) {
      auto r = dictionary::identify(dict, reading, max_distance);
      sink += r ? r->id : -1;
    }
    const auto t1 = std::chrono::steady_clock::now();
    static_cast<void>(sink);
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / repeats;
  });
}

}  // namespace markvane::testhooks
