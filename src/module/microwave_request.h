// The microwave request of Simulator.simulate_microwave and simulate_active_microwave, built from
// the caller's tables: soil rows, then vegetation rows (with their Mueller tables), then trunk
// rows (with Mueller and specular tables), so a material's index is its position; and the map
// from optical to microwave materials.
#pragma once

#include "module/convert.h"
#include "optix/microwave_plan.h"

namespace velm::py_convert {

struct MicrowaveTables {
  F32Array soil, vegetation, trunk;
  I32Array material_map;
  py::list vegetation_luts, trunk_luts;
};

// Raises ValueError for a non-empty table that is not 2-D (or a map that is not 1-D), and
// RuntimeError with the table's name for rows too short to read or look-up tables that are not
// what their counts need.
optix::MicrowaveRequest microwave_request(bool active, const MicrowaveTables& tables);

}  // namespace velm::py_convert
