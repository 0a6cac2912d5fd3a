// Python wrappers of the camera model, the PnP solvers and rigid bodies.
// Arguments are converted in parameter order, then validated in a fixed order;
// only RANSAC and the rigid-body pose release the interpreter lock.
#include "pose.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "convert.h"
#include "pnp.h"
#include "rigid_body.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace markvane::py {

namespace {

pnp::Camera camera_or_raise(std::variant<pnp::Camera, std::string> parsed) {
  if (auto* message = std::get_if<std::string>(&parsed)) throw nb::value_error(message->c_str());
  return std::get<pnp::Camera>(parsed);
}

constexpr size_t kMaxDistortion = std::tuple_size_v<pnp::DistortionCoeffs>;

}  // namespace

pnp::Camera CameraArgs::parse() const {
  // Anything but 3 rows of 3 gets parse_camera's matrix message.
  std::span<const std::vector<double>> rows;
  if (matrix.count == 3 &&
      std::all_of(matrix.lengths.begin(), matrix.lengths.end(), [](size_t n) { return n == 3; })) {
    rows = matrix.rows;
  }
  if (dist && dist->values.size() != dist->size) {
    // Too long to be read: only its length is known, and it is refused
    // after the matrix check, as parse_camera orders them.
    camera_or_raise(pnp::parse_camera(rows, nullptr));
    throw nb::value_error(pnp::distortion_count_error(dist->size).value().c_str());
  }
  return camera_or_raise(pnp::parse_camera(rows, dist ? &dist->values : nullptr));
}

CameraArgs arg_camera(nb::handle camera_matrix, nb::handle dist_coeffs) {
  CameraArgs args;
  args.matrix = convert_arg("camera_matrix", [&] { return to_f64_rows(camera_matrix, 3, 3); });
  if (!dist_coeffs.is_none()) {
    args.dist = convert_arg("dist_coeffs", [&] { return to_f64_list_upto(dist_coeffs, kMaxDistortion); });
  }
  return args;
}

namespace {

struct PyRigidBody {
  rigid_body::RigidBody body;
  // The defining transforms, kept so the body can be pickled and compared.
  Vec<rigid_body::Rotation> rotations;
  Vec<rigid_body::Translation> translations;
};

struct PyRigidBodyPose {
  rigid_body::RigidBodyPose result;
};

// ---- argument conversion -------------------------------------------------

// Point lists are converted when bound, but a NumPy array of the right row
// width is only copied by the to_points* functions, after the count checks.
FloatItems arg_points(const char* name, nb::handle value, size_t width) {
  return convert_arg(name, [&] { return to_f64_items(value, width); });
}

pnp::Points3 to_points3(FloatItems& items) {
  std::vector<double> flat = items.values();
  pnp::Points3 points(items.size());
  for (size_t i = 0; i < points.size(); ++i) {
    points[i] = pnp::Vec3(flat[3 * i], flat[3 * i + 1], flat[3 * i + 2]);
  }
  return points;
}

pnp::Points2 to_points2(FloatItems& items) {
  std::vector<double> flat = items.values();
  pnp::Points2 points(items.size());
  for (size_t i = 0; i < points.size(); ++i) points[i] = pnp::Vec2(flat[2 * i], flat[2 * i + 1]);
  return points;
}

pnp::Vec3 arg_vec3(const char* name, nb::handle value) {
  std::vector<double> v = convert_arg(name, [&] { return to_f64_vector_fixed(value, 3); });
  return pnp::Vec3(v[0], v[1], v[2]);
}

std::optional<pnp::Vec3> arg_optional_vec3(const char* name, nb::handle value) {
  if (value.is_none()) return std::nullopt;
  return arg_vec3(name, value);
}

// RANSAC settings as converted, with the shared validation order.
pnp::RansacSettings arg_ransac_settings(nb::handle iterations, nb::handle reprojection_error,
                                        nb::handle confidence, nb::handle seed) {
  pnp::RansacSettings s;
  s.iterations = arg_u64("iterations", iterations);
  s.reprojection_error = arg_f64("reprojection_error", reprojection_error);
  s.confidence = arg_f64("confidence", confidence);
  s.seed = arg_u64("seed", seed);
  return s;
}

void check_ransac_settings(const pnp::RansacSettings& s) {
  if (s.iterations == 0) throw nb::value_error("iterations must be greater than zero");
  if (!(std::isfinite(s.reprojection_error) && s.reprojection_error > 0.0)) {
    throw nb::value_error("reprojection_error must be finite and greater than zero");
  }
  if (!(std::isfinite(s.confidence) && s.confidence > 0.0 && s.confidence < 1.0)) {
    throw nb::value_error("confidence must be finite and between 0 and 1");
  }
}

// ---- result building ------------------------------------------------------

nb::list to_list(const pnp::Vec3& v) {
  nb::list out;
  for (int i = 0; i < 3; ++i) out.append(nb::float_(v[i]));
  return out;
}

template <class T>
nb::list to_int_list(const Vec<T>& values) {
  nb::list out;
  for (T v : values) out.append(nb::int_(v));
  return out;
}

// ---- functions ------------------------------------------------------------

void check_same_length(size_t a, size_t b) {
  if (a != b) throw nb::value_error("object_points and image_points must have the same length");
}

nb::object solve_pnp(nb::handle object_points, nb::handle image_points, nb::handle camera_matrix,
                     nb::handle dist_coeffs, nb::handle rvec, nb::handle tvec) {
  FloatItems object_items = arg_points("object_points", object_points, 3);
  FloatItems image_items = arg_points("image_points", image_points, 2);
  CameraArgs camera_args = arg_camera(camera_matrix, dist_coeffs);
  std::optional<pnp::Vec3> r = arg_optional_vec3("rvec", rvec);
  std::optional<pnp::Vec3> t = arg_optional_vec3("tvec", tvec);

  check_same_length(object_items.size(), image_items.size());
  if (object_items.size() < 4) throw nb::value_error("need at least 4 point correspondences");
  pnp::Camera camera = camera_args.parse();
  if (r.has_value() != t.has_value()) throw nb::value_error("rvec and tvec must be supplied together");
  std::optional<pnp::Pose> guess;
  if (r) guess = pnp::Pose{*r, *t};

  pnp::Points3 object = to_points3(object_items);
  pnp::Points2 image = to_points2(image_items);
  auto pose = pnp::solve_pnp_with_refinement(object, image, camera, guess, 20);
  if (!pose) return nb::none();
  return nb::make_tuple(to_list(pose->rvec), to_list(pose->tvec));
}

bool all_finite(const pnp::Points3& object, const pnp::Points2& image) {
  for (const auto& p : object) {
    if (!p.allFinite()) return false;
  }
  for (const auto& p : image) {
    if (!p.allFinite()) return false;
  }
  return true;
}

nb::object solve_pnp_ransac(nb::handle object_points, nb::handle image_points, nb::handle camera_matrix,
                            nb::handle dist_coeffs, nb::handle iterations, nb::handle reprojection_error,
                            nb::handle confidence, nb::handle seed) {
  FloatItems object_items = arg_points("object_points", object_points, 3);
  FloatItems image_items = arg_points("image_points", image_points, 2);
  CameraArgs camera_args = arg_camera(camera_matrix, dist_coeffs);
  pnp::RansacSettings settings = arg_ransac_settings(iterations, reprojection_error, confidence, seed);

  check_same_length(object_items.size(), image_items.size());
  if (object_items.size() < 5) {
    throw nb::value_error(
        "solve_pnp_ransac needs at least 5 point correspondences (6 for non-planar geometry)");
  }
  check_ransac_settings(settings);
  pnp::Points3 object = to_points3(object_items);
  pnp::Points2 image = to_points2(image_items);
  if (!all_finite(object, image)) {
    throw nb::value_error("object_points and image_points must contain only finite values");
  }
  pnp::Camera camera = camera_args.parse();

  std::optional<pnp::RansacPose> result;
  {
    nb::gil_scoped_release unlocked;
    result = pnp::solve_pnp_ransac(object, image, camera, settings);
  }
  if (!result) return nb::none();
  return nb::make_tuple(to_list(result->pose.rvec), to_list(result->pose.tvec), to_int_list(result->inliers),
                        nb::float_(result->reprojection_rmse));
}

Vec<rigid_body::MarkerCorners> to_marker_corners(FloatItems& items) {
  std::vector<double> flat = items.values();
  Vec<rigid_body::MarkerCorners> out(items.size());
  for (size_t i = 0; i < out.size(); ++i) {
    for (size_t k = 0; k < 4; ++k) out[i][k] = pnp::Vec2(flat[8 * i + 2 * k], flat[8 * i + 2 * k + 1]);
  }
  return out;
}

const PyRigidBody& arg_rigid_body(nb::handle value) {
  return convert_arg("rigid_body", [&]() -> const PyRigidBody& {
    return instance_of<PyRigidBody>(value, "RigidBody");
  });
}

nb::object estimate_rigid_body_pose(nb::handle marker_corners, nb::handle marker_ids, nb::handle rigid_body,
                                    nb::handle camera_matrix, nb::handle dist_coeffs, nb::handle iterations,
                                    nb::handle reprojection_error, nb::handle confidence, nb::handle seed) {
  FloatItems corner_items = convert_arg("marker_corners", [&] { return to_f64_tables(marker_corners, 4, 2); });
  std::vector<int32_t> ids = convert_arg("marker_ids", [&] { return to_i32_list(marker_ids); });
  const PyRigidBody& body = arg_rigid_body(rigid_body);
  CameraArgs camera_args = arg_camera(camera_matrix, dist_coeffs);
  pnp::RansacSettings settings = arg_ransac_settings(iterations, reprojection_error, confidence, seed);

  check_ransac_settings(settings);
  if (corner_items.size() != ids.size()) {
    throw nb::value_error("marker_corners and marker_ids must have the same length");
  }
  Vec<rigid_body::MarkerCorners> corners = to_marker_corners(corner_items);
  auto gathered = rigid_body::gather_correspondences(body.body, corners, ids);
  if (auto* message = std::get_if<std::string>(&gathered)) throw nb::value_error(message->c_str());
  const auto& matches = std::get<rigid_body::Correspondences>(gathered);
  // No known marker is an estimation failure, decided before the camera is looked at.
  if (matches.used_marker_ids.empty()) return nb::none();
  pnp::Camera camera = camera_args.parse();

  std::optional<rigid_body::RigidBodyPose> result;
  {
    nb::gil_scoped_release unlocked;
    result = rigid_body::estimate_pose(matches, camera, settings);
  }
  if (!result) return nb::none();
  return nb::cast(PyRigidBodyPose{std::move(*result)});
}

nb::list project_points(nb::handle object_points, nb::handle rvec, nb::handle tvec, nb::handle camera_matrix,
                        nb::handle dist_coeffs) {
  FloatItems object_items = arg_points("object_points", object_points, 3);
  pnp::Pose pose{arg_vec3("rvec", rvec), arg_vec3("tvec", tvec)};
  pnp::Camera camera = arg_camera(camera_matrix, dist_coeffs).parse();

  pnp::Points3 object = to_points3(object_items);
  pnp::Points2 pixels;
  pnp::project_points(object, pose, camera, pixels);
  nb::list out;
  for (const pnp::Vec2& p : pixels) {
    nb::list uv;
    uv.append(nb::float_(p.x()));
    uv.append(nb::float_(p.y()));
    out.append(uv);
  }
  return out;
}

constexpr const char* kRodriguesShapeError = "src must be 3x1 / 1x3 (rotation vector) or 3x3 (rotation matrix)";

// Plain numbers, as a list, a tuple or a 1-D array: the flat rotation vector
// callers usually hold. Nothing when src is not flat; a flat src that is not
// three numbers long is refused with the shape message.
std::optional<pnp::Vec3> flat_rotation_vector(nb::handle src) {
  NumericArray array(src);
  if (array.valid()) {
    if (array.ndim() != 1) return std::nullopt;
    if (array.extent(0) != 3) throw nb::value_error(kRodriguesShapeError);
    return pnp::Vec3(array.f64(0), array.f64(1), array.f64(2));
  }
  if (!(PyList_Check(src.ptr()) || PyTuple_Check(src.ptr()))) return std::nullopt;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(src.ptr());
  if (n == 0) return std::nullopt;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(src.ptr(), i);
    if (PySequence_Check(item) || !PyNumber_Check(item)) return std::nullopt;
  }
  if (n != 3) throw nb::value_error(kRodriguesShapeError);
  std::vector<double> v = convert_arg("src", [&] { return to_f64_fixed(src, 3); });
  return pnp::Vec3(v[0], v[1], v[2]);
}

nb::list rodrigues(nb::handle src) {
  if (std::optional<pnp::Vec3> v = flat_rotation_vector(src)) {
    const pnp::Mat3 r = pnp::rodrigues_v2m(*v);
    nb::list out;
    for (int i = 0; i < 3; ++i) out.append(to_list(r.row(i).transpose()));
    return out;
  }
  // Only the row count, the row lengths and the first three entries of the
  // first three rows decide the result.
  FloatRows rows = convert_arg("src", [&] { return to_f64_rows(src, 3, 3); });
  auto rows_at_least = [&](size_t n) {
    return std::all_of(rows.lengths.begin(), rows.lengths.end(), [n](size_t len) { return len >= n; });
  };
  const size_t first = rows.count == 0 ? 0 : rows.lengths[0];
  nb::list out;
  if (rows.count == 1 && first == 3) {
    const auto& v = rows.rows[0];
    pnp::Mat3 r = pnp::rodrigues_v2m(pnp::Vec3(v[0], v[1], v[2]));
    for (int i = 0; i < 3; ++i) out.append(to_list(r.row(i).transpose()));
  } else if (rows.count == 3 && first == 1 && rows_at_least(1)) {
    pnp::Mat3 r = pnp::rodrigues_v2m(pnp::Vec3(rows.rows[0][0], rows.rows[1][0], rows.rows[2][0]));
    for (int i = 0; i < 3; ++i) out.append(to_list(r.row(i).transpose()));
  } else if (rows.count == 3 && first == 3 && rows_at_least(3)) {
    pnp::Mat3 m;
    for (int i = 0; i < 3; ++i) m.row(i) << rows.rows[i][0], rows.rows[i][1], rows.rows[i][2];
    pnp::Vec3 v = pnp::rodrigues_m2v(m);
    for (int i = 0; i < 3; ++i) {
      nb::list cell;
      cell.append(nb::float_(v[i]));
      out.append(cell);
    }
  } else {
    throw nb::value_error(kRodriguesShapeError);
  }
  return out;
}

// ---- classes --------------------------------------------------------------

void init_rigid_body(PyRigidBody* self, nb::handle tag_size_m, nb::handle marker_ids, nb::handle rotations,
                     nb::handle translations) {
  double size = arg_f64("tag_size_m", tag_size_m);
  std::vector<int32_t> ids = convert_arg("marker_ids", [&] { return to_i32_list(marker_ids); });
  FloatItems rotation_items =
      convert_arg("rotations_marker_to_reference", [&] { return to_f64_tables(rotations, 3, 3); });
  FloatItems translation_items =
      convert_arg("translations_marker_to_reference", [&] { return to_f64_items(translations, 3); });
  // The size checks come first, before a (possibly huge) array is copied.
  if (auto message = rigid_body::rigid_body_size_error(size, ids.size(), rotation_items.size(),
                                                       translation_items.size())) {
    throw nb::value_error(message->c_str());
  }

  std::vector<double> rotation_flat = rotation_items.values();
  std::vector<double> translation_flat = translation_items.values();
  Vec<rigid_body::Rotation> rs(rotation_items.size());
  for (size_t i = 0; i < rs.size(); ++i) std::copy_n(rotation_flat.begin() + 9 * i, 9, rs[i].begin());
  Vec<rigid_body::Translation> ts(translation_items.size());
  for (size_t i = 0; i < ts.size(); ++i) std::copy_n(translation_flat.begin() + 3 * i, 3, ts[i].begin());

  auto made = rigid_body::make_rigid_body(size, ids, rs, ts);
  if (auto* message = std::get_if<std::string>(&made)) throw nb::value_error(message->c_str());
  new (self) PyRigidBody{std::move(std::get<rigid_body::RigidBody>(made)), std::move(rs), std::move(ts)};
}

const PyRigidBodyPose& pose_of(nb::handle self) { return instance_of<PyRigidBodyPose>(self, "RigidBodyPose"); }
const PyRigidBody& body_of(nb::handle self) { return instance_of<PyRigidBody>(self, "RigidBody"); }

constexpr const char* kRigidBodyDoc =
    "RigidBody(tag_size_m, marker_ids, rotations_marker_to_reference, translations_marker_to_reference)\n"
    "--\n\n"
    "A collection of square markers with fixed transforms into one reference frame.\n"
    "\n"
    "Construct this once from a rigid-body calibration and reuse it for every frame.";

constexpr const char* kRigidBodyPoseDoc = "Result returned by `estimate_rigid_body_pose`.";

constexpr const char* kSolvePnpSig =
    "solve_pnp(object_points, image_points, camera_matrix, dist_coeffs=None, rvec=None, tvec=None)";
constexpr const char* kSolvePnpRansacSig =
    "solve_pnp_ransac(object_points, image_points, camera_matrix, dist_coeffs=None, iterations=100, "
    "reprojection_error=3.0, confidence=0.99, seed=0)";
constexpr const char* kRigidBodyPoseFnSig =
    "estimate_rigid_body_pose(marker_corners, marker_ids, rigid_body, camera_matrix, dist_coeffs=None, "
    "iterations=100, reprojection_error=3.0, confidence=0.99, seed=0)";
constexpr const char* kProjectPointsSig =
    "project_points(object_points, rvec, tvec, camera_matrix, dist_coeffs=None)";
constexpr const char* kRodriguesSig = "rodrigues(src)";

constexpr const char* kSolvePnpDoc =
    "Estimate the pose of a set of 3D-2D correspondences (cv::solvePnP,\n"
    "SOLVEPNP_ITERATIVE).\n"
    "\n"
    "`object_points` are Nx3 in board/world coordinates, `image_points` Nx2 in\n"
    "pixels. Returns `(rvec, tvec)` as 3-element lists, or None if the solve fails.\n"
    "Pass `rvec`/`tvec` to seed the optimisation (OpenCV's `useExtrinsicGuess`).";

constexpr const char* kSolvePnpRansacDoc =
    "Robustly estimate pose while rejecting bad 3D-2D correspondences.\n"
    "\n"
    "Returns `(rvec, tvec, inlier_indices, reprojection_rmse)`, or None when no\n"
    "consensus pose can be found. This Stage-1 solver samples five points for a\n"
    "planar object and six for general 3D geometry, then refines the best pose on\n"
    "all inliers. It therefore requires at least five correspondences and is not\n"
    "intended for a single four-corner marker.";

constexpr const char* kRigidBodyPoseFnDoc =
    "Estimate a rigid body's pose directly from detected marker corners and ids.\n"
    "\n"
    "Marker transforms are precomputed by `RigidBody`. Unknown detected ids are\n"
    "ignored. A single known marker uses iterative PnP; two or more known markers\n"
    "use RANSAC and reject bad corners. `inlier_indices` index the flattened known\n"
    "marker corners, while `inlier_marker_ids` contains markers with at least three\n"
    "inlier corners.";

}  // namespace

// ---- value semantics: pickling, copying, equality, repr --------------------

nb::object body_arguments(nb::handle self) {
  const PyRigidBody& b = body_of(self);
  nb::list rotations, translations;
  for (const auto& r : b.rotations) {
    nb::list rows;
    for (int i = 0; i < 3; ++i) rows.append(nb::make_tuple(r[3 * i], r[3 * i + 1], r[3 * i + 2]));
    rotations.append(rows);
  }
  for (const auto& t : b.translations) translations.append(nb::make_tuple(t[0], t[1], t[2]));
  return nb::make_tuple(b.body.tag_size_m, to_int_list(b.body.marker_ids), rotations, translations);
}

nb::object pose_values(nb::handle self) {
  const rigid_body::RigidBodyPose& r = pose_of(self).result;
  return nb::make_tuple(to_list(r.pose.rvec), to_list(r.pose.tvec), to_int_list(r.inlier_indices),
                        to_int_list(r.inlier_marker_ids), to_int_list(r.used_marker_ids), r.reprojection_rmse);
}

template <class T>
Vec<T> int_vector(nb::handle list) {
  Vec<T> out;
  for (nb::handle v : list) out.push_back(nb::cast<T>(v));
  return out;
}

pnp::Vec3 vec3_of(nb::handle list) {
  const std::vector<double> v = to_f64_fixed(list, 3);
  return pnp::Vec3(v[0], v[1], v[2]);
}

void add_body_value_semantics(nb::class_<PyRigidBody>& cls) {
  cls.def("__getstate__", [](nb::handle self) { return versioned_state(body_arguments(self)); });
  cls.def("__setstate__", [](PyRigidBody& self, nb::handle state) {
    nb::object args = state_values(state, "RigidBody");
    // Rebuilt through the constructor: the same arguments give the same
    // geometry, bit for bit.
    nb::object fresh = nb::type<PyRigidBody>()(*args);
    new (&self) PyRigidBody{nb::cast<PyRigidBody&>(fresh)};
  });
  add_value_equality(cls, &body_arguments);
  cls.def("__repr__", [](nb::handle self) {
    const PyRigidBody& b = body_of(self);
    const std::string text = "RigidBody(tag_size_m=" + std::string(nb::repr(nb::float_(b.body.tag_size_m)).c_str()) +
                             ", marker_ids=" + nb::repr(to_int_list(b.body.marker_ids)).c_str() + ")";
    return nb::str(text.c_str());
  });
}

void add_pose_value_semantics(nb::class_<PyRigidBodyPose>& cls) {
  cls.def("__getstate__", [](nb::handle self) { return versioned_state(pose_values(self)); });
  cls.def("__setstate__", [](PyRigidBodyPose& self, nb::handle state) {
    nb::object v = state_values(state, "RigidBodyPose");
    if (!nb::isinstance<nb::tuple>(v) || nb::len(v) != 6) throw nb::value_error("not a pickled RigidBodyPose state");
    rigid_body::RigidBodyPose r;
    r.pose.rvec = vec3_of(v[0]);
    r.pose.tvec = vec3_of(v[1]);
    r.inlier_indices = int_vector<uint32_t>(v[2]);
    r.inlier_marker_ids = int_vector<int32_t>(v[3]);
    r.used_marker_ids = int_vector<int32_t>(v[4]);
    r.reprojection_rmse = nb::cast<double>(v[5]);
    new (&self) PyRigidBodyPose{std::move(r)};
  });
  add_value_equality(cls, &pose_values);
  cls.def("__repr__", [](nb::handle self) {
    const rigid_body::RigidBodyPose& r = pose_of(self).result;
    const std::string text = std::string("RigidBodyPose(rvec=") + nb::repr(to_list(r.pose.rvec)).c_str() +
                             ", tvec=" + nb::repr(to_list(r.pose.tvec)).c_str() +
                             ", used_marker_ids=" + nb::repr(to_int_list(r.used_marker_ids)).c_str() +
                             ", reprojection_rmse=" + nb::repr(nb::float_(r.reprojection_rmse)).c_str() + ")";
    return nb::str(text.c_str());
  });
}

void register_pose_classes(nb::module_& m) {
  auto body = nb::class_<PyRigidBody>(m, "RigidBody", kRigidBodyDoc)
                  .def("__init__", &init_rigid_body, "tag_size_m"_a.none(), "marker_ids"_a.none(),
                       "rotations_marker_to_reference"_a.none(),
                       "translations_marker_to_reference"_a.none());
  add_body_value_semantics(body);
  add_readonly(body, "marker_ids", [](nb::handle self) {
    return to_int_list(body_of(self).body.marker_ids);
  });
  add_readonly(body, "tag_size_m",
               [](nb::handle self) { return body_of(self).body.tag_size_m; });

  auto pose = nb::class_<PyRigidBodyPose>(m, "RigidBodyPose", kRigidBodyPoseDoc);
  add_pose_value_semantics(pose);
  add_readonly(pose, "rvec", [](nb::handle self) { return to_list(pose_of(self).result.pose.rvec); });
  add_readonly(pose, "tvec", [](nb::handle self) { return to_list(pose_of(self).result.pose.tvec); });
  add_readonly(pose, "inlier_indices",
               [](nb::handle self) { return to_int_list(pose_of(self).result.inlier_indices); });
  add_readonly(pose, "inlier_marker_ids",
               [](nb::handle self) { return to_int_list(pose_of(self).result.inlier_marker_ids); });
  add_readonly(pose, "used_marker_ids",
               [](nb::handle self) { return to_int_list(pose_of(self).result.used_marker_ids); });
  add_readonly(pose, "reprojection_rmse",
               [](nb::handle self) { return pose_of(self).result.reprojection_rmse; });
}

// Every parameter takes None through to the converters, so a None where a
// value is required fails with the usual "argument '<name>': " TypeError.
void register_pose_functions(nb::module_& m) {
  m.def("solve_pnp", &solve_pnp, "object_points"_a.none(), "image_points"_a.none(),
        "camera_matrix"_a.none(), "dist_coeffs"_a.none() = nb::none(), "rvec"_a.none() = nb::none(),
        "tvec"_a.none() = nb::none(), nb::sig(nanobind_sig(kSolvePnpSig).c_str()));
  publish_function(m, kSolvePnpSig, kSolvePnpDoc);
  m.def("solve_pnp_ransac", &solve_pnp_ransac, "object_points"_a.none(), "image_points"_a.none(),
        "camera_matrix"_a.none(), "dist_coeffs"_a.none() = nb::none(), "iterations"_a.none() = nb::int_(100),
        "reprojection_error"_a.none() = nb::float_(3.0), "confidence"_a.none() = nb::float_(0.99),
        "seed"_a.none() = nb::int_(0), nb::sig(nanobind_sig(kSolvePnpRansacSig).c_str()));
  publish_function(m, kSolvePnpRansacSig, kSolvePnpRansacDoc);
  m.def("estimate_rigid_body_pose", &estimate_rigid_body_pose, "marker_corners"_a.none(),
        "marker_ids"_a.none(), "rigid_body"_a.none(), "camera_matrix"_a.none(),
        "dist_coeffs"_a.none() = nb::none(), "iterations"_a.none() = nb::int_(100),
        "reprojection_error"_a.none() = nb::float_(3.0), "confidence"_a.none() = nb::float_(0.99),
        "seed"_a.none() = nb::int_(0), nb::sig(nanobind_sig(kRigidBodyPoseFnSig).c_str()));
  publish_function(m, kRigidBodyPoseFnSig, kRigidBodyPoseFnDoc);
  m.def("project_points", &project_points, "object_points"_a.none(), "rvec"_a.none(), "tvec"_a.none(),
        "camera_matrix"_a.none(), "dist_coeffs"_a.none() = nb::none(),
        nb::sig(nanobind_sig(kProjectPointsSig).c_str()));
  publish_function(m, kProjectPointsSig, "Project 3D object points into the image (cv::projectPoints).");
  m.def("rodrigues", &rodrigues, "src"_a.none(), nb::sig(nanobind_sig(kRodriguesSig).c_str()));
  publish_function(m, kRodriguesSig,
                   "Convert a rotation vector to a 3x3 rotation matrix, or back (cv::Rodrigues).");
}

}  // namespace markvane::py
