"""The simulations: one signature whatever the backend.

Every function takes a ``velm.Scene``, keyword-only settings and ``backend="cpu" | "vulkan" |
"optix"`` (default: ``velm.default_backend()``), and returns an xarray object with coordinates
and ``units`` attributes. A backend that lacks a capability raises NotImplementedError naming the
backends that have it. ``progress=False`` switches the progress bar off (a callable
``(done, total, elapsed_ms)`` replaces it).

Every simulation also takes ``seed`` (an unsigned 64-bit int selecting independent random
streams; 0, the default, the native module's own streams), ``batches`` (the budget -- samples,
photons, pulses or rays -- split into that many runs whose results are merged) and ``client`` (a
``dask.distributed.Client`` that runs the batches on its workers; see ``velm.parallel``).
"""

from __future__ import annotations

import logging
import math

import numpy as np
import velm_gpu
import xarray as xr

from . import _backends, _native
from ._progress import progress_bar
from .parallel import batched
from .materials import spectrum
from .sensors import Orthographic, sun_direction

log = logging.getLogger("velm")

# Which backends offer what through velm.
CAPABILITIES = {
    "render": ("cpu", "vulkan", "optix"),
    "render.thermal": ("cpu", "vulkan", "optix"),
    "render.sif": ("vulkan", "optix"),
    "absorbed": ("cpu", "vulkan", "optix"),
    "absorbed.brf": ("cpu", "optix"),
    "flux": ("cpu", "vulkan", "optix"),
    "lidar": ("cpu", "optix"),
    "energy_balance": ("cpu", "vulkan", "optix"),
    "microwave": ("cpu", "vulkan", "optix"),
}

_WAVELENGTH = {"units": "nm", "long_name": "band-centre wavelength"}


def _backend(backend, capability: str) -> str:
    b = _native.default_backend() if backend is None else backend
    _native.require_compiled(b)
    if b not in CAPABILITIES[capability]:
        have = CAPABILITIES[capability]
        raise NotImplementedError(
            f"{capability.replace('.', ' with ')} is not offered by the {b} backend; "
            f"backends that have it: {', '.join(have)} (pass backend={have[0]!r})")
    return b


def _band_coord(scene, n=None):
    w = scene.bands if n is None else scene.bands[:n]
    return ("band", w.astype(np.float64), _WAVELENGTH)


def _positive(name, value):
    """`value` as an int of at least 1; a whole float (4.0) counts, a fraction does not."""
    try:
        n = int(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be an integer, not {value!r}") from None
    if isinstance(value, (str, bytes)) or n != value:
        raise TypeError(f"{name} must be an integer, not {value!r}")
    if n < 1:
        raise ValueError(f"{name} must be at least 1, not {value}")
    return n


# ---- images ----------------------------------------------------------------------------------

@batched("spp")
def render(scene, *, spp: int = 16, max_depth: int = 16, thermal: bool = False,
           sif=False, seed: int = 0, batches: int = 1, client=None,
           backend: str | None = None, progress=True) -> xr.DataArray:
    """The image the scene's sensor sees, by backward Monte Carlo path tracing.

    spp: samples (paths) per pixel; max_depth: surface interactions per path.
    thermal: True renders emission (every material by its temperature and emissivity, at the
    scene's band wavelengths) instead of reflected sunlight; the sun and sky are not used.
    seed, batches, client: see the module docstring (batches split spp and average the images).
    sif: True adds each material's solar-induced fluorescence (``sif=``) to the reflected light;
    "only" renders the fluorescence alone (GPU backends).

    Returns a DataArray "radiance" of shape (y, x, band) in W m^-2 sr^-1 nm^-1 (spectral
    radiance, per nm of wavelength, in thermal mode too), with coordinates x and y (metres for
    an orthographic sensor, view angles in degrees for a perspective one, image-plane
    coordinates with per-pixel view zenith and azimuth for a fisheye) and band (nm).
    """
    b = _backend(backend, "render.thermal" if thermal else "render")
    if sif:
        b = _backend(b, "render.sif")
    spp, max_depth = _positive("spp", spp), _positive("max_depth", max_depth)
    seed = _native.check_seed(seed)
    scene.check(need_sensor=True, thermal=thermal)
    native, layout = _backends.native_scene(scene, b, thermal=thermal)
    if b in ("vulkan", "optix"):
        _set_sif(native, scene, sif)
    with progress_bar(progress, "render", "pass") as cb:
        if b == "cpu":
            image = velm_gpu.simulate_cpu(native, spp, max_depth, cb, seed=seed)
        elif b == "vulkan":
            image = native.simulate_backward(spp, max_depth, seed=seed)
        else:
            image = _backends.optix_simulator().simulate(native, spp, max_depth, cb, seed=seed)
    s = scene.sensor
    kind = "thermal emission" if thermal else ("fluorescence" if sif == "only" else "radiance")
    return xr.DataArray(
        np.asarray(image, np.float32).reshape(s.height, s.width, scene.band_count),
        dims=("y", "x", "band"), coords={"band": _band_coord(scene), **s.coords()},
        name="radiance",
        attrs={"units": "W m-2 sr-1 nm-1", "long_name": f"spectral {kind} at the sensor",
               "sensor": type(s).__name__.lower(), "backend": b, "spp": spp,
               "max_depth": max_depth, "thermal": int(bool(thermal))})


def _set_sif(native, scene, sif):
    native.set_sif_only_mode(sif == "only")
    if not sif:
        native.clear_primitive_sif_spectra()
        return
    nb = scene.band_count
    per_material = [m.sif_spectrum(nb) for m in scene.materials.values()]
    if all(s is None for s in per_material):
        raise ValueError("sif rendering: no material has a fluorescence spectrum; give "
                         "sif=[...] (W m-2 sr-1 nm-1 per band) to the emitting materials")
    table = np.array([np.zeros(nb, np.float32) if s is None else s for s in per_material])
    spectra = table[scene.primitive_materials()].T  # band-major: (bands, primitives)
    native.set_primitive_sif_spectra(np.ascontiguousarray(spectra, np.float32).ravel(), nb)


# ---- forward photon tracing ------------------------------------------------------------------

def _incident(scene, native, extent):
    """Power (W nm^-1 per band) that the sun and sky deliver into the scene, as the photon
    launch spreads it: through the top of the repeating tile, or through the top and sides of
    the scene's box scaled to the launch extent (Sx, Sy)."""
    nb = scene.band_count
    sx, sy = extent
    e = np.zeros(nb) if scene.sun is None else spectrum(scene.sun.irradiance, nb, "sun")
    sky = np.zeros(nb) if scene.sky is None else spectrum(scene.sky.radiance, nb, "sky")
    l = scene.sun.direction.astype(np.float64) if scene.sun is not None else np.zeros(3)
    if abs(l[2]) < 0.01:
        e = np.zeros(nb)
    if scene.tile is not None:
        return (e * abs(l[2]) + math.pi * sky) * sx * sy
    (x0, y0, z0), (x1, y1, z1) = native.aabb()
    dx, dy, dz = x1 - x0, y1 - y0, z1 - z0
    if dx * dy <= 0:
        return np.zeros(nb)
    sun_ratio = (abs(l[2]) * dx * dy + abs(l[0]) * dy * dz + abs(l[1]) * dx * dz) / (dx * dy)
    sky_ratio = (dx * dy + 2 * dy * dz + 2 * dx * dz) / (dx * dy)
    return (e * sun_ratio + math.pi * sky * sky_ratio) * sx * sy


def _check_photon_light(scene):
    if scene.sun is not None and abs(scene.sun.direction[2]) < 0.01 and scene.sky is None:
        raise ValueError("the sun is within 0.6 degrees of the horizon and there is no sky: "
                         "no photon would be launched; raise the sun or add a sky")


def _grid_coords(extent, nx, ny):
    sx, sy = extent
    return {"x": ("x", (np.arange(nx) + 0.5) * sx / nx, {"units": "m",
                                                          "long_name": "cell centre x"}),
            "y": ("y", (np.arange(ny) + 0.5) * sy / ny, {"units": "m",
                                                          "long_name": "cell centre y"})}


def _terrain_instance(scene, terrain):
    if terrain is None:
        return -1
    if isinstance(terrain, (int, np.integer)):
        if not 0 <= terrain < scene.instance_count:
            raise IndexError(f"terrain instance {terrain} is outside [0, "
                             f"{scene.instance_count})")
        return int(terrain)
    placed = scene.instances_of(terrain)
    if len(placed) != 1:
        raise ValueError(f"terrain={terrain!r} must name a mesh placed exactly once (it is "
                         f"placed {len(placed)} times); pass an instance index instead")
    return placed[0]


@batched("photons")
def absorbed(scene, *, layer_heights, nx: int = 1, ny: int = 1, photons: int = 1_000_000,
             per_leaf: bool = False, terrain=None, brf_directions=None, prob_sun: float = 1.0,
             max_depth: int = 16, seed: int = 0, batches: int = 1, client=None,
             backend: str | None = None, progress=True) -> xr.Dataset:
    """Absorbed sun and sky radiation, by forward photon tracing.

    layer_heights: ascending layer boundaries (m), nz + 1 values; nx, ny: horizontal cells over
    the launch extent [0, Sx] x [0, Sy] (the tile, else the orthographic sensor's extent; hits
    outside fall in the border cells); photons: photons launched; per_leaf: tally per
    primitive; terrain: the mesh name (placed once) or instance index whose absorption is
    tallied apart (and not in the grid); brf_directions: (zenith, azimuth) view directions in
    degrees for the BRF and albedo (CPU and OptiX); prob_sun: share of sun photons when there is
    a sky; seed, batches, client: see the module docstring (batches split the photons).

    Returns a Dataset with, per band (W nm^-1: absolute spectral power):
      absorbed (layer, y, x, band), terrain (band), leaf (primitive, band) when asked (with
      the primitives' material, instance and area as coordinates),
      brf_intensity (direction, band) in W sr^-1 nm^-1, albedo_power (band), incident (band);
    and as fractions of the incident power: absorbed_fraction, terrain_fraction,
    leaf_fraction, albedo, and brf (the bidirectional reflectance factor, pi I / (cos(view
    zenith) incident)). ``incident`` is the power the sun and sky deliver into the scene (for
    a repeating tile: (E cos(sun zenith) + pi L_sky) Sx Sy).
    """
    b = _backend(backend, "absorbed.brf" if brf_directions is not None else "absorbed")
    h = np.asarray(layer_heights, np.float32).ravel()
    if h.size < 2 or np.any(np.diff(h) <= 0):
        raise ValueError("layer_heights must hold at least two strictly increasing heights (m)")
    nx, ny, photons = _positive("nx", nx), _positive("ny", ny), _positive("photons", photons)
    seed = _native.check_seed(seed)
    scene.check()
    _check_photon_light(scene)
    extent = scene.horizontal_extent("absorbed")
    tid = _terrain_instance(scene, terrain)
    nb = scene.band_count
    dirs = np.zeros((0, 3), np.float32)
    angles = np.zeros((0, 2))
    if brf_directions is not None:
        angles = np.asarray(brf_directions, np.float64).reshape(-1, 2)
        if np.any(angles[:, 0] >= 90) or np.any(angles[:, 0] < 0):
            raise ValueError("brf_directions are (zenith, azimuth) in degrees with zenith in "
                             "[0, 90)")
        dirs = np.array([sun_direction(z, a) for z, a in angles], np.float32).reshape(-1, 3)
    native, _ = _backends.native_scene(scene, b)
    with progress_bar(progress, "absorbed", "photon") as cb:
        if b == "cpu":
            r = velm_gpu.simulate_forward_cpu(native, nx, ny, h, photons, nb, per_leaf, dirs,
                                              len(dirs), prob_sun, max_depth, tid, cb, seed=seed)
        elif b == "vulkan":
            r = native.simulate_forward_radiation(nx, ny, h, photons, nb, per_leaf, prob_sun,
                                                  max_depth, 3, tid, cb, seed=seed)
        else:
            r = _backends.optix_simulator().simulate_forward(
                native, nx, ny, h, photons, nb, per_leaf, dirs, len(dirs), prob_sun, max_depth,
                tid, cb, seed=seed)
    incident = _incident(scene, native, extent)
    frac = np.where(incident > 0, 1.0 / np.where(incident > 0, incident, 1), 0.0)
    power = {"units": "W nm-1"}
    mid = 0.5 * (h[:-1] + h[1:])
    coords = {"band": _band_coord(scene), **_grid_coords(extent, nx, ny),
              "layer": ("layer", mid.astype(np.float64),
                        {"units": "m", "long_name": "layer mid-height"}),
              "layer_bottom": ("layer", h[:-1].astype(np.float64), {"units": "m"}),
              "layer_top": ("layer", h[1:].astype(np.float64), {"units": "m"})}
    grid = np.asarray(r["grid"], np.float64).reshape(len(h) - 1, ny, nx, nb)
    data = {"absorbed": (("layer", "y", "x", "band"), grid,
                         {**power, "long_name": "absorbed spectral power per cell"}),
            "absorbed_fraction": (("layer", "y", "x", "band"), grid * frac,
                                  {"units": "1", "long_name": "absorbed fraction of incident"}),
            "incident": (("band",), incident, {**power, "long_name": "incident spectral power"})}
    if "terrain" in r:
        t = np.asarray(r["terrain"], np.float64)
        data["terrain"] = (("band",), t, {**power, "long_name": "absorbed by the terrain"})
        data["terrain_fraction"] = (("band",), t * frac, {"units": "1"})
    if "leaf" in r:
        leaf = np.asarray(r["leaf"], np.float64).reshape(-1, nb)
        data["leaf"] = (("primitive", "band"), leaf, {**power, "long_name": "absorbed per leaf"})
        data["leaf_fraction"] = (("primitive", "band"), leaf * frac, {"units": "1"})
        coords.update(primitive_coords(scene))
    if "brf" in r:
        i = np.asarray(r["brf"], np.float64).reshape(-1, nb)
        cos_v = np.cos(np.radians(angles[:, 0]))[:, None]
        coords["view_zenith"] = ("direction", angles[:, 0], {"units": "degree"})
        coords["view_azimuth"] = ("direction", angles[:, 1], {"units": "degree"})
        data["brf_intensity"] = (("direction", "band"), i,
                                 {"units": "W sr-1 nm-1", "long_name": "reflected intensity"})
        data["brf"] = (("direction", "band"), math.pi * i * frac / cos_v,
                       {"units": "1", "long_name": "bidirectional reflectance factor"})
        a = np.asarray(r["albedo"], np.float64)
        data["albedo_power"] = (("band",), a, {**power, "long_name": "power escaping upwards"})
        data["albedo"] = (("band",), a * frac, {"units": "1", "long_name": "albedo"})
    return xr.Dataset(data, coords=coords,
                      attrs={"backend": b, "photons": photons, "max_depth": max_depth,
                             "prob_sun": float(prob_sun), "extent_x": extent[0],
                             "extent_y": extent[1]})


@batched("photons")
def flux(scene, *, nx: int, ny: int, photons: int = 1_000_000, prob_sun: float = 1.0,
         max_bounces: int = 0, max_depth: int = 16, decompose: bool = False,
         seed: int = 0, batches: int = 1, client=None, backend: str | None = None,
         progress=True) -> xr.Dataset:
    """Downwelling and upwelling spectral flux on an nx x ny grid of columns over the launch
    extent [0, Sx] x [0, Sy] (the tile, else the orthographic sensor's extent).

    max_bounces: surface hits recorded per photon (0: all); decompose: also the direct and
    diffuse parts of the downwelling flux; seed, batches, client: see the module docstring
    (batches split the photons).

    Returns a Dataset of (y, x, band) flux densities in W m^-2 nm^-1: downwelling, upwelling
    (and downwelling_direct, downwelling_diffuse); the power per cell is the density times
    ``cell_area`` (m^2, an attribute).
    """
    b = _backend(backend, "flux")
    nx, ny, photons = _positive("nx", nx), _positive("ny", ny), _positive("photons", photons)
    seed = _native.check_seed(seed)
    scene.check()
    _check_photon_light(scene)
    extent = scene.horizontal_extent("flux")
    nb = scene.band_count
    native, _ = _backends.native_scene(scene, b)
    with progress_bar(progress, "flux", "photon") as cb:
        if b == "cpu":
            r = velm_gpu.simulate_flux_cpu(native, nx, ny, photons, nb, prob_sun, max_bounces,
                                           max_depth, 3, decompose, cb, seed=seed)
        elif b == "vulkan":
            r = native.simulate_flux(nx, ny, photons, nb, prob_sun, max_bounces, max_depth, 3,
                                     decompose, cb, seed=seed)
        else:
            r = _backends.optix_simulator().simulate_flux(native, nx, ny, photons, nb, prob_sun,
                                                          max_bounces, max_depth, 3, decompose,
                                                          cb, seed=seed)
    cell = extent[0] * extent[1] / (nx * ny)
    data = {k: (("y", "x", "band"), np.asarray(v, np.float64).reshape(ny, nx, nb) / cell,
                {"units": "W m-2 nm-1", "long_name": k.replace("_", " ") + " spectral flux"})
            for k, v in r.items()}
    return xr.Dataset(data, coords={"band": _band_coord(scene), **_grid_coords(extent, nx, ny)},
                      attrs={"backend": b, "photons": photons, "cell_area": cell,
                             "max_bounces": max_bounces, "max_depth": max_depth})


# ---- LiDAR -----------------------------------------------------------------------------------

POINT_FIELDS = ("x", "y", "z", "intensity", "return_number", "number_of_returns", "range",
                "pulse")


@batched("pulses")
def lidar(scene, origins, directions, *, beam_half_angle: float = 5e-4,
          beam_samples: int = 10, pulse_energy: float = 1.0, sensor_area: float = 0.1,
          range_resolution: float = 0.15, min_range: float = 0.0, max_range: float = 100.0,
          pulse_fwhm: float = 4.0, peak_threshold: float = 1e-8, max_returns: int = 5,
          bands: int | None = None, mode: str = "waveform", waveform: bool = True,
          chunk: int = 65536, seed: int = 0, batches: int = 1, client=None,
          backend: str | None = None, progress=True) -> xr.Dataset:
    """Full-waveform (or first-hit) LiDAR: pulses fired from `origins` (N, 3) along unit
    `directions` (N, 3), metres.

    beam_half_angle: rad; beam_samples: rays per beam diameter (10 gives 81 rays in the disc);
    pulse_energy: J; sensor_area: m^2; range_resolution, min_range, max_range: m; pulse_fwhm:
    ns; bands: wavelengths simulated (the first `bands` of the scene; default all); mode:
    "waveform" (beam sampling, Gaussian pulse, peak extraction) or "direct" (the first hit of
    the central ray); waveform: keep the waveforms in the result; chunk: pulses per native
    call (bounds memory and keeps pulse ids exact); seed, batches, client: see the module
    docstring (batches split the pulses; pulse ids stay those of the whole request).

    Returns a Dataset with the points on dimension "point": x, y, z (m), intensity (J),
    return_number, number_of_returns, range (m) and pulse (int64 index into `origins`); and,
    when kept, waveform (pulse, range_bin, band) in J per bin, with range_bin the bin-centre
    range (m).
    """
    b = _backend(backend, "lidar")
    if mode not in ("waveform", "direct"):
        raise ValueError(f"mode must be 'waveform' or 'direct', not {mode!r}")
    o = np.ascontiguousarray(origins, np.float32).reshape(-1, 3)
    d = np.ascontiguousarray(directions, np.float32).reshape(-1, 3)
    if o.shape != d.shape:
        raise ValueError(f"origins and directions must both be (N, 3); got {o.shape} and "
                         f"{d.shape}")
    if _positive("beam_samples", beam_samples) < 2 and mode == "waveform":
        raise ValueError("beam_samples must be at least 2 (1 leaves no ray inside the beam)")
    if range_resolution <= 0 or max_range <= min_range:
        raise ValueError("range_resolution must be positive and max_range above min_range")
    seed = _native.check_seed(seed)
    scene.check(need_light=False)
    nwl = scene.band_count if bands is None else int(bands)
    if not 1 <= nwl <= scene.band_count:
        raise ValueError(f"bands must be in [1, {scene.band_count}] (the scene's band count)")
    native, _ = _backends.native_scene(scene, b)
    n = len(o)
    chunk = max(1, min(int(chunk), 1 << 23))
    points, waves = [], []
    settings = (float(beam_half_angle), int(beam_samples), float(pulse_energy),
                float(sensor_area), float(range_resolution), float(min_range), float(max_range),
                nwl, float(pulse_fwhm), float(peak_threshold), int(max_returns),
                mode == "direct")
    with progress_bar(progress, "lidar", "pulse") as cb:
        for start in range(0, n, chunk):
            stop = min(n, start + chunk)
            args = (native, o[start:stop], d[start:stop], stop - start) + settings
            fn = velm_gpu.simulate_lidar_cpu if b == "cpu" else \
                _backends.optix_simulator().simulate_lidar
            r = fn(*args, seed=seed)
            p = np.asarray(r["points"], np.float32).reshape(-1, 8)
            # Within a chunk of fewer than 2^24 pulses the float32 pulse column is exact.
            ids = p[:, 7].astype(np.int64) + start
            points.append((p, ids))
            if waveform and mode == "waveform":
                waves.append(np.asarray(r["waveform"], np.float32))
            nbins = int(r["num_bins"])
            if cb is not None:
                cb(stop, n, 0.0)
    p = np.concatenate([x[0] for x in points]) if points else np.zeros((0, 8), np.float32)
    ids = np.concatenate([x[1] for x in points]) if points else np.zeros(0, np.int64)
    order = np.lexsort((p[:, 4], ids))  # by pulse, then return number
    p, ids = p[order], ids[order]
    data = {"x": ("point", p[:, 0].astype(np.float64), {"units": "m"}),
            "y": ("point", p[:, 1].astype(np.float64), {"units": "m"}),
            "z": ("point", p[:, 2].astype(np.float64), {"units": "m"}),
            "intensity": ("point", p[:, 3], {"units": "J", "long_name": "return energy"}),
            "return_number": ("point", p[:, 4].astype(np.int32), {"units": "1"}),
            "number_of_returns": ("point", p[:, 5].astype(np.int32), {"units": "1"}),
            "range": ("point", p[:, 6], {"units": "m"}),
            "pulse": ("point", ids, {"units": "1", "long_name": "pulse index"})}
    coords = {}
    if waves:
        bins = min_range + (np.arange(nbins) + 0.5) * range_resolution
        data["waveform"] = (("pulse_index", "range_bin", "band"),
                            np.concatenate(waves).reshape(n, nbins, nwl),
                            {"units": "J", "long_name": "received energy per range bin"})
        coords = {"range_bin": ("range_bin", bins, {"units": "m", "long_name": "bin centre"}),
                  "band": _band_coord(scene, nwl),
                  "pulse_index": ("pulse_index", np.arange(n, dtype=np.int64))}
    return xr.Dataset(data, coords=coords,
                      attrs={"backend": b, "mode": mode, "pulses": n,
                             "range_resolution": float(range_resolution)})


# ---- energy balance --------------------------------------------------------------------------

@batched("samples")
def energy_balance(scene, *, samples: int = 64, two_sided: bool = True,
                   longwave_sky_radiance: float | None = None, temperatures=None,
                   shortwave: bool = True, seed: int = 0, batches: int = 1, client=None,
                   backend: str | None = None, progress=True) -> xr.Dataset:
    """Absorbed radiation per primitive (triangle), for thermal modelling.

    Short wave, per band of the scene: the sun (``scene.sun``) and the sky (``scene.sky``)
    with one bounce of reflection from the surrounding surfaces (their materials' reflectance
    as albedo), `samples` rays per primitive.
    Long wave, when `longwave_sky_radiance` (W m^-2 sr^-1, broadband) is given: the sky and
    the surrounding surfaces emitting at their materials' temperatures (K) and emissivities
    (mean over the bands), or at `temperatures` (K, one per primitive in global order) when
    given. shortwave=False leaves the short wave out (for iterating on temperatures). seed,
    batches, client: see the module docstring (batches split the samples).

    Returns a Dataset over "primitive" (global order: instances in order, each one's
    triangles in order, with coordinates material, instance and area in m^2):
    shortwave_top and shortwave_bottom (band, primitive) in W m^-2 nm^-1, absorbed by the
    front and back face; longwave_top and longwave_bottom (primitive) in W m^-2 when asked.
    """
    b = _backend(backend, "energy_balance")
    samples = _positive("samples", samples)
    seed = _native.check_seed(seed)
    scene.check(need_light=shortwave)
    p = scene.primitive_count()
    if temperatures is not None:
        temperatures = np.ascontiguousarray(temperatures, np.float32).ravel()
        if temperatures.size != p or longwave_sky_radiance is None:
            raise ValueError(f"temperatures: one value (K) per primitive ({p}), and only with "
                             f"longwave_sky_radiance; got {temperatures.size}")
    if not shortwave and longwave_sky_radiance is None:
        raise ValueError("shortwave=False needs longwave_sky_radiance: nothing else to compute")
    native, _ = _backends.native_scene(scene, b)
    nb = scene.band_count
    mats = scene.primitive_materials()
    e = np.zeros(nb, np.float32) if scene.sun is None else \
        spectrum(scene.sun.irradiance, nb, "sun irradiance")
    sky = np.zeros(nb, np.float32) if scene.sky is None else \
        spectrum(scene.sky.radiance, nb, "sky radiance")
    albedo_table = np.array([m.blocks(nb)[0] for m in scene.materials.values()], np.float32)
    albedos = np.ascontiguousarray(albedo_table[mats].T).ravel()
    sun = scene.sun.direction if scene.sun is not None else np.float32([0, 0, 1])
    with progress_bar(progress, "energy balance", "call") as cb:
        if not shortwave:
            top = bot = None
        elif b == "vulkan":
            top, bot = native.run_energy_balance_multiband_gpu(nb, samples, e, sky, *sun,
                                                               two_sided, albedos, seed=seed)
        elif b == "optix":
            top, bot = _backends.optix_simulator().run_energy_balance_multiband(
                native, nb, samples, e, sky, *sun, two_sided, albedos, seed=seed)
        else:
            top, bot = velm_gpu.run_energy_balance_multiband_cpu(
                native, nb, samples, e, sky, *sun, two_sided, albedos, seed=seed)
        if cb is not None:
            cb(1, 2 if longwave_sky_radiance is not None else 1, 0.0)
        lw = None
        if longwave_sky_radiance is not None:
            lw = _longwave(scene, native, b, samples, two_sided, float(longwave_sky_radiance),
                           mats, sun, temperatures, seed)
    per_nm = {"units": "W m-2 nm-1"}
    data = {}
    if shortwave:
        data["shortwave_top"] = (("band", "primitive"), np.asarray(top).reshape(nb, p),
                                 {**per_nm, "long_name": "short wave absorbed by the front face"})
    if two_sided and shortwave:
        data["shortwave_bottom"] = (("band", "primitive"), np.asarray(bot).reshape(nb, p),
                                    {**per_nm, "long_name": "short wave absorbed by the back"})
    if lw is not None:
        data["longwave_top"] = (("primitive",), lw[0], {"units": "W m-2"})
        if two_sided:
            data["longwave_bottom"] = (("primitive",), lw[1], {"units": "W m-2"})
    coords = {"band": _band_coord(scene), **primitive_coords(scene)}
    return xr.Dataset(data, coords=coords, attrs={"backend": b, "samples": samples})


def _longwave(scene, native, b, samples, two_sided, sky_lw, mats, sun, temps=None, seed=0):
    nb = scene.band_count
    if temps is None:
        temps = np.array([float(m.temperature or m.sunlit_temperature or 0.0)
                          for m in scene.materials.values()], np.float32)[mats]
    eps = np.array([float(np.mean(m.emissivity_spectrum(nb)))
                    for m in scene.materials.values()], np.float32)[mats]
    if b == "cpu":   # the Embree scene holds no temperatures: they travel with the call
        return velm_gpu.run_energy_balance_cpu(native, 1, samples, 0.0, 0.0, sky_lw, *sun,
                                               two_sided, None, temps, eps, seed=seed)
    native.set_primitive_temperatures(temps)
    native.set_primitive_emissivities(eps)
    try:
        if b == "vulkan":
            return native.run_energy_balance_gpu(1, samples, 0.0, 0.0, sky_lw, *sun, two_sided,
                                                 seed=seed)
        return _backends.optix_simulator().run_energy_balance(
            native, 1, samples, 0.0, 0.0, sky_lw, *sun, two_sided, None, seed=seed)
    finally:
        native.clear_primitive_temperatures()


def primitive_areas(scene) -> np.ndarray:
    """World area (m^2) of every primitive in global order."""
    out = []
    for mesh, xfs in scene._instance_batches(lambda mesh: mesh.triangle_count):
        v, t = mesh.vertices.astype(np.float64), mesh.indices
        # A transform A maps a triangle's (e1 x e2) to cof(A) (e1 x e2), cof(A) = det(A) A^-T
        # (the cofactor matrix, defined for any A): one 3x3 product per instance and triangle.
        local = np.cross(v[t[:, 1]] - v[t[:, 0]], v[t[:, 2]] - v[t[:, 0]])  # (T, 3)
        a = xfs[:, :, :3]
        cof = np.cross(a[:, [1, 2, 0], :], a[:, [2, 0, 1], :])  # row i: a_{i+1} x a_{i+2}
        world = cof @ local.T  # (n, 3, T)
        out.append(0.5 * np.sqrt((world * world).sum(axis=1)).ravel())
    return np.concatenate(out) if out else np.zeros(0)


def primitive_coords(scene) -> dict:
    """Coordinates along "primitive" (global order: instances in order, each one's triangles in
    order): the material's name, the instance index and the world area (m^2), so that results
    per primitive group by tree or material (``ds.groupby("instance").sum()``) and turn into
    flux densities (divided by ``area``)."""
    counts = scene._triangle_counts()
    names = np.array(list(scene.materials))
    return {"material": ("primitive", names[scene.primitive_materials()]),
            "instance": ("primitive", np.repeat(np.arange(len(counts)), counts)),
            "area": ("primitive", primitive_areas(scene), {"units": "m2"})}


__all__ = ["render", "absorbed", "flux", "lidar", "energy_balance", "CAPABILITIES",
           "primitive_areas", "Orthographic"]
