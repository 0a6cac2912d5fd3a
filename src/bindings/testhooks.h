// Test-only entry points into internals the public module does not expose.
#pragma once

#include <nanobind/nanobind.h>

namespace markvane::testhooks {
void register_affinity_hooks(nanobind::module_& m);
void register_apriltag_hooks(nanobind::module_& m);
void register_dictionary_hooks(nanobind::module_& m);
void register_imgproc_hooks(nanobind::module_& m);
void register_pose_hooks(nanobind::module_& m);
}  // namespace markvane::testhooks
