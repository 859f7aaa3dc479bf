"""Microwave images: passive brightness temperature and active (radar) backscatter.

The optical scene is reused as it is: each of its materials that should interact with microwaves
is given a microwave material by name (``{"soil": velm.Soil(...), "leaf": velm.Vegetation(...),
"bark": velm.Trunk(...)}``); materials left out are transparent to microwaves. The scene's
sensor makes the image.

- ``velm.Soil``: a rough soil surface (the module's dielectric and rough-surface models).
- ``velm.Vegetation``: a volume (closed meshes such as crowns) that absorbs and scatters.
- ``velm.Trunk``: a dielectric cylinder (wood) with its trunk-ground double bounce.

Units: frequency Hz, temperatures K, lengths m, absorption and scattering coefficients m^-1,
moisture as noted per field. Results: brightness temperature in K per polarisation (H, V and the
third and fourth modified Stokes parameters T3, T4), backscatter as the linear (not dB)
backscatter coefficient sigma0 per HH, HV, VH, VV.

The OptiX backend runs the Simulator's microwave launches, the Vulkan backend the wavefront
microwave transport over rays that velm casts from the sensor (the tables of
``velm.microwave_tables`` hold the module's soil and trunk models), and the CPU backend the
native CPU microwave functions where velm_gpu has them.
"""

from __future__ import annotations

import functools
import math
import time
from dataclasses import dataclass

import numpy as np
import velm_gpu
import xarray as xr

from . import _backends, microwave_tables
from ._native import check_seed
from ._progress import progress_bar
from .parallel import batched
from .sensors import Orthographic, Perspective

DIELECTRIC_MODELS = {"clay_mixing": 0, "semi_empirical": 1, "empirical": 2}
_PASSIVE = {1: ["total"], 2: ["H", "V"], 4: ["H", "V", "T3", "T4"]}
_ACTIVE = {1: ["total"], 2: ["HH", "VV"], 4: ["HH", "HV", "VH", "VV"]}
_RAYS_PER_CALL = 1 << 20  # Vulkan wavefront rays per native call (bounds host memory)


def _finite(name, value, low=None):
    v = float(value)
    if not math.isfinite(v) or (low is not None and v < low):
        raise ValueError(f"{name} must be a finite number{f' >= {low}' if low is not None else ''}"
                         f", not {value!r}")
    return v


@dataclass(frozen=True)
class Soil:
    """A rough soil surface.

    sand, clay: mass fractions (0..1); moisture: volumetric water content (m^3/m^3);
    roughness: the rough-surface parameter h; n_v, n_h: its exponents for the V and H channels;
    q: polarisation mixing; temperature: surface temperature (K); deep_temperature: K;
    dielectric: "semi_empirical", "clay_mixing" or "empirical"; rms_height: rms surface height
    (m).
    """

    sand: float = 0.3
    clay: float = 0.2
    moisture: float = 0.3
    roughness: float = 0.2
    n_v: float = 0.0
    n_h: float = 0.0
    q: float = 0.1
    temperature: float = 295.0
    deep_temperature: float = 290.0
    dielectric: str = "semi_empirical"
    rms_height: float = 0.01

    def __post_init__(self):
        if self.dielectric not in DIELECTRIC_MODELS:
            raise ValueError(f"soil dielectric must be one of {', '.join(DIELECTRIC_MODELS)}, "
                             f"not {self.dielectric!r}")
        for f in ("sand", "clay", "moisture"):
            if not 0.0 <= _finite(f"soil {f}", getattr(self, f)) <= 1.0:
                raise ValueError(f"soil {f} must lie in [0, 1], not {getattr(self, f)}")
        for f in ("temperature", "deep_temperature"):
            _finite(f"soil {f} (K)", getattr(self, f), 0.0)
        _finite("soil rms_height (m)", self.rms_height, 0.0)

    def vector(self) -> np.ndarray:
        """The native 12-value soil parameter vector."""
        return np.array([self.sand, self.clay, self.moisture, self.roughness, self.n_v, self.n_h,
                         self.q, self.temperature, self.deep_temperature,
                         DIELECTRIC_MODELS[self.dielectric], self.rms_height, 0.0], np.float32)


@dataclass(frozen=True)
class Vegetation:
    """A volume of vegetation (the inside of closed meshes such as crowns).

    temperature: K; absorption: power absorption coefficient (m^-1); scattering: scattering
    coefficient (m^-1, 0: none), into a Henyey-Greenstein pattern of the given `asymmetry`
    (-1..1, positive: forward), depolarising.
    """

    temperature: float = 293.0
    absorption: float = 0.3
    scattering: float = 0.5
    asymmetry: float = 0.3

    def __post_init__(self):
        _finite("vegetation temperature (K)", self.temperature, 0.0)
        _finite("vegetation absorption (m^-1)", self.absorption, 0.0)
        _finite("vegetation scattering (m^-1)", self.scattering, 0.0)
        if not -1.0 < _finite("vegetation asymmetry", self.asymmetry) < 1.0:
            raise ValueError(f"vegetation asymmetry must lie in (-1, 1), not {self.asymmetry}")

    def phase(self):
        """(mueller, cosine_cdf, azimuth_cdf) tables, or None without scattering."""
        if self.scattering == 0:
            return None
        return microwave_tables.vegetation_phase(self.scattering, self.asymmetry)


@dataclass(frozen=True)
class Trunk:
    """Tree trunks as dielectric cylinders of wood.

    radius, length: m; moisture: gravimetric water fraction of the wood (0..1); temperature: K;
    axis: the cylinder axis (default vertical).
    """

    radius: float = 0.2
    length: float = 4.0
    moisture: float = 0.5
    temperature: float = 293.0
    axis: tuple = (0.0, 0.0, 1.0)

    def __post_init__(self):
        _finite("trunk radius (m)", self.radius, 0.0)
        _finite("trunk length (m)", self.length, 0.0)
        if not 0.0 <= _finite("trunk moisture", self.moisture) <= 1.0:
            raise ValueError(f"trunk moisture must lie in [0, 1], not {self.moisture}")
        _finite("trunk temperature (K)", self.temperature, 0.0)
        a = np.asarray(self.axis, np.float64).ravel()
        if a.size != 3 or not np.linalg.norm(a) > 0:
            raise ValueError(f"trunk axis must be a non-zero 3-vector, not {self.axis!r}")
        object.__setattr__(self, "axis", tuple(float(x) for x in a / np.linalg.norm(a)))

    def vector(self) -> np.ndarray:
        """The native 7-value trunk parameter vector."""
        return np.array([self.radius, self.length, self.moisture, self.temperature, *self.axis],
                        np.float32)


MICROWAVE_MATERIALS = (Soil, Vegetation, Trunk)


@dataclass
class _Plan:
    soils: list
    vegetation: list
    trunks: list
    material_map: np.ndarray  # per optical material id: microwave material index or -1


def _plan(scene, materials) -> _Plan:
    if not isinstance(materials, dict) or not materials:
        raise ValueError("materials must be a dict from the scene's material names to "
                         "velm.Soil, velm.Vegetation or velm.Trunk, e.g. {'soil': velm.Soil()}")
    kinds = {Soil: [], Vegetation: [], Trunk: []}
    for name, m in materials.items():
        if name not in scene.materials:
            raise ValueError(f"microwave material for {name!r}: the scene has no material of "
                             f"that name (materials: {', '.join(map(repr, scene.materials))})")
        if type(m) not in kinds:
            raise TypeError(f"microwave material for {name!r} must be a velm.Soil, "
                            f"velm.Vegetation or velm.Trunk, not {type(m).__name__}")
        if m not in kinds[type(m)]:
            kinds[type(m)].append(m)
    soils, veg, trunks = kinds[Soil], kinds[Vegetation], kinds[Trunk]
    if trunks and not soils:
        raise ValueError("trunks need a soil under them (the trunk-ground double bounce): give "
                         "the ground's material a velm.Soil")
    order = soils + veg + trunks
    index = {(type(m), m): i for i, m in enumerate(order)}
    mmap = np.array([index[(type(materials[n]), materials[n])] if n in materials else -1
                     for n in scene.materials], np.int32)
    return _Plan(soils, veg, trunks, mmap)


def _optix_request(plan: _Plan) -> dict:
    """The table arguments of the OptiX Simulator's (and the CPU's) microwave calls."""
    veg = [[v.temperature, v.absorption, 0, 0, 0, 0] for v in plan.vegetation]
    return {"mw_soil_params": np.array([s.vector() for s in plan.soils], np.float32),
            "mw_veg_params": np.array(veg, np.float32),
            "mw_trunk_params": np.array([t.vector() for t in plan.trunks], np.float32),
            "material_map": plan.material_map,
            "mw_veg_mueller_luts": [v.phase() for v in plan.vegetation]}


@functools.lru_cache(maxsize=8)
def _wavefront_tables(frequency, soils, vegetation, trunks, size):
    return microwave_tables.microwave_tables(
        frequency, [s.vector() for s in soils],
        [(v.temperature, v.absorption, v.phase()) for v in vegetation],
        [t.vector() for t in trunks], size)


# ---- sensor rays for the Vulkan wavefront ------------------------------------------------------

def _fisheye_theta(projection, r, h):
    """Angle from the optical axis at image radius r (pixels' half-diagonal units) for a fisheye
    of half field of view h (rad); NaN outside the image circle."""
    with np.errstate(invalid="ignore"):
        s = {"equisolid": lambda: 2 * np.arcsin(np.where(2 * r * math.sin(h / 2) <= 1,
                                                         2 * r * math.sin(h / 2), np.nan)),
             "equidistant": lambda: 2 * h * r,
             "orthographic": lambda: np.arcsin(np.where(2 * r * math.sin(h) <= 1,
                                                        2 * r * math.sin(h), np.nan)),
             "stereographic": lambda: 2 * np.arctan(2 * r * math.tan(h / 2))}[projection]()
    return np.where(s > h, np.nan, s)


def sensor_rays(sensor, px, py):
    """World rays (origins, unit directions; (N, 3) float64 each) of `sensor` through image
    points (px, py) in pixel units (pixel i spans [i, i + 1)), the camera model of the native
    backends. A fisheye's points outside its image circle get a zero direction."""
    m = sensor.matrix.astype(np.float64)
    rot, pos = m[:3, :3], m[:3, 3]
    u = np.asarray(px, np.float64) / sensor.width - 0.5
    v = np.asarray(py, np.float64) / sensor.height - 0.5
    if isinstance(sensor, Orthographic):
        local = np.c_[u * sensor.extent[0], v * sensor.extent[1], np.zeros_like(u)]
        d = -rot[:, 2] / np.linalg.norm(rot[:, 2])
        return local @ rot.T + pos, np.broadcast_to(d, local.shape).copy()
    if isinstance(sensor, Perspective):
        t = math.tan(math.radians(sensor.fov) / 2)
        local = np.c_[2 * u * t * sensor.width / sensor.height, 2 * v * t, -np.ones_like(u)]
    else:
        theta = _fisheye_theta(sensor.projection, np.hypot(u, v), math.radians(sensor.fov) / 2)
        phi = np.arctan2(v, u)
        local = np.nan_to_num(np.c_[np.sin(theta) * np.cos(phi), np.sin(theta) * np.sin(phi),
                                    -np.cos(theta)])
    d = local @ rot.T
    n = np.linalg.norm(d, axis=1, keepdims=True)
    return np.broadcast_to(pos, d.shape).copy(), np.where(n > 0, d / np.where(n > 0, n, 1), 0)


def _channels(v4, n, active):
    """The n_channels of the OptiX film from the four values per pixel: 1 the mean of H and V
    (passive) or half the sum of the four powers (active), 2 H and V (HH and VV), 4 all four."""
    if n == 4:
        return v4
    if n == 2:
        return v4[..., [0, 3]] if active else v4[..., :2]
    return 0.5 * (v4.sum(-1) if active else v4[..., :2].sum(-1))[..., None]


def _vulkan_image(native, scene, plan, *, active, frequency, channels, spp, max_depth,
                  air_temperature, tau, seed, table_size, cb):
    tables = dict(_wavefront_tables(float(frequency), tuple(plan.soils), tuple(plan.vegetation),
                                    tuple(plan.trunks), int(table_size)))
    tables["material_map"] = plan.material_map
    s = scene.sensor
    rng = np.random.default_rng(seed)
    pixels = s.width * s.height
    total = np.zeros((pixels, 4), np.float64)
    per_call = max(1, _RAYS_PER_CALL // spp)
    t0 = time.perf_counter()
    for start in range(0, pixels, per_call):
        idx = np.arange(start, min(pixels, start + per_call))
        ix, iy = np.repeat(idx % s.width, spp), np.repeat(idx // s.width, spp)
        jitter = rng.random((len(ix), 2))
        o, d = sensor_rays(s, ix + jitter[:, 0], iy + jitter[:, 1])
        valid = np.linalg.norm(d, axis=1) > 0.5
        out = np.zeros((len(ix), 4), np.float32)
        if valid.any():
            pad = np.zeros((int(valid.sum()), 1))
            out[valid] = native.run_microwave_wavefront(
                bool(active), int(max_depth), float(air_temperature), float(tau),
                origins=np.c_[o[valid], pad].astype(np.float32),
                directions=np.c_[d[valid], pad].astype(np.float32), **tables,
                seed=seed)
        total[idx] = out.reshape(len(idx), spp, 4).sum(axis=1)
        if cb is not None:
            cb(int(idx[-1]) + 1, pixels, 1e3 * (time.perf_counter() - t0))
    image = (total / spp).reshape(s.height, s.width, 4)
    return _channels(image, channels, active).astype(np.float32)


def _cpu_function(active):
    return velm_gpu.simulate_active_microwave_cpu if active else velm_gpu.simulate_microwave_cpu


@batched("spp")
def microwave(scene, materials: dict, *, active: bool = False, frequency: float = 1.4e9,
              channels: int = 2, spp: int = 64, max_depth: int | None = None,
              air_temperature: float = 293.0, atmosphere_tau: float | None = None,
              seed: int = 0, table_size: int = 65, batches: int = 1, client=None,
              backend: str | None = None, progress=True) -> xr.DataArray:
    """The microwave image the scene's sensor sees.

    materials: scene material name -> velm.Soil, velm.Vegetation or velm.Trunk (names left out
    are transparent to microwaves). active: False for the passive (radiometer) image, True for
    monostatic radar backscatter. frequency: Hz. channels: 1, 2 or 4 (see below). spp: rays per
    pixel. max_depth: interactions per path (default 8 passive, 1 active). air_temperature: K,
    of the atmosphere; atmosphere_tau: its nadir optical depth (0: none; default 0.01 passive,
    0.005 active). seed: the random streams (and the Vulkan backend's ray jitter); table_size:
    the number of incidence cosines of the Vulkan backend's model tables. batches, client: see
    velm.parallel (batches split the rays per pixel and average the images).

    Returns a DataArray over (y, x, polarization) with the sensor's x and y coordinates:
    passive, "brightness_temperature" in K, polarization H, V (channels=2), H, V, T3, T4 (the
    modified Stokes vector, 4) or total (the mean of H and V, 1); active, "sigma0", the linear
    backscatter coefficient (m^2 m^-2; 10 log10 for dB), polarization HH, VV (2), HH, HV, VH, VV
    (4) or total (half the sum of the four, 1).
    """
    from .simulate import _backend, _positive

    b = _backend(backend, "microwave")
    if channels not in (1, 2, 4):
        raise ValueError(f"channels must be 1, 2 or 4, not {channels!r}")
    spp = _positive("spp", spp)
    seed = check_seed(seed)
    max_depth = _positive("max_depth", (1 if active else 8) if max_depth is None else max_depth)
    tau = (0.005 if active else 0.01) if atmosphere_tau is None else atmosphere_tau
    tau = _finite("atmosphere_tau", tau, 0.0)
    frequency = _finite("frequency (Hz)", frequency, 0.0)
    air_temperature = _finite("air_temperature (K)", air_temperature, 0.0)
    scene.check(need_sensor=True, need_light=False)
    plan = _plan(scene, materials)
    native, _ = _backends.native_scene(scene, b)
    with progress_bar(progress, "microwave", "pixel" if b == "vulkan" else "call") as cb:
        if b == "vulkan":
            image = _vulkan_image(native, scene, plan, active=active, frequency=frequency,
                                  channels=channels, spp=spp, max_depth=max_depth,
                                  air_temperature=air_temperature, tau=tau, seed=seed,
                                  table_size=table_size, cb=cb)
        else:
            kw = dict(frequency=frequency, n_channels=channels, spp=spp, max_depth=max_depth,
                      air_temperature=air_temperature, atm_tau=tau, **_optix_request(plan))
            if not active:
                kw["include_atmosphere"] = tau > 0
            if b == "cpu":
                call = _cpu_function(active)
            else:
                sim = _backends.optix_simulator()
                call = sim.simulate_active_microwave if active else sim.simulate_microwave
            image = call(native, **kw, seed=seed)
            if cb is not None:
                cb(1, 1, 0.0)
    s = scene.sensor
    labels = (_ACTIVE if active else _PASSIVE)[channels]
    attrs = ({"units": "1", "long_name": "backscatter coefficient sigma0 (linear)"} if active
             else {"units": "K", "long_name": "brightness temperature"})
    coords = {**s.coords(), "polarization": ("polarization", labels)}
    return xr.DataArray(np.asarray(image, np.float32).reshape(s.height, s.width, channels),
                        dims=("y", "x", "polarization"), coords=coords,
                        name="sigma0" if active else "brightness_temperature",
                        attrs={**attrs, "backend": b, "frequency": frequency, "spp": spp,
                               "max_depth": max_depth, "atmosphere_tau": tau,
                               "air_temperature": air_temperature})


__all__ = ["Soil", "Vegetation", "Trunk", "microwave", "sensor_rays", "DIELECTRIC_MODELS"]
