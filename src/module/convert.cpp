#include "module/convert.h"

namespace velm::py_convert {

std::vector<float> list_to_floats(const py::list& values, const char* what) {
  std::vector<float> out;
  out.reserve(values.size());
  for (const py::handle item : values) {
    try {
      out.push_back(item.cast<float>());
    } catch (const py::cast_error&) {
      throw py::type_error(std::string(what) + " must contain only numbers");
    }
  }
  return out;
}

ProgressFn wrap_progress(const py::object& progress) {
  if (progress.is_none()) return {};
  py::object fn = progress;
  return [fn](uint64_t done, uint64_t total, float value) {
    py::gil_scoped_acquire gil;
    fn(done, total, value);
  };
}

}  // namespace velm::py_convert
