// Module functions of the CPU simulations.
#include "cpu/backward.h"
#include "cpu/forward.h"
#include "module/convert.h"
#include "module/registry.h"

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

  m.def(
      "simulate_forward_cpu",
      [](EmbreeSceneManager& scene, int32_t nx, int32_t ny, const py_convert::F32Array& layers,
         int64_t num_photons, int32_t num_bands, bool per_leaf, const py_convert::F32Array& brf_dirs,
         int32_t num_brf_dirs, float prob_sun, int32_t max_depth, int32_t terrain_instance_id,
         const py::object& progress) {
        cpu::ForwardRequest req;
        req.nx = nx;
        req.ny = ny;
        py_convert::require_ndim(layers, 1);
        req.layer_heights = py_convert::to_vector(layers);
        req.num_photons = num_photons;
        req.num_bands = num_bands;
        req.per_leaf = per_leaf;
        req.brf_directions = py_convert::to_vector(brf_dirs);
        req.num_brf_dirs = num_brf_dirs;
        req.prob_sun = prob_sun;
        req.max_depth = max_depth;
        req.terrain_instance_id = terrain_instance_id;
        const cpu::HostHooks hooks = make_hooks(progress);
        const cpu::ForwardResult r =
            py_convert::run_on_scene(scene, [&] { return cpu::simulate_forward(scene, req, hooks); });
        using py_convert::pack;
        const py::ssize_t nb = num_bands;
        py::dict out;
        out["grid"] = pack(r.grid, {r.nz, ny, nx, nb});
        if (!r.leaf.empty())
          out["leaf"] = pack(r.leaf, {static_cast<py::ssize_t>(r.leaf.size()) / nb, nb});
        if (!r.brf.empty()) {
          out["brf"] = pack(r.brf, {num_brf_dirs, nb});
          out["albedo"] = pack(r.albedo, {nb});
        }
        if (!r.terrain.empty()) out["terrain"] = pack(r.terrain, {nb});
        return out;
      },
      py::arg("scene"), py::arg("nx") = 1, py::arg("ny") = 1, py::arg("layer_heights"),
      py::arg("num_photons") = 10000000, py::arg("num_bands") = 1, py::arg("per_leaf") = false,
      py::arg("brf_directions") = py::array_t<float>(0), py::arg("num_brf_dirs") = 0,
      py::arg("prob_sun") = 1.0f, py::arg("max_depth") = 16, py::arg("terrain_instance_id") = -1,
      py::arg("progress") = py::none());

  m.def(
      "simulate_flux_cpu",
      [](EmbreeSceneManager& scene, int32_t nx, int32_t ny, int64_t num_photons, int32_t num_bands,
         float prob_sun, int32_t max_bounces, int32_t max_depth, int32_t rr_depth, bool decompose,
         const py::object& progress) {
        cpu::FluxRequest req;
        req.nx = nx;
        req.ny = ny;
        req.num_photons = num_photons;
        req.num_bands = num_bands;
        req.prob_sun = prob_sun;
        req.max_bounces = max_bounces;
        req.max_depth = max_depth;
        req.rr_depth = rr_depth;
        req.decompose = decompose;
        const cpu::HostHooks hooks = make_hooks(progress);
        const cpu::FluxResult r =
            py_convert::run_on_scene(scene, [&] { return cpu::simulate_flux(scene, req, hooks); });
        using py_convert::pack;
        const std::vector<py::ssize_t> shape = {ny, nx, num_bands};
        py::dict out;
        out["downwelling"] = pack(r.downwelling, shape);
        out["upwelling"] = pack(r.upwelling, shape);
        if (decompose) {
          out["downwelling_direct"] = pack(r.direct, shape);
          out["downwelling_diffuse"] = pack(r.diffuse, shape);
        }
        return out;
      },
      py::arg("scene"), py::arg("nx"), py::arg("ny"), py::arg("num_photons"), py::arg("num_bands"),
      py::arg("prob_sun") = 1.0f, py::arg("max_bounces") = 0, py::arg("max_depth") = 16,
      py::arg("rr_depth") = 3, py::arg("decompose") = false, py::arg("progress") = py::none());
}

}  // namespace velm::py_bind
