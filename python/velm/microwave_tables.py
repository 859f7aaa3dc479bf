"""Microwave tables: the physics inputs of the native Vulkan wavefront call
(``VulkanSceneManager.run_microwave_wavefront``) and of the OptiX ``Simulator`` microwave calls,
evaluated with the module's own soil, trunk and vegetation models.

Frequencies in Hz, temperatures in K, lengths in m, absorption and scattering coefficients in
m^-1.
"""

import math

import numpy as np
import velm_gpu

# run_microwave_wavefront takes its physics as tables. Microwave materials are numbered soils
# first, then vegetation, then trunks; `material_map` sends each optical material id to one of
# them (-1: none). Soil parameter vectors have the 12 values of _evaluate_microwave_soil (sand,
# clay, moisture, h, N_V, N_H, Q, surface and deep temperature (K), dielectric model, rms height
# (m), unused); trunk vectors the 7 of _evaluate_microwave_trunk (radius, length (m), moisture,
# temperature (K), axis x, y, z).

DIHEDRAL_COSINES, DIHEDRAL_AZIMUTHS = 257, 256
MOIST_SOIL = (0.3, 0.2, 0.3, 0.2, 0.0, 0.0, 0.1, 295.0, 290.0, 1.0, 0.01, 0.0)
FOREST_TRUNK = (0.2, 4.0, 0.5, 293.0, 0.0, 0.0, 1.0)


def wood_absorption(frequency, moisture, temperature):
    """Power absorption coefficient (m^-1) of wood, 2 k0 |Im sqrt(eps)|, with eps from the
    module's vegetation dielectric model (which _evaluate_microwave_trunk uses but does not
    return)."""
    w = 2 * math.pi * frequency
    vb, vf = min(0.5 * moisture, 0.12), max(0.5 * moisture - 0.12, 0.0)
    t = temperature - 273.15
    yf = (1.1109e-10 - 3.824e-12 * t + 6.938e-14 * t**2 - 5.096e-16 * t**3) * w
    dw = 88.045 - 0.4147 * t + 0.0006295 * t**2 + 1.075e-5 * t**3 - 4.9
    yb = w * 4e-11
    re = 1.5 + vb * (4.9 + 52.8 / (1 + yb**2) - 1.5) + vf * (4.9 + dw / (1 + yf**2) - 1)
    im = vf * dw * yf / (1 + yf**2) + vb * 52.8 * yb / (1 + yb**2)
    return 2 * w / 2.998e8 * abs(np.sqrt(complex(re, -im)).imag)


def vegetation_phase(scattering_coefficient, asymmetry=0.0, n_cti=8, n_cts=16, n_dphi=16):
    """(mueller, cosine_cdf, azimuth_cdf) of a vegetation volume that scatters
    `scattering_coefficient` per metre into a Henyey-Greenstein pattern of the given asymmetry
    and depolarises (each of H and V receives half of the scattered power).

    The tables are per cell of incidence cosine, scattering cosine and azimuth difference: even
    bins over [-1, 1] (n_cti, n_cts) and [0, 2 pi) (n_dphi), each holding the phase matrix at its
    centre. mueller[a, j, k] is the 4 x 4 phase matrix (m^-1 sr^-1) acting on [T_H, T_V, T_3,
    T_4]; with p = (M_HH + M_HV + M_VH + M_VV) / 2, cosine_cdf[a, j] is the scattering coefficient
    into scattering-cosine bins 0 to j (its last value the whole, `scattering_coefficient`) and
    azimuth_cdf[a, j, k] integrates p over azimuth bins 0 to k."""
    mu_i = -1 + (np.arange(n_cti) + 0.5) * 2 / n_cti
    mu_s = -1 + (np.arange(n_cts) + 0.5) * 2 / n_cts
    phi = (np.arange(n_dphi) + 0.5) * 2 * math.pi / n_dphi
    cos_scatter = (mu_i[:, None, None] * mu_s[None, :, None] + np.sqrt(1 - mu_i**2)[:, None, None]
                   * np.sqrt(1 - mu_s**2)[None, :, None] * np.cos(phi)[None, None, :])
    g = float(asymmetry)
    p = (1 - g * g) / (4 * math.pi * (1 + g * g - 2 * g * cos_scatter) ** 1.5)
    d_mu, d_phi = 2 / n_cts, 2 * math.pi / n_dphi
    p *= (scattering_coefficient / (p.sum(axis=(1, 2)) * d_mu * d_phi))[:, None, None]
    azimuth = np.cumsum(p * d_phi, axis=2)
    cosine = np.cumsum(azimuth[:, :, -1] * d_mu, axis=1)
    mueller = np.zeros(p.shape + (4, 4))
    mueller[..., :2, :2] = 0.5 * p[..., None, None]
    return (mueller.astype(np.float32), cosine.astype(np.float32), azimuth.astype(np.float32))


def dihedral_directions():
    """The trunk-ground table's geometry: towards a radar at cosine i / 256 and azimuth 2 pi j /
    256 (row i * 256 + j), the wave arriving at the trunk travels along -r and leaves it for the
    ground along r mirrored in the flat ground (normal +z). Returns (to_trunk, to_ground,
    normals), each (257 * 256, 3)."""
    mu = np.repeat(np.linspace(0, 1, DIHEDRAL_COSINES), DIHEDRAL_AZIMUTHS)
    phi = np.tile(2 * math.pi * np.arange(DIHEDRAL_AZIMUTHS) / DIHEDRAL_AZIMUTHS, DIHEDRAL_COSINES)
    s = np.sqrt(1 - mu**2)
    r = np.c_[s * np.cos(phi), s * np.sin(phi), mu]
    return (-r).astype(np.float32), (r * [1, 1, -1]).astype(np.float32), \
        np.tile(np.float32([0, 0, 1]), (len(r), 1))


def microwave_tables(frequency, soils, vegetation=(), trunks=(), response_table_size=65,
                     trunk_luts=()):
    """The table arguments of run_microwave_wavefront (a dict: soil_count, vegetation_count,
    trunk_count, response_table_size and every table) for the given materials at `frequency`
    (Hz), the module's own models evaluated on an even grid of response_table_size incidence
    cosines from 0 to 1:

    - passive_soil_table, active_soil_table: _evaluate_microwave_soil, passive and active;
    - smooth_soil_table: _evaluate_microwave_soil_reflectivity; dihedral_ground_table: the same
      with the empirical dielectric model allowed, as the trunk-ground model sees the soil;
    - trunk_response_table: _evaluate_microwave_trunk; trunk_dihedral_scattering:
      _evaluate_microwave_trunk_ground over dihedral_directions(), each trunk on the first soil;
    - trunk_parameters: the trunk vector, then the wood's absorption coefficient;
    - vegetation_parameters: temperature (K), absorption coefficient (m^-1), six zeros.

    `vegetation` holds (temperature, absorption coefficient, phase) per entry, phase as
    vegetation_phase() returns it or None for none. `trunk_luts` holds, per trunk (missing
    ones: none), None or the trunk's entry of the CPU and OptiX calls' mw_trunk_mueller_luts:
    (mueller, cosine_cdf, azimuth_cdf) of the directions its wall reflects into (an empty
    mueller: specularly), and optionally a specular table (n_cos, 4, 4) of the reflection
    matrices at cosines k / (n_cos - 1) (None: the response table's R_p). lut_info numbers the
    vegetation tables first, then the trunks'; a trunk's specular table follows the Mueller
    tables in mueller_lut (lut_info words 6 and 7: its first float, n_cos)."""
    r = int(response_table_size)
    mu = np.linspace(0, 1, r).astype(np.float32)
    soils = [np.asarray(s, np.float32) for s in soils]
    trunks = [np.asarray(t, np.float32) for t in trunks]

    def table(fn, rows, columns):
        return np.array([fn(x) for x in rows], np.float32).reshape(len(rows), r, columns)

    out = {"soil_count": len(soils), "vegetation_count": len(vegetation),
           "trunk_count": len(trunks), "response_table_size": r,
           "passive_soil_table": table(lambda s: velm_gpu._evaluate_microwave_soil(
               frequency, s, mu), soils, 4),
           "active_soil_table": table(lambda s: velm_gpu._evaluate_microwave_soil(
               frequency, s, mu, True), soils, 4),
           "smooth_soil_table": table(lambda s: velm_gpu._evaluate_microwave_soil_reflectivity(
               frequency, s, mu), soils, 2),
           "dihedral_ground_table": table(lambda s: velm_gpu._evaluate_microwave_soil_reflectivity(
               frequency, s, mu, True), soils, 2),
           "trunk_response_table": table(lambda t: velm_gpu._evaluate_microwave_trunk(
               frequency, t, mu), trunks, 4)}
    geometry = dihedral_directions()
    out["trunk_dihedral_scattering"] = np.array(
        [velm_gpu._evaluate_microwave_trunk_ground(frequency, soils[0], t, *geometry)
         for t in trunks], np.float32).reshape(len(trunks), 2 * len(geometry[0]))
    out["trunk_parameters"] = np.array(
        [np.r_[t[:7], wood_absorption(frequency, t[2], t[3])] for t in trunks],
        np.float32).reshape(len(trunks), 8)
    params, info, tables = [], [], [[], [], []]
    sizes = [0, 0, 0]
    for temperature, absorption, phase in vegetation:
        params.append([temperature, absorption, 0, 0, 0, 0, 0, 0])
        if phase is None:
            info.append([0] * 8)
            continue
        mueller, cosine_cdf, azimuth_cdf = phase
        info.append(sizes + list(mueller.shape[:3]) + [0, 0])
        for k, t in enumerate((mueller, cosine_cdf, azimuth_cdf)):
            tables[k].append(t.ravel())
            sizes[k] += t.size
    specular = []
    for k in range(len(trunks)):
        lut = trunk_luts[k] if k < len(trunk_luts) else None
        if lut is None:
            info.append([0] * 8)
            continue
        mueller = np.asarray(lut[0], np.float32)
        entry = [0] * 8
        if mueller.size:
            entry[:6] = sizes + list(mueller.shape[:3])
            for j, t in enumerate(lut[:3]):
                tables[j].append(np.asarray(t, np.float32).ravel())
                sizes[j] += tables[j][-1].size
        if len(lut) > 3 and lut[3] is not None:
            specular.append((len(info), np.asarray(lut[3], np.float32).reshape(-1, 16)))
        info.append(entry)
    for at, table in specular:  # after every Mueller table
        info[at][6:] = [sizes[0], len(table)]
        tables[0].append(table.ravel())
        sizes[0] += table.size
    out["vegetation_parameters"] = np.array(params, np.float32).reshape(len(vegetation), 8)
    out["lut_info"] = np.array(info, np.uint32).reshape(len(info), 8)
    for k, name in enumerate(("mueller_lut", "cosine_cdf", "azimuth_cdf")):
        out[name] = np.concatenate(tables[k]).astype(np.float32) if tables[k] else \
            np.zeros(0, np.float32)
    return out


def microwave_forest_tables(frequency, soil=MOIST_SOIL, trunk=FOREST_TRUNK,
                            crown_scattering=0.5, crown_absorption=0.3, crown_temperature=293.0,
                            response_table_size=65):
    """Tables and material_map for procedural_forest: soil (material "soil") is soil 0, the
    crowns (material "leaf") a volume of forward-scattering vegetation, the trunks (material
    "bark") trunk 0."""
    tables = microwave_tables(
        frequency, [soil],
        [(crown_temperature, crown_absorption, vegetation_phase(crown_scattering, 0.3))],
        [trunk], response_table_size)
    tables["material_map"] = np.array([0, 1, 2], np.int32)  # soil, leaf, bark ids
    return tables


def microwave_forest_request(crown_scattering=0.5, crown_absorption=0.3, crown_temperature=293.0):
    """The materials of microwave_forest_tables as the OptiX Simulator's microwave calls take
    them (keyword arguments): the same soil, crowns and trunks, which the Simulator evaluates with
    the module's models itself."""
    return {"mw_soil_params": np.array([MOIST_SOIL], np.float32),
            "mw_veg_params": np.array([[crown_temperature, crown_absorption, 0, 0, 0, 0]],
                                      np.float32),
            "mw_trunk_params": np.array([FOREST_TRUNK], np.float32),
            "material_map": np.array([0, 1, 2], np.int32),
            "mw_veg_mueller_luts": [vegetation_phase(crown_scattering, 0.3)]}


