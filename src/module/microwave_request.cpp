#include "module/microwave_request.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace velm::py_convert {

namespace {


// The rows of a table, or none when it has no elements; a table with elements must be 2-D.
py::ssize_t rows_of(const F32Array& table) {
  if (table.size() == 0) return 0;
  require_ndim(table, 2);
  return table.shape(0);
}

float at(const F32Array& t, py::ssize_t row, py::ssize_t column) {
  return *t.data(row, column);
}

// The first `count` values of an array in C order, or RuntimeError `message` when it has fewer.
std::vector<float> first_values(const F32Array& a, size_t count, const std::string& message) {
  if (static_cast<size_t>(a.size()) < count) throw std::runtime_error(message);
  std::vector<float> all = to_vector(a);
  all.resize(count);
  return all;
}

// Items 0 to 2 of a look-up-table entry: the Mueller table and its two cumulative distributions.
// Passive mode requires a 5-D Mueller table (`dims_message` otherwise); active mode reads the
// first three dimensions of whatever it is given (pybind11's IndexError below three).
py::tuple read_lut(const py::handle& entry, MicrowaveMaterial& m, bool active,
                   const char* dims_message, const std::string& name) {
  const py::tuple t(py::reinterpret_borrow<py::object>(entry));
  if (t.size() < 3)
    throw std::runtime_error(name + " must hold (mueller_lut, cos_cdf, phi_cdf)");
  const F32Array mueller = py::cast<F32Array>(t[0]);
  const F32Array cos_cdf = py::cast<F32Array>(t[1]);
  const F32Array phi_cdf = py::cast<F32Array>(t[2]);
  if (!active && mueller.ndim() != 5) throw std::runtime_error(dims_message);
  m.n_cti = static_cast<int32_t>(mueller.shape(0));
  m.n_cts = static_cast<int32_t>(mueller.shape(1));
  m.n_dphi = static_cast<int32_t>(mueller.shape(2));
  const size_t cells = static_cast<size_t>(m.n_cti) * m.n_cts * m.n_dphi;
  m.mueller = first_values(mueller, 16 * cells,
                           name + ": the Mueller table holds fewer than n_cti x n_cts x n_dphi "
                                  "4x4 matrices");
  m.cos_cdf = first_values(cos_cdf, static_cast<size_t>(m.n_cti) * m.n_cts,
                           name + ": the cosine distribution holds fewer than n_cti x n_cts "
                                  "values");
  m.phi_cdf = first_values(phi_cdf, cells,
                           name + ": the azimuth distribution holds fewer than n_cti x n_cts x "
                                  "n_dphi values");
  return t;
}

}  // namespace

MicrowaveRequest microwave_request(bool active, const MicrowaveArrays& tables) {
  MicrowaveRequest req;
  req.active = active;

  const F32Array& soil = tables.soil;
  const py::ssize_t n_soil = rows_of(soil);
  if (n_soil > 0 && soil.shape(1) < 10)
    throw std::runtime_error("mw_soil_params must have at least 10 columns");
  for (py::ssize_t i = 0; i < n_soil; ++i) {
    MicrowaveMaterial m;
    m.type = kMicrowaveSoil;
    for (int c = 0; c < 10; ++c) m.p[c] = at(soil, i, c);
    m.p[10] = soil.shape(1) >= 11 ? at(soil, i, 10) : 0.008f;
    m.p[11] = soil.shape(1) >= 12 ? at(soil, i, 11) : 0.04f;
    req.materials.push_back(std::move(m));
  }

  const F32Array& veg = tables.vegetation;
  const py::ssize_t n_veg = rows_of(veg);
  if (n_veg > 0 && veg.shape(1) < 6)
    throw std::runtime_error("mw_veg_params must have at least 6 columns");
  for (py::ssize_t i = 0; i < n_veg; ++i) {
    MicrowaveMaterial m;
    m.type = kMicrowaveVegetation;
    for (int c = 0; c < 6; ++c) m.p[c] = at(veg, i, c);
    m.p[6] = veg.shape(1) >= 7 ? at(veg, i, 6) : at(veg, i, 0);
    m.p[7] = veg.shape(1) >= 8 ? at(veg, i, 7) : at(veg, i, 0);
    if (i < static_cast<py::ssize_t>(tables.vegetation_luts.size()) &&
        !tables.vegetation_luts[i].is_none())
      read_lut(tables.vegetation_luts[i], m, active, "mueller_lut must be 5-D (cti,cts,dphi,4,4)",
               "mw_veg_mueller_luts[" + std::to_string(i) + "]");
    req.materials.push_back(std::move(m));
  }

  const F32Array& trunk = tables.trunk;
  const py::ssize_t n_trunk = rows_of(trunk);
  if (n_trunk > 0 && trunk.shape(1) < 7)
    throw std::runtime_error(active ? "mw_trunk_params must have 7 columns (active path)"
                                    : "mw_trunk_params must have 7 columns (radius, length, "
                                      "moisture, temperature, ax_x, ax_y, ax_z)");
  for (py::ssize_t i = 0; i < n_trunk; ++i) {
    MicrowaveMaterial m;
    m.type = kMicrowaveTrunk;
    for (int c = 0; c < 7; ++c) m.p[c] = at(trunk, i, c);
    if (i < static_cast<py::ssize_t>(tables.trunk_luts.size()) &&
        !tables.trunk_luts[i].is_none()) {
      const std::string name = "mw_trunk_mueller_luts[" + std::to_string(i) + "]";
      const py::tuple t = read_lut(tables.trunk_luts[i], m, active,
                                   "trunk mueller_lut must be 5-D (cti,cts,dphi,4,4)", name);
      if (t.size() >= 4 && !t[3].is_none()) {
        const F32Array specular = py::cast<F32Array>(t[3]);
        if (specular.ndim() != 3 || specular.shape(1) != 4 || specular.shape(2) != 4)
          throw std::runtime_error("trunk specular_mueller must be 3-D (n_cos, 4, 4)");
        m.n_cos = static_cast<int32_t>(specular.shape(0));
        m.specular = first_values(specular, 16 * static_cast<size_t>(m.n_cos), name);
      }
    }
    req.materials.push_back(std::move(m));
  }

  if (tables.material_map.size() > 0) {
    require_ndim(tables.material_map, 1);
    req.material_map = to_vector(tables.material_map);
  }
  return req;
}

MicrowaveRequest microwave_request(bool active, const MicrowaveArrays& tables, float frequency,
                                   int32_t n_channels, int32_t spp, int32_t max_depth,
                                   float air_temperature, float atm_tau) {
  MicrowaveRequest req = microwave_request(active, tables);
  req.frequency = frequency;
  req.n_channels = n_channels;
  req.spp = spp;
  req.max_depth = max_depth;
  req.air_temperature = air_temperature;
  req.atm_tau = atm_tau;
  return req;
}

py::array_t<float> microwave_image(const std::vector<float>& film, const SensorBlock& sensor,
                                   int32_t n_channels) {
  return pack(film, {std::max(sensor.height, 0), std::max(sensor.width, 0), n_channels});
}

}  // namespace velm::py_convert
