// Hooks into the AprilTag quad path, one per stage, so tests can check the
// threshold, the labelling, the clusters and the quad fit on their own.
#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstring>
#include <initializer_list>

#include "apriltag.h"
#include "testhooks.h"

namespace nb = nanobind;

namespace markvane::testhooks {

namespace {

using U8Image = nb::ndarray<const uint8_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using PointArray = nb::ndarray<const int32_t, nb::shape<-1, 4>, nb::c_contig, nb::device::cpu>;
using Pt = std::array<float, 2>;

GrayImage gray_from(const U8Image& a) {
  GrayImage g;
  g.height = uint32_t(a.shape(0));
  g.width = uint32_t(a.shape(1));
  g.data.assign(a.data(), a.data() + a.size());
  return g;
}

// A NumPy array owning a copy of `count` elements.
template <class T>
nb::ndarray<nb::numpy, T> to_numpy(const T* src, std::initializer_list<size_t> shape) {
  size_t count = 1;
  for (size_t s : shape) count *= s;
  T* buf = new T[count ? count : 1];
  if (count) std::memcpy(buf, src, count * sizeof(T));
  nb::capsule owner(buf, [](void* p) noexcept { delete[] static_cast<T*>(p); });
  return nb::ndarray<nb::numpy, T>(buf, shape, owner);
}

nb::ndarray<nb::numpy, uint8_t> image_to_numpy(const GrayImage& g) {
  return to_numpy(g.data.data(), {g.height, g.width});
}

Vec<apriltag::EdgePoint> points_from(const PointArray& a) {
  Vec<apriltag::EdgePoint> out(a.shape(0));
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = {a(i, 0), a(i, 1), a(i, 2), a(i, 3)};
  }
  return out;
}

nb::ndarray<nb::numpy, int32_t> points_to(const Vec<apriltag::EdgePoint>& pts) {
  Vec<int32_t> flat;
  flat.reserve(pts.size() * 4);
  for (const apriltag::EdgePoint& p : pts) flat.insert(flat.end(), {p.x, p.y, p.gx, p.gy});
  return to_numpy(flat.data(), {pts.size(), 4});
}

std::array<Pt, 4> quad_to(const Quad& q) {
  std::array<Pt, 4> out;
  for (int i = 0; i < 4; ++i) out[i] = {q[i].x, q[i].y};
  return out;
}

// The AprilTag settings, by their Python names.
DetectorParams params_from(const nb::kwargs& settings) {
  DetectorParams p;
  for (auto [key, value] : settings) {
    const std::string name = nb::cast<std::string>(key);
    if (name == "april_tag_quad_decimate") p.april_tag_quad_decimate = nb::cast<double>(value);
    else if (name == "april_tag_quad_sigma") p.april_tag_quad_sigma = nb::cast<double>(value);
    else if (name == "april_tag_critical_rad") p.april_tag_critical_rad = nb::cast<double>(value);
    else if (name == "april_tag_max_line_fit_mse") p.april_tag_max_line_fit_mse = nb::cast<double>(value);
    else if (name == "april_tag_min_cluster_pixels") p.april_tag_min_cluster_pixels = nb::cast<int32_t>(value);
    else if (name == "april_tag_max_nmaxima") p.april_tag_max_nmaxima = nb::cast<int32_t>(value);
    else if (name == "april_tag_min_white_black_diff")
      p.april_tag_min_white_black_diff = nb::cast<int32_t>(value);
    else if (name == "april_tag_deglitch") p.april_tag_deglitch = nb::cast<bool>(value);
    else if (name == "april_tag_refine_edges") p.april_tag_refine_edges = nb::cast<bool>(value);
    else throw nb::value_error(("unsupported setting: " + name).c_str());
  }
  return p;
}

}  // namespace

void register_apriltag_hooks(nb::module_& m) {
  m.def("april_decimate", [](U8Image gray, double factor) {
    return image_to_numpy(apriltag::decimate(gray_from(gray), factor));
  });

  m.def("april_blur", [](U8Image gray, double sigma) {
    return image_to_numpy(apriltag::blur(gray_from(gray), sigma));
  });

  m.def("april_threshold", [](U8Image gray, int32_t min_white_black_diff, bool deglitch) {
    return image_to_numpy(apriltag::threshold(gray_from(gray), min_white_black_diff, deglitch));
  }, nb::arg("gray"), nb::arg("min_white_black_diff") = 5, nb::arg("deglitch") = false);

  // The forest as built (before any key lookup compresses it), the edges as
  // rows (x, y, gx, gy, from_pixel, to_pixel) and each edge's cluster key.
  m.def("april_boundary_edges", [](U8Image three_valued, bool listed_unions) {
    const GrayImage g = gray_from(three_valued);
    apriltag::Boundaries b = apriltag::boundary_edges(g, listed_unions);
    nb::dict out;
    const size_t rows = b.forest.labels.empty() ? 0 : g.height;
    const size_t cols = b.forest.labels.empty() ? 0 : g.width;
    out["labels"] = to_numpy(b.forest.labels.data(), {rows, cols});
    out["parents"] = to_numpy(b.forest.parents.data(), {b.forest.parents.size()});
    out["sizes"] = to_numpy(b.forest.sizes.data(), {b.forest.sizes.size()});
    Vec<int64_t> edges;
    Vec<uint64_t> keys;
    for (const apriltag::BoundaryEdge& e : b.edges) {
      edges.insert(edges.end(), {e.point.x, e.point.y, e.point.gx, e.point.gy, e.from_pixel, e.to_pixel});
      keys.push_back(apriltag::edge_key(b.forest.parents, b.forest.labels, e.from_pixel, e.to_pixel));
    }
    out["edges"] = to_numpy(edges.data(), {b.edges.size(), 6});
    out["keys"] = to_numpy(keys.data(), {keys.size()});
    return out;
  }, nb::arg("three_valued"), nb::arg("listed_unions") = false);

  m.def("april_boundary_clusters", [](U8Image three_valued, uint32_t min_points) {
    apriltag::Boundaries b = apriltag::boundary_edges(gray_from(three_valued));
    std::vector<nb::ndarray<nb::numpy, int32_t>> out;
    for (const auto& c : apriltag::boundary_clusters(b.edges, b.forest, min_points)) {
      out.push_back(points_to(c));
    }
    return out;
  });

  // The same clusters by the compact route `candidates` takes.
  m.def("april_image_clusters", [](U8Image three_valued, uint32_t min_points) {
    std::vector<nb::ndarray<nb::numpy, int32_t>> out;
    for (const auto& c : apriltag::image_clusters(gray_from(three_valued), min_points)) out.push_back(points_to(c));
    return out;
  });

  // Line fit over points i0..i1 of an ordered point list, weighted from `gray`.
  m.def("april_line_fit",
        [](PointArray points, U8Image gray, size_t i0, size_t i1)
            -> std::optional<std::tuple<double, double, double, double, double>> {
          const Vec<apriltag::EdgePoint> pts = points_from(points);
          if (i0 >= pts.size() || i1 >= pts.size()) throw nb::index_error("point index out of range");
          const auto f = apriltag::line_fits(pts, gray_from(gray)).fit(i0, i1);
          if (!f) return std::nullopt;
          return std::tuple{f->nx, f->ny, f->c, f->mse, f->err};
        });

  m.def("april_fit_quad",
        [](PointArray cluster, U8Image preprocessed, const nb::kwargs& settings)
            -> std::optional<std::array<Pt, 4>> {
          const auto q = apriltag::fit_quad(points_from(cluster), gray_from(preprocessed),
                                            params_from(settings));
          if (!q) return std::nullopt;
          return quad_to(*q);
        });

  // The quad search over points in fitting order: (maxima, best quadruple
  // as positions among them or None, total error).
  m.def("april_search_quad", [](PointArray points, U8Image preprocessed, bool exhaustive,
                                const nb::kwargs& settings) {
    const apriltag::QuadSearch r =
        apriltag::search_quad(points_from(points), gray_from(preprocessed), params_from(settings), exhaustive);
    return std::tuple{std::vector<uint32_t>(r.maxima.begin(), r.maxima.end()), r.best, r.total};
  });

  // A quad's sides moved onto the image's steps (corners in the fitter's
  // convention), searched within `reach` pixels.
  m.def("april_refine_edges", [](U8Image gray, std::array<Pt, 4> quad, float reach) {
    Quad q;
    for (int i = 0; i < 4; ++i) q[i] = {quad[i][0], quad[i][1]};
    return quad_to(apriltag::refine_edges(gray_from(gray), q, reach));
  });

  m.def("april_candidates", [](U8Image gray, const nb::kwargs& settings) {
    const GrayImage g = gray_from(gray);
    const DetectorParams p = params_from(settings);
    Vec<Candidate> cands;
    {
      nb::gil_scoped_release release;
      cands = apriltag::candidates(g, p);
    }
    std::vector<std::array<Pt, 4>> out;
    for (const Candidate& c : cands) out.push_back(quad_to(c.corners));
    return out;
  });
}

}  // namespace markvane::testhooks
