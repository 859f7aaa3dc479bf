#include "module/registry.h"

namespace velm::py_bind {

void register_optix(py::module_& m) {
  // Compiled in; the driver's OptiX library is looked for only when a context is created.
  m.attr("HAS_OPTIX") = true;
}

}  // namespace velm::py_bind
