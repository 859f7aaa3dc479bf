// Module entry. PYBIND11_MODULE checks the interpreter version ("Python version mismatch: ...")
// before creating the module, uses multi-phase initialisation, and turns an exception thrown
// while registering into ImportError "initialization failed" chained to its cause.
#include <pybind11/pybind11.h>

#include "module/registry.h"

#ifndef VELM_WITH_CPU
#define VELM_WITH_CPU 1
#endif
#ifndef VELM_VERSION
#define VELM_VERSION "0.4.0"
#endif
#ifndef VELM_WITH_OPTIX
#define VELM_WITH_OPTIX 0
#endif

#if !VELM_WITH_OPTIX
#include <stdexcept>

namespace velm::py_bind {
namespace {
// A build without a CUDA toolkit still has the OptiX classes, so that a caller gets a reason
// rather than an AttributeError: constructing any of them raises RuntimeError.
template <int kTag>
struct OptixUnavailable {};

template <int kTag>
void register_unavailable(py::module_& m, const char* name) {
  py::class_<OptixUnavailable<kTag>>(m, name).def(
      py::init([](const py::args&, const py::kwargs&) -> OptixUnavailable<kTag>* {
        throw std::runtime_error(
            "built without the OptiX backend: no CUDA toolkit was found at build time; "
            "rebuild with one");
      }));
}

void register_optix_unavailable(py::module_& m) {
  register_unavailable<0>(m, "OptiXContext");
  register_unavailable<1>(m, "SceneManager");
  register_unavailable<2>(m, "Simulator");
}
}  // namespace
}  // namespace velm::py_bind
#endif

PYBIND11_MODULE(velm_gpu, m) {
  using namespace velm::py_bind;
  m.doc() = "VELM - multi-backend 3D Radiative Transfer Model";
  m.attr("__version__") = VELM_VERSION;
  register_microwave(m);
  register_vulkan(m);
  register_optix(m);
#if !VELM_WITH_OPTIX
  register_optix_unavailable(m);
#endif
  register_procedural(m);
#if VELM_WITH_CPU
  register_embree(m);
#else
  m.attr("HAS_EMBREE") = false;  // a GPU-only build
#endif
}
