// Registration steps, called by the module entry in this order.
#pragma once

#include <pybind11/pybind11.h>

#include "sim/setup.h"

namespace velm::py_bind {
namespace py = pybind11;

void register_microwave(py::module_& m);   // the four _evaluate_microwave_* functions
void register_vulkan(py::module_& m);      // HAS_VULKAN, Vulkan classes, list_vulkan_devices
void register_optix(py::module_& m);       // HAS_OPTIX, OptiX classes, device_info
void register_procedural(py::module_& m);  // make_ground_plane, make_sphere, make_cylinder
void register_embree(py::module_& m);      // HAS_EMBREE, EmbreeSceneManager, CPU simulations
// Called by register_embree after the class, in this order:
// simulate_cpu, simulate_forward_cpu, simulate_flux_cpu, simulate_microwave_cpu,
// simulate_active_microwave_cpu, run_energy_balance_cpu, run_energy_balance_multiband_cpu:
void register_cpu_simulations(py::module_& m);
void register_cpu_lidar(py::module_& m);  // simulate_lidar_cpu

// Host hooks of a simulation: the wrapped progress callable (None: none) and a poll that turns a
// pending Ctrl-C into a Python exception; both take the interpreter lock themselves.
HostHooks make_hooks(const py::object& progress);

}  // namespace velm::py_bind
