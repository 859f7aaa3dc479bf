// Module functions of the CPU simulations.
#include "cpu/backward.h"
#include "cpu/forward.h"
#include "module/convert.h"
#include "module/registry.h"
#include "module/transport_args.h"

namespace velm::py_bind {

using embree::EmbreeSceneManager;

void register_cpu_backward(py::module_& m) {
  m.def(
      "simulate_cpu",
      [](EmbreeSceneManager& scene, int32_t spp, int32_t max_depth, const py::object& progress) {
        const cpu::ImageShape shape = cpu::backward_image_shape(py_convert::constructed(scene));
        py::array_t<float> image({static_cast<py::ssize_t>(shape.height),
                                  static_cast<py::ssize_t>(shape.width),
                                  static_cast<py::ssize_t>(std::max(0, shape.bands))});
        const cpu::HostHooks hooks = make_hooks(progress);
        float* pixels = image.mutable_data();
        py_convert::run_on_scene(scene, [&] {
          cpu::simulate_backward(scene, spp, max_depth, hooks, pixels);
        });
        return image;
      },
      py::arg("scene"), py::arg("spp") = 16, py::arg("max_depth") = 16,
      py::arg("progress") = py::none());

  const auto module_def = [&m](auto&&... args) { m.def(std::forward<decltype(args)>(args)...); };
  def_forward(module_def, "simulate_forward_cpu",
              [](EmbreeSceneManager& scene, int32_t nx, int32_t ny,
                 const py_convert::F32Array& layers, int64_t num_photons, int32_t num_bands,
                 bool per_leaf, const py_convert::F32Array& brf_dirs, int32_t num_brf_dirs,
                 float prob_sun, int32_t max_depth, int32_t terrain_instance_id,
                 const py::object& progress) {
                const ForwardRequest req =
                    forward_request(nx, ny, layers, num_photons, num_bands, per_leaf, brf_dirs,
                                    num_brf_dirs, prob_sun, max_depth, terrain_instance_id);
                const cpu::HostHooks hooks = make_hooks(progress);
                const ForwardResult r = py_convert::run_on_scene(
                    scene, [&] { return cpu::simulate_forward(scene, req, hooks); });
                return forward_dict(r, req);
              });
  def_flux(module_def, "simulate_flux_cpu",
           [](EmbreeSceneManager& scene, int32_t nx, int32_t ny, int64_t num_photons,
              int32_t num_bands, float prob_sun, int32_t max_bounces, int32_t max_depth,
              int32_t rr_depth, bool decompose, const py::object& progress) {
             const FluxRequest req = flux_request(nx, ny, num_photons, num_bands, prob_sun,
                                                  max_bounces, max_depth, rr_depth, decompose);
             const cpu::HostHooks hooks = make_hooks(progress);
             const FluxResult r = py_convert::run_on_scene(
                 scene, [&] { return cpu::simulate_flux(scene, req, hooks); });
             return flux_dict(r, req);
           });
}

}  // namespace velm::py_bind
