// The microwave request of the microwave simulations (Simulator.simulate_microwave and
// simulate_active_microwave, simulate_microwave_cpu and simulate_active_microwave_cpu), built from
// the caller's tables: soil rows, then vegetation rows (with their Mueller tables), then trunk
// rows (with Mueller and specular tables), so a material's index is its position; and the map
// from optical to microwave materials. The simulations take the same arguments wherever they are
// offered: one place registers their signatures.
#pragma once

#include <utility>

#include "module/convert.h"
#include "sim/microwave_plan.h"

namespace velm::py_convert {

struct MicrowaveArrays {
  F32Array soil, vegetation, trunk;
  I32Array material_map;
  py::list vegetation_luts, trunk_luts;
};

// Raises ValueError for a non-empty table that is not 2-D (or a map that is not 1-D), and
// RuntimeError with the table's name for rows too short to read or look-up tables that are not
// what their counts need.
MicrowaveRequest microwave_request(bool active, const MicrowaveArrays& tables);

// The request of a microwave call: the materials from the caller's tables, then the settings.
MicrowaveRequest microwave_request(bool active, const MicrowaveArrays& tables, float frequency,
                                   int32_t n_channels, int32_t spp, int32_t max_depth,
                                   float air_temperature, float atm_tau);

// The film of a microwave call as (height, width, n_channels) of the scene's sensor.
py::array_t<float> microwave_image(const std::vector<float>& film, const SensorBlock& sensor,
                                   int32_t n_channels);

// Registers `fn` through `def` (a module's or a class's def) with the passive simulation's
// arguments: (scene, frequency, n_channels, spp, max_depth, air_temperature, include_atmosphere,
// atm_tau, mw_soil_params, mw_veg_params, mw_trunk_params, material_map, mw_veg_mueller_luts,
// mw_trunk_mueller_luts, _mw_veg_lut_dims, extra..., seed).
template <class Def, class Fn, class... Extra>
void def_microwave(Def&& def, const char* name, Fn&& fn, const char* doc, Extra&&... extra) {
  def(name, std::forward<Fn>(fn), doc, py::arg("scene"), py::arg("frequency") = 1.4e9f,
      py::arg("n_channels") = 2, py::arg("spp") = 64, py::arg("max_depth") = 8,
      py::arg("air_temperature") = 293.0f, py::arg("include_atmosphere") = true,
      py::arg("atm_tau") = 0.01f, py::arg("mw_soil_params") = py::array_t<float>(0),
      py::arg("mw_veg_params") = py::array_t<float>(0),
      py::arg("mw_trunk_params") = py::array_t<float>(0),
      py::arg("material_map") = py::array_t<int32_t>(0),
      py::arg("mw_veg_mueller_luts") = py::list(), py::arg("mw_trunk_mueller_luts") = py::list(),
      py::arg("_mw_veg_lut_dims") = py::none(), std::forward<Extra>(extra)..., seed_arg());
}

// The active simulation's: (scene, frequency, n_channels, spp, max_depth, air_temperature,
// atm_tau, mw_soil_params, mw_veg_params, mw_trunk_params, material_map, mw_veg_mueller_luts,
// mw_trunk_mueller_luts, extra..., seed).
template <class Def, class Fn, class... Extra>
void def_active_microwave(Def&& def, const char* name, Fn&& fn, const char* doc,
                          Extra&&... extra) {
  def(name, std::forward<Fn>(fn), doc, py::arg("scene"), py::arg("frequency") = 4.35e8f,
      py::arg("n_channels") = 4, py::arg("spp") = 64, py::arg("max_depth") = 1,
      py::arg("air_temperature") = 293.0f, py::arg("atm_tau") = 0.005f,
      py::arg("mw_soil_params") = py::array_t<float>(0),
      py::arg("mw_veg_params") = py::array_t<float>(0),
      py::arg("mw_trunk_params") = py::array_t<float>(0),
      py::arg("material_map") = py::array_t<int32_t>(0),
      py::arg("mw_veg_mueller_luts") = py::list(), py::arg("mw_trunk_mueller_luts") = py::list(),
      std::forward<Extra>(extra)..., seed_arg());
}

}  // namespace velm::py_convert
