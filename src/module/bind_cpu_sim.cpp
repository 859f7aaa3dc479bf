// Module functions of the CPU simulations.
#include "cpu/backward.h"
#include "module/convert.h"
#include "module/registry.h"

namespace velm::py_bind {

using embree::EmbreeSceneManager;

// Host hooks for a CPU simulation: the wrapped progress callable and a poll that turns a pending
// Ctrl-C (or any signal handler's exception) into a Python exception between passes.
cpu::HostHooks make_hooks(const py::object& progress) {
  cpu::HostHooks hooks;
  hooks.progress = py_convert::wrap_progress(progress);
  hooks.poll = [] {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  };
  return hooks;
}

void register_cpu_backward(py::module_& m) {
  m.def(
      "simulate_cpu",
      [](EmbreeSceneManager& scene, int32_t spp, int32_t max_depth, const py::object& progress) {
        const SensorBlock& s = scene.desc().sensor();
        const py::ssize_t h = std::max(0, s.height), w = std::max(0, s.width),
                          nb = std::max(0, scene.desc().num_bands());
        py::array_t<float> image({h, w, nb});
        cpu::simulate_backward(scene, spp, max_depth, make_hooks(progress),
                               image.mutable_data());
        return image;
      },
      py::arg("scene"), py::arg("spp") = 16, py::arg("max_depth") = 16,
      py::arg("progress") = py::none());
}

}  // namespace velm::py_bind
