#include "pose.h"

namespace markvane::py {
void register_pose_classes(nanobind::module_&) {}
void register_pose_functions(nanobind::module_&) {}
}  // namespace markvane::py
