#include "module/convert.h"

#include "module/registry.h"

#include <climits>
#include <cmath>

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

namespace {
// Reads an (N, >=3) array of T through its strides; `to_index` maps each value.
template <class T, class ToIndex>
std::vector<Int3> rows_of(const py::array& a, ToIndex&& to_index) {
  const auto typed = py::array_t<T, kCast>::ensure(a);
  const auto r = typed.template unchecked<2>();
  std::vector<Int3> out(static_cast<size_t>(r.shape(0)));
  for (py::ssize_t i = 0; i < r.shape(0); ++i)
    out[i] = Int3{to_index(r(i, 0)), to_index(r(i, 1)), to_index(r(i, 2))};
  return out;
}

inline int32_t narrowed(int64_t v) {
  return v >= INT32_MIN && v <= INT32_MAX ? static_cast<int32_t>(v) : -1;
}
}  // namespace

std::vector<Int3> index_rows(const py::object& indices, const char* what, py::array& rows_out) {
  py::array a = py::array::ensure(indices);
  if (!a) {
    PyErr_Clear();
    throw py::type_error(std::string(what) + " must be an array of integers");
  }
  const char kind = a.dtype().kind();
  if (kind != 'i' && kind != 'u' && kind != 'b' && kind != 'f')
    throw py::type_error(std::string(what) + " must be an array of integers");
  rows_out = a;
  if (a.ndim() != 2 || a.shape(0) == 0 || a.shape(1) < 3) return {};
  if (kind == 'f')
    return rows_of<double>(a, [what](double v) {
      if (!(std::floor(v) == v)) throw py::value_error(std::string(what) + " must hold integers");
      return v >= INT32_MIN && v <= INT32_MAX ? static_cast<int32_t>(v) : -1;
    });
  if (kind == 'u' && a.itemsize() == 8)
    return rows_of<uint64_t>(a, [](uint64_t v) {
      return v <= static_cast<uint64_t>(INT32_MAX) ? static_cast<int32_t>(v) : -1;
    });
  return rows_of<int64_t>(a, [](int64_t v) { return narrowed(v); });
}

CF32Array pulse_rows(const F32Array& a, const char* name, int64_t& rows) {
  if (a.ndim() == 2 && a.shape(1) == 3) {
    rows = a.shape(0);
  } else if (a.ndim() == 1 && a.shape(0) % 3 == 0) {
    rows = a.shape(0) / 3;
  } else {
    throw py::value_error(std::string(name) + " must have shape (N, 3)");
  }
  return CF32Array(a);
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

namespace velm::py_bind {

HostHooks make_hooks(const py::object& progress) {
  HostHooks hooks;
  hooks.progress = py_convert::wrap_progress(progress);
  hooks.poll = [] {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  };
  return hooks;
}

}  // namespace velm::py_bind
