#include "testhooks.h"

namespace markvane::testhooks {
void register_imgproc_hooks(nanobind::module_&) {}
}  // namespace markvane::testhooks
