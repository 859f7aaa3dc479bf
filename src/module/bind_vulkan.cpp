#include "module/registry.h"

namespace velm::py_bind {

void register_vulkan(py::module_& m) {
  // The flag says the backend is compiled in; whether a device is usable is found out when a
  // context is created.
  m.attr("HAS_VULKAN") = true;
}

}  // namespace velm::py_bind
