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

PYBIND11_MODULE(velm_gpu, m) {
  using namespace velm::py_bind;
  m.doc() = "VELM - multi-backend 3D Radiative Transfer Model";
  m.attr("__version__") = VELM_VERSION;
  register_microwave(m);
  register_vulkan(m);
  register_optix(m);
  register_procedural(m);
#if VELM_WITH_CPU
  register_embree(m);
#else
  m.attr("HAS_EMBREE") = false;  // a GPU-only build
#endif
}
