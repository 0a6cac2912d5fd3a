// Python wrappers of ChArUco boards: the class, detection and pose.
#pragma once

#include <nanobind/nanobind.h>

#include "params.h"

namespace markvane::py {

// The detector settings detect_markers refuses (it raises for them); the
// board detector runs the same pipeline and refuses the same settings.
using SettingsCheck = void (*)(const DetectorParams&);

// Class `CharucoBoard`.
void register_charuco_board(nanobind::module_& m);

// Function `detect_charuco_board`.
void register_charuco_detection(nanobind::module_& m, SettingsCheck check_settings);

// Functions `estimate_pose_charuco_board` and `_charuco_predict`, in that order.
void register_charuco_functions(nanobind::module_& m);

}  // namespace markvane::py
