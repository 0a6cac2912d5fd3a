// The Python class `DetectorParameters`: a thin wrapper over the plain
// DetectorParams record.
#pragma once

#include <nanobind/nanobind.h>

#include "params.h"

namespace markvane::py {

struct PyDetectorParameters {
  DetectorParams params;
};

void register_detector_parameters(nanobind::module_& m);

// Value snapshot of `parameters` (None gives the defaults); raises the
// prefixed TypeError for anything else.
DetectorParams snapshot_params(const char* name, nanobind::handle parameters);

}  // namespace markvane::py
