// The four module functions that evaluate the microwave soil and trunk models over a batch of
// cosines or geometries; the GPU microwave modes take tables filled with them.
#include <array>
#include <cmath>

#include "microwave/soil.h"
#include "microwave/trunk.h"
#include "module/convert.h"
#include "module/registry.h"

namespace velm::py_bind {

namespace {

using py_convert::F32Array;
using ContiguousF32 = py::array_t<float, py_convert::kContiguousCast>;

// The first `count` values of a 1-D parameter vector (read through its strides), or the
// value error `message` when it is not 1-D or shorter.
template <size_t count>
std::array<float, count> read_parameters(const F32Array& values, const char* message) {
  if (values.ndim() != 1 || values.shape(0) < static_cast<py::ssize_t>(count))
    throw py::value_error(message);
  const auto r = values.unchecked<1>();
  std::array<float, count> out{};
  for (size_t i = 0; i < count; ++i) out[i] = r(static_cast<py::ssize_t>(i));
  return out;
}

ContiguousF32 require_cosines(const F32Array& cosines) {
  if (cosines.ndim() != 1) throw py::value_error("cosines must be a 1D array");
  return ContiguousF32(cosines);
}

// Finite cosines no larger than 1 in magnitude (the backscatter model takes their arccosine).
void require_valid_cosines(const float* cosines, size_t n) {
  bool finite = true, in_range = true;
  for (size_t i = 0; i < n; ++i) {
    finite &= std::isfinite(cosines[i]);
    in_range &= std::fabs(cosines[i]) <= 1.f;
  }
  if (!finite) throw py::value_error("cosines must be finite");
  if (!in_range) throw py::value_error("cosines must lie between -1 and 1");
}

// The per-cosine functions share their checks, in this order: the parameter vector, the cosines'
// shape, the frequency, the model's own parameter checks (`make_model`), finite cosines within
// [-1, 1]. Then
// `fill(model, cosines, n, out)` writes `columns` values per cosine.
template <size_t count, class MakeModel, class Fill>
py::array_t<float> over_cosines(float frequency, const F32Array& parameters,
                                const char* parameter_message, const F32Array& cosines,
                                MakeModel&& make_model, py::ssize_t columns, Fill&& fill) {
  const auto p = read_parameters<count>(parameters, parameter_message);
  const ContiguousF32 mu = require_cosines(cosines);
  microwave::require_valid_frequency(frequency);
  const auto model = make_model(p.data());
  const size_t n = static_cast<size_t>(mu.size());
  require_valid_cosines(mu.data(), n);
  py::array_t<float> out({static_cast<py::ssize_t>(n), columns});
  fill(model, mu.data(), n, out.mutable_data());
  return out;
}

constexpr const char* kSoilMessage = "soil parameters must be a 1D array with 12 values";
constexpr const char* kTrunkMessage = "trunk parameters must be a 1D array with 7 values";

py::array_t<float> soil(float frequency, const F32Array& parameters, const F32Array& cosines,
                        bool active) {
  return over_cosines<microwave::kSoilParameterCount>(
      frequency, parameters, kSoilMessage, cosines, microwave::soil_parameters_from, 4,
      [&](const microwave::SoilParameters& s, const float* mu, size_t n, float* out) {
        if (active)
          microwave::soil_backscatter(frequency, s, mu, n, out);
        else
          microwave::soil_emission(frequency, s, mu, n, out);
      });
}

py::array_t<float> soil_reflectivity(float frequency, const F32Array& parameters,
                                     const F32Array& cosines, bool allow_hallikainen) {
  return over_cosines<microwave::kSoilParameterCount>(
      frequency, parameters, kSoilMessage, cosines, microwave::soil_parameters_from, 2,
      [&](const microwave::SoilParameters& s, const float* mu, size_t n, float* out) {
        microwave::soil_smooth_reflectivity(frequency, s, allow_hallikainen, mu, n, out);
      });
}

py::array_t<float> trunk_ground(float frequency, const F32Array& soil_parameters,
                                const F32Array& trunk_parameters, const F32Array& to_trunk,
                                const F32Array& to_ground, const F32Array& ground_normals) {
  const auto sp = read_parameters<microwave::kSoilParameterCount>(soil_parameters, kSoilMessage);
  const auto tp = read_parameters<microwave::kTrunkParameterCount>(trunk_parameters, kTrunkMessage);
  const F32Array* arrays[] = {&to_trunk, &to_ground, &ground_normals};
  for (const F32Array* a : arrays)
    if (a->ndim() != 2 || a->shape(1) != 3 || a->shape(0) != to_trunk.shape(0))
      throw py::value_error("direction and normal arrays must all have shape (N, 3)");
  const ContiguousF32 d_trunk(to_trunk), d_ground(to_ground), normals(ground_normals);
  microwave::require_valid_frequency(frequency);
  const microwave::SoilParameters s = microwave::soil_parameters_from(sp.data());
  const microwave::TrunkParameters t = microwave::trunk_parameters_from(tp.data());
  const size_t n = static_cast<size_t>(d_trunk.shape(0));
  py::array_t<float> out({static_cast<py::ssize_t>(n), py::ssize_t{2}});
  microwave::trunk_ground_backscatter(frequency, s, t, d_trunk.data(), d_ground.data(),
                                      normals.data(), n, out.mutable_data());
  return out;
}

py::array_t<float> trunk(float frequency, const F32Array& parameters, const F32Array& cosines) {
  return over_cosines<microwave::kTrunkParameterCount>(
      frequency, parameters, kTrunkMessage, cosines, microwave::trunk_parameters_from, 4,
      [&](const microwave::TrunkParameters& t, const float* mu, size_t n, float* out) {
        microwave::trunk_emission(frequency, t, mu, n, out);
      });
}

}  // namespace

void register_microwave(py::module_& m) {
  m.def("_evaluate_microwave_soil", &soil, py::arg("frequency"), py::arg("parameters"),
        py::arg("cosines"), py::arg("active") = false);
  m.def("_evaluate_microwave_soil_reflectivity", &soil_reflectivity, py::arg("frequency"),
        py::arg("parameters"), py::arg("cosines"), py::arg("allow_hallikainen") = false);
  m.def("_evaluate_microwave_trunk_ground", &trunk_ground, py::arg("frequency"),
        py::arg("soil_parameters"), py::arg("trunk_parameters"), py::arg("directions_to_trunk"),
        py::arg("directions_to_ground"), py::arg("ground_normals"));
  m.def("_evaluate_microwave_trunk", &trunk, py::arg("frequency"), py::arg("parameters"),
        py::arg("cosines"));
}

}  // namespace velm::py_bind
