#include "module/registry.h"

namespace velm::py_bind {

void register_microwave(py::module_& m) {}

}  // namespace velm::py_bind
