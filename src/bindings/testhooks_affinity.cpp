#include "testhooks.h"

namespace markvane::testhooks {
void register_affinity_hooks(nanobind::module_&) {}
}  // namespace markvane::testhooks
