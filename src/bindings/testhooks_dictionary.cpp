#include "testhooks.h"

namespace markvane::testhooks {
void register_dictionary_hooks(nanobind::module_&) {}
}  // namespace markvane::testhooks
