// `_markvane_testhooks`: a private module for the test suite only.
#include "testhooks.h"

NB_MODULE(_markvane_testhooks, m) {
  m.doc() = "Internal hooks for markvane's test suite. Not a public API.";
  markvane::testhooks::register_affinity_hooks(m);
  markvane::testhooks::register_apriltag_hooks(m);
  markvane::testhooks::register_dictionary_hooks(m);
  markvane::testhooks::register_imgproc_hooks(m);
  markvane::testhooks::register_pose_hooks(m);
}
