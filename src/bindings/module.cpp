#include <nanobind/nanobind.h>
NB_MODULE(markvane, m) { m.doc() = "markvane"; }
