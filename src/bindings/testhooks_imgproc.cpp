// Hooks into the threshold, contour and polygon helpers of the ArUco candidate
// source, so tests can check each stage on its own.
#include <string>
#include <optional>
#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstring>

#include "contours.h"
#include "detector.h"
#include "dictionary.h"
#include "corner_refine.h"
#include "imgproc.h"
#include "testhooks.h"

namespace nb = nanobind;

namespace markvane::testhooks {

namespace {

using U8Image = nb::ndarray<const uint8_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using U8Bgr = nb::ndarray<const uint8_t, nb::shape<-1, -1, 3>, nb::c_contig, nb::device::cpu>;
using Pt = std::array<float, 2>;

GrayImage gray_from(const U8Image& a) {
  GrayImage g;
  g.height = uint32_t(a.shape(0));
  g.width = uint32_t(a.shape(1));
  g.data.assign(a.data(), a.data() + a.size());
  return g;
}

template <class T>
nb::ndarray<nb::numpy, T, nb::ndim<2>> to_numpy(const T* src, size_t rows, size_t cols) {
  T* buf = new T[rows * cols];
  if (rows * cols) std::memcpy(buf, src, rows * cols * sizeof(T));
  nb::capsule owner(buf, [](void* p) noexcept { delete[] static_cast<T*>(p); });
  return nb::ndarray<nb::numpy, T, nb::ndim<2>>(buf, {rows, cols}, owner);
}

Vec<Point2f> points_from(const std::vector<Pt>& pts) {
  Vec<Point2f> out;
  for (const Pt& p : pts) out.push_back({p[0], p[1]});
  return out;
}

std::vector<Pt> points_to(const Vec<Point2f>& pts) {
  std::vector<Pt> out;
  for (const Point2f& p : pts) out.push_back({p.x, p.y});
  return out;
}

Quad quad_from(const std::array<Pt, 4>& q) {
  Quad out;
  for (int i = 0; i < 4; ++i) out[i] = {q[i][0], q[i][1]};
  return out;
}

std::array<Pt, 4> quad_to(const Quad& q) {
  std::array<Pt, 4> out;
  for (int i = 0; i < 4; ++i) out[i] = {q[i].x, q[i].y};
  return out;
}

// The settings the decoding tests vary, by their Python names.
DetectorParams params_from(const nb::kwargs& settings) {
  DetectorParams p;
  for (auto [key, value] : settings) {
    const std::string name = nb::cast<std::string>(key);
    if (name == "corner_refinement_method") p.corner_refinement_method = nb::cast<int32_t>(value);
    else if (name == "detect_inverted_marker") p.detect_inverted_marker = nb::cast<bool>(value);
    else if (name == "error_correction_rate") p.error_correction_rate = nb::cast<double>(value);
    else if (name == "min_side_length_canonical_img")
      p.min_side_length_canonical_img = nb::cast<int32_t>(value);
    else throw nb::value_error(("unsupported setting: " + name).c_str());
  }
  return p;
}

}  // namespace

void register_imgproc_hooks(nb::module_& m) {
  // Decoding of explicit candidates: (detections as (corners, id), rejected).
  m.def("finalize",
        [](U8Image gray, const std::vector<std::array<Pt, 4>>& quads, const std::string& name,
           const nb::kwargs& settings) {
          auto dict = dictionary::get_predefined_dictionary(name);
          if (!dict) throw nb::value_error(("unknown dictionary: " + name).c_str());
          Vec<Candidate> cands;
          for (const auto& q : quads) cands.push_back(Candidate{quad_from(q)});
          const detector::Decoded out =
              detector::finalize(gray_from(gray), std::move(cands), *dict, params_from(settings));
          std::vector<std::pair<std::array<Pt, 4>, int32_t>> found;
          for (const Detection& d : out.detections) found.push_back({quad_to(d.corners), d.id});
          std::vector<std::array<Pt, 4>> rejected;
          for (const Candidate& c : out.rejected) rejected.push_back(quad_to(c.corners));
          return std::pair{found, rejected};
        },
        nb::arg("gray"), nb::arg("candidates"), nb::arg("dictionary"), nb::arg("settings"));

  m.def("to_gray", [](U8Bgr bgr) {
    const GrayImage g = imgproc::bgr_to_gray(bgr.data(), uint32_t(bgr.shape(1)), uint32_t(bgr.shape(0)));
    return to_numpy(g.data.data(), g.height, g.width);
  });

  // The bytes copied to `offset` bytes past a 64-byte boundary.
  m.def("stream_copy", [](nb::bytes data, size_t offset) {
    const size_t n = data.size();
    std::vector<uint8_t> room(n + offset + 64);
    uint8_t* base = room.data() + (64 - reinterpret_cast<uintptr_t>(room.data()) % 64) % 64;
    imgproc::stream_copy(base + offset, reinterpret_cast<const uint8_t*>(data.c_str()), n);
    return nb::bytes(reinterpret_cast<const char*>(base + offset), n);
  }, nb::arg("data"), nb::arg("offset"));

  m.def("adaptive_threshold", [](U8Image gray, int32_t window, double constant, bool baseline) {
    const GrayImage g = gray_from(gray);
    const Vec<uint8_t> labels =
        baseline ? imgproc::adaptive_threshold_labels_baseline(g, window, constant)
                 : imgproc::adaptive_threshold_labels(g, window, constant);
    return to_numpy(labels.data(), size_t(g.height) + 2, size_t(g.width) + 2);
  }, nb::arg("gray"), nb::arg("window"), nb::arg("constant"), nb::arg("baseline") = false);

  // simd: the widest kernels it may use ("baseline", "avx2" or "avx512"),
  // where the processor has them.
  m.def("adaptive_threshold_bits", [](U8Image gray, int32_t window, double constant,
                                      const std::string& simd) {
    const GrayImage g = gray_from(gray);
    imgproc::SimdLimit limit = imgproc::SimdLimit::kAvx512;
    if (simd == "baseline") limit = imgproc::SimdLimit::kBaseline;
    else if (simd == "avx2") limit = imgproc::SimdLimit::kAvx2;
    else if (simd != "avx512") throw nb::value_error("simd must be baseline, avx2 or avx512");
    const imgproc::BitLabels labels = imgproc::adaptive_threshold_bits(g, window, constant, limit);
    const size_t rows = size_t(g.height) + 2, cols = labels.words_per_row * 8;
    return to_numpy(reinterpret_cast<const uint8_t*>(labels.bits.data()), rows, cols);
  }, nb::arg("gray"), nb::arg("window"), nb::arg("constant"), nb::arg("simd") = "avx512");

  // Two windows' bit-planes from the one-pass kernel where it applies, each
  // row band [cuts[i], cuts[i + 1]) computed on its own: (shared, plane a,
  // plane b, copied), shared saying whether the one-pass kernel ran. Where it
  // did, `copied` is (plane a, plane b, image) from the same bands run on an
  // image whose pixels are still to be copied in from `gray` (filled with
  // 0x5a until then); otherwise None.
  m.def("adaptive_threshold_bits_pair", [](U8Image gray, int32_t window_a, int32_t window_b,
                                           double constant, const std::vector<uint32_t>& cuts) {
    const GrayImage g = gray_from(gray);
    auto run = [&](const GrayImage& image, imgproc::RowCopy copy) {
      std::pair<imgproc::BitLabels, imgproc::BitLabels> planes{
          imgproc::make_bit_labels(g.width, g.height), imgproc::make_bit_labels(g.width, g.height)};
      for (size_t i = 0; i + 1 < cuts.size(); ++i)
        imgproc::adaptive_threshold_bits_rows_pair(image, window_a, window_b, constant, cuts[i],
                                                   cuts[i + 1], planes.first, planes.second,
                                                   imgproc::SimdLimit::kAvx512, copy);
      return planes;
    };
    const size_t rows = size_t(g.height) + 2;
    auto plane = [&](const imgproc::BitLabels& p) {
      return to_numpy(reinterpret_cast<const uint8_t*>(p.bits.data()), rows, p.words_per_row * 8);
    };
    const bool shared = imgproc::thresholds_share_a_pass(g, window_a, window_b);
    const auto [a, b] = run(g, {});
    nb::object copied = nb::none();
    if (shared) {
      GrayImage pending = g;
      std::fill(pending.data.begin(), pending.data.end(), uint8_t(0x5a));
      const auto [ca, cb] = run(pending, {g.data.data(), pending.data.data()});
      copied = nb::make_tuple(plane(ca), plane(cb),
                              to_numpy(pending.data.data(), g.height, g.width));
    }
    return nb::make_tuple(shared, plane(a), plane(b), copied);
  }, nb::arg("gray"), nb::arg("window_a"), nb::arg("window_b"), nb::arg("constant"),
     nb::arg("cuts"));

  // Every border of the threshold of `gray`, in the order followed:
  // [(hole, points as an n x 2 array of x, y)]; with skip_short, those the
  // candidate search follows when it keeps no border of 17 points or fewer.
  m.def("trace_borders", [](U8Image gray, int32_t window, double constant, bool skip_short) {
    const GrayImage g = gray_from(gray);
    Vec<contours::Border> borders;
    {
      nb::gil_scoped_release release;
      borders = contours::trace_borders(imgproc::adaptive_threshold_bits(g, window, constant),
                                        skip_short);
    }
    nb::list out;
    for (const contours::Border& b : borders) {
      Vec<int32_t> xy;
      xy.reserve(2 * b.points.size());
      for (const Point2i& p : b.points) xy.push_back(p.x), xy.push_back(p.y);
      out.append(nb::make_tuple(b.hole, to_numpy(xy.data(), b.points.size(), 2)));
    }
    return out;
  }, nb::arg("gray"), nb::arg("window"), nb::arg("constant") = 7.0,
     nb::arg("skip_short") = false);

  m.def("find_candidates",
        [](U8Image gray, int32_t window, double adaptive_thresh_constant,
           double min_marker_perimeter_rate, double max_marker_perimeter_rate,
           double polygonal_approx_accuracy_rate, double min_corner_distance_rate,
           int32_t min_side_length_canonical_img, int32_t corner_refinement_method) {
          const GrayImage g = gray_from(gray);
          DetectorParams p;
          p.adaptive_thresh_constant = adaptive_thresh_constant;
          p.min_marker_perimeter_rate = min_marker_perimeter_rate;
          p.max_marker_perimeter_rate = max_marker_perimeter_rate;
          p.polygonal_approx_accuracy_rate = polygonal_approx_accuracy_rate;
          p.min_corner_distance_rate = min_corner_distance_rate;
          p.min_side_length_canonical_img = min_side_length_canonical_img;
          p.corner_refinement_method = corner_refinement_method;
          Vec<Candidate> cands;
          {
            nb::gil_scoped_release release;
            cands = contours::find_candidates(g, p, window);
          }
          std::vector<std::array<Pt, 4>> out;
          for (const Candidate& c : cands) out.push_back(quad_to(c.corners));
          return out;
        },
        nb::arg("gray"), nb::arg("window") = 3, nb::arg("adaptive_thresh_constant") = 7.0,
        nb::arg("min_marker_perimeter_rate") = 0.03, nb::arg("max_marker_perimeter_rate") = 4.0,
        nb::arg("polygonal_approx_accuracy_rate") = 0.03, nb::arg("min_corner_distance_rate") = 0.05,
        nb::arg("min_side_length_canonical_img") = 32, nb::arg("corner_refinement_method") = 0);

  // With max_vertices, the fit the candidate search makes: a polygon of
  // more vertices comes back as some polygon of more.
  m.def("approx_poly_dp_closed", [](const std::vector<Pt>& pts, float eps,
                                    std::optional<size_t> max_vertices) {
    if (!max_vertices) return points_to(imgproc::approx_poly_dp_closed(points_from(pts), eps));
    const Vec<Point2f> in = points_from(pts);
    Vec<Point2f> out, scratch;
    imgproc::approx_poly_dp_closed(in.data(), in.size(), eps, out, scratch, *max_vertices);
    return points_to(out);
  }, nb::arg("pts"), nb::arg("eps"), nb::arg("max_vertices") = nb::none());

  m.def("dp_open", [](const std::vector<Pt>& pts, float eps) {
    const Vec<Point2f> in = points_from(pts);
    Vec<Point2f> out;
    imgproc::dp_open(in.data(), in.size(), eps, out);
    return points_to(out);
  });

  m.def("is_convex", [](const std::array<Pt, 4>& q) { return imgproc::is_convex(quad_from(q)); });

  m.def("otsu_threshold", [](const std::array<uint64_t, 256>& hist) { return imgproc::otsu_threshold(hist); });

  m.def("perspective_transform",
        [](const std::array<Pt, 4>& src, const std::array<Pt, 4>& dst) {
          return imgproc::get_perspective_transform(quad_from(src), quad_from(dst));
        });

  m.def("refine_from_contour",
        [](const std::array<Pt, 4>& quad, const std::vector<std::array<int32_t, 2>>& contour) {
          Vec<Point2i> pts;
          for (const auto& p : contour) pts.push_back({p[0], p[1]});
          return quad_to(corner_refine::refine_from_contour(quad_from(quad), pts));
        });
}

}  // namespace markvane::testhooks
