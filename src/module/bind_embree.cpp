#include "cpu/embree_scene.h"
#include "module/bind_scene.h"
#include "module/registry.h"

namespace velm::py_bind {

using velm::embree::EmbreeSceneManager;

void register_embree(py::module_& m) {
  m.attr("HAS_EMBREE") = true;

  py::class_<EmbreeSceneManager> cls(m, "EmbreeSceneManager");
  cls.def(py::init<>());
  SceneBinder<EmbreeSceneManager> b(cls, Flavor::Cpu);
  b.add_mesh()
      .add_instance()
      .add_instance_xform()
      .add_instances_xform()
      .update_instance_transform()
      .refit()
      .set_num_bands()
      .add_material()
      .upload_spectral_params()
      .set_emitter()
      .update_emitter_direction()
      .set_sensor()
      .set_sky()
      .set_hw_sky()
      .set_thermal_mode()
      .set_repetitive()
      .build()
      .has_meshes(/*gpu_name_first=*/true)
      .clear_for_reuse()
      .build_reuse(/*gas_name_first=*/true)
      .total_triangles()
      .num_instances()
      .heights()
      .aabb()
      .set_measurement_plane();

  // The CPU simulations follow the class: simulate_cpu, simulate_forward_cpu,
  // simulate_flux_cpu, then simulate_lidar_cpu.
  register_cpu_simulations(m);
  register_cpu_lidar(m);
}

}  // namespace velm::py_bind
