// Conversion between Python values and the plain types the backends take: array checks with
// their fixed messages, row readers that go through strides, result packing into fresh
// C-contiguous numpy arrays, and the progress-callable wrapper. Only src/module/ includes pybind11.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "scene/records.h"
#include "scene/scene_description.h"

namespace velm::py_convert {

namespace py = pybind11;

// Array parameters: any array-like, converted with forced casting. Data not aligned for its type
// (an array unpickled in place from a byte stream, a view at an odd byte offset) is copied first:
// reading a misaligned float through a float pointer is undefined behaviour.
constexpr int kCast = py::array::forcecast | py::detail::npy_api::NPY_ARRAY_ALIGNED_;
constexpr int kContiguousCast = kCast | py::array::c_style;
using F32Array = py::array_t<float, kCast>;
using I32Array = py::array_t<int32_t, kCast>;
using U32Array = py::array_t<uint32_t, kCast>;

// Progress as the backends see it: (done, total, running value).
using ProgressFn = std::function<void(uint64_t, uint64_t, float)>;

inline void require_ndim(const py::array& a, py::ssize_t expected) {
  if (a.ndim() != expected)
    throw py::value_error("array has incorrect number of dimensions: " + std::to_string(a.ndim()) +
                          "; expected " + std::to_string(expected));
}

using CF32Array = py::array_t<float, kContiguousCast>;

// Pulse origins or directions: an (N, 3) array, or a flat array of N triples. Returns the
// C-contiguous copy and sets `rows` to N; ValueError "<name> must have shape (N, 3)" otherwise.
CF32Array pulse_rows(const F32Array& a, const char* name, int64_t& rows);

// Reads an (N, >=3) array row by row through its strides into triples.
template <class T, class Triple>
std::vector<Triple> read_rows3(const py::array_t<T, kCast>& a) {
  auto r = a.template unchecked<2>();
  std::vector<Triple> out(static_cast<size_t>(r.shape(0)));
  for (py::ssize_t i = 0; i < r.shape(0); ++i) out[i] = Triple{r(i, 0), r(i, 1), r(i, 2)};
  return out;
}

// All elements of an array in C order, whatever its strides.
template <class T>
std::vector<T> to_vector(const py::array_t<T, kCast>& a) {
  py::array_t<T, kContiguousCast> c(a);
  return std::vector<T>(c.data(), c.data() + c.size());
}

// An index array as int32 rows of three, from an array-like of any numeric type, without the
// silent wrap of a cast: an integer value outside the int32 range becomes -1 (so the mesh check
// reports the triangle that uses it as referencing a vertex outside the buffer), a value with a
// fraction or not finite raises ValueError "<what> must hold integers". `rows_out` receives the
// array (for its shape checks) converted without loss.
std::vector<Int3> index_rows(const py::object& indices, const char* what, py::array& rows_out);

// The elements of a Python list converted one by one to 32-bit floats.
std::vector<float> list_to_floats(const py::list& values, const char* what);

// Fresh C-contiguous arrays that own a copy of the data.
template <class T>
py::array_t<T> pack(const T* data, std::vector<py::ssize_t> shape) {
  py::array_t<T> out(shape);
  if (out.size() > 0) std::memcpy(out.mutable_data(), data, sizeof(T) * out.size());
  return out;
}
template <class T>
py::array_t<T> pack(const std::vector<T>& v, std::vector<py::ssize_t> shape) {
  py::ssize_t n = 1;
  for (auto s : shape) n *= s;
  if (static_cast<size_t>(n) != v.size())
    throw std::logic_error("result size does not match its shape");
  return pack(v.data(), std::move(shape));
}

// A read-only array of the given shape whose elements are all zero, backed by one element
// (numpy.broadcast_to of a zero scalar).
template <class T>
py::array read_only_zeros(const std::vector<py::ssize_t>& shape) {
  py::array_t<T> zero(std::vector<py::ssize_t>{});
  *zero.mutable_data() = T(0);
  py::tuple dims(shape.size());
  for (size_t i = 0; i < shape.size(); ++i) dims[i] = py::int_(shape[i]);
  return py::module_::import("numpy").attr("broadcast_to")(zero, dims);
}

// Python can make an instance without running __init__ (Class.__new__(Class)); pybind11 then
// hands a method storage that holds no object. Every method and function that takes one of our
// objects passes it through here first: an object that was never constructed is not registered
// with pybind11, and is refused with TypeError.
template <class T>
T& constructed(T& obj) {
  static const py::detail::type_info* info = py::detail::get_type_info(typeid(T));
  if (!py::detail::get_object_handle(&obj, info))
    throw py::type_error(std::string(info->type->tp_name) + ".__init__() was not called");
  return obj;
}

// Runs `work` with the scene held against changes (SceneDescription::InUse) and the interpreter
// lock released, so other Python threads run while a long simulation traces. Whatever `work`
// calls back into Python (progress, signal polling) must take the lock itself.
template <class Scene, class Work>
auto run_on_scene(const Scene& scene, Work&& work) {
  const SceneDescription::InUse in_use(constructed(scene).desc());
  py::gil_scoped_release released;
  return work();
}

// Wraps a Python progress object. None gives an empty function. The call re-acquires the
// interpreter lock (the simulations release it while they trace); a Python exception raised by
// the callable propagates as error_already_set and stops the simulation.
ProgressFn wrap_progress(const py::object& progress);

// Every simulation ends its arguments with `seed` (an unsigned 64-bit int, default 0): it selects
// the family of random streams the run draws from (physics/pcg32.h seeded_sequence), 0 the
// unseeded one. A negative, too large or non-integer seed fails pybind11's conversion to
// uint64_t, a TypeError on every backend.
inline py::arg_v seed_arg() { return py::arg("seed") = uint64_t{0}; }

// The sentence every simulation's docstring ends with (a macro, to join string literals).
#define VELM_SEED_DOC                                                                          \
  "seed (int, 0 to 2**64 - 1) selects the run's random streams: 0, the default, the unseeded "  \
  "ones; other seeds streams independent of those and of each other's, the same on every "    \
  "backend and for any number of threads."
#define VELM_LIDAR_SEED_DOC                                                                    \
  "seed (int, 0 to 2**64 - 1) is taken as every simulation takes it, and changes nothing: the " \
  "beam samples are a fixed pattern and LiDAR draws no random numbers."

}  // namespace velm::py_convert
