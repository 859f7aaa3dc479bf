"""The same bad input is refused with the same exception type on every backend, before any work.

Each row changes a lit, built plane (two bands, a sky, an orthographic sensor over it) and runs
one simulation on the CPU and the Vulkan backend: an image, a radiation field, a flux map, the
energy balance (one band or several) or a microwave image (passive or radar; on Vulkan the
wavefront over one nadir ray, with the tables velm.microwave_tables makes of the same
materials). The OptiX plans are pure functions of the scene description, reachable without a GPU
only from C++: their column of this table is the named rows of
OptixLaunchChecks.EveryRefusalComesBeforeDeviceWorkWithItsTypeAndMessage in
tests/cpp/test_optix_launch.cpp.
"""

import re

import numpy as np
import pytest

import velm_gpu as velm

import conftest
import scenes
from conftest import BACKENDS, new_scene
SUN = scenes.sun_direction(30.0, 0.0)
CAM = scenes.nadir_camera(0.0, 0.0, 10.0)
NAN, INF = float("nan"), float("inf")


def lit_plane(backend, request):
    """Spectral layout: reflectance 0-1, sun 2-3, sky 4-5; material 0 on mesh 0, instance 0."""
    s = new_scene(backend, request)
    scenes.lambertian_plane(s, [0.3, 0.4], [1000.0, 800.0], SUN, half=5.0, sensor=(4, 4),
                            sky_radiance_per_band=[20.0, 10.0])
    return s


def image(s, backend, **kw):
    return conftest.image(s, backend, **{"spp": 1, "max_depth": 2, **kw})


def field(s, backend, **kw):
    return conftest.radiation(s, backend, **{"nx": 1, "ny": 1, "layer_heights": [-1.0, 5.0],
                                             "num_photons": 100, "num_bands": 2, **kw})


def flux(s, backend, **kw):
    return conftest.flux(s, backend, **{"nx": 1, "ny": 1, "num_photons": 100, "num_bands": 2,
                                        **kw})


def balance(s, backend, **kw):
    kw = {"band_type": 0, "n_samples": 4, "sun_irradiance": 800.0, "sky_diffuse_radiance": 50.0,
          "sky_lw_radiance": 300.0, "sun_dir_x": SUN[0], "sun_dir_y": SUN[1],
          "sun_dir_z": SUN[2], "two_sided": True, **kw}
    kw["sw_albedos"] = np.asarray(kw.get("sw_albedos", []), np.float32)
    if backend == "cpu":
        return velm.run_energy_balance_cpu(s, **kw)
    return s.run_energy_balance_gpu(**kw)


def multiband(s, backend, **kw):
    kw = {"n_bands": 2, "n_samples": 4, "sun_irradiance": [800.0, 600.0],
          "sky_diffuse_radiance": [50.0, 40.0], "sun_dir_x": SUN[0], "sun_dir_y": SUN[1],
          "sun_dir_z": SUN[2], "two_sided": True, **kw}
    for k in ("sun_irradiance", "sky_diffuse_radiance", "sw_albedos"):
        kw[k] = np.asarray(kw.get(k, []), np.float32)
    if backend == "cpu":
        return velm.run_energy_balance_multiband_cpu(s, **kw)
    return s.run_energy_balance_multiband_gpu(**kw)


SOIL = scenes.MOIST_SOIL


def microwave(s, backend, active=False, max_depth=2, air_temperature=290.0, tau=0.01,
              vegetation=(), material_map=(0,)):
    """A microwave image of soil (material 0) and `vegetation` (temperature K, absorption per m),
    which scatters nothing."""
    mmap = np.asarray(material_map, np.int32)
    phase = scenes.vegetation_phase(0.0)
    if backend == "cpu":
        veg = np.array([[t, a, 0, 0, 0, 0] for t, a in vegetation], np.float32).reshape(-1, 6)
        run = velm.simulate_active_microwave_cpu if active else velm.simulate_microwave_cpu
        extra = {} if active else {"include_atmosphere": True}
        return run(s, 1.4e9, 2, 1, max_depth, air_temperature, atm_tau=tau,
                   mw_soil_params=np.array([SOIL], np.float32), mw_veg_params=veg,
                   material_map=mmap, mw_veg_mueller_luts=[phase] * len(vegetation), **extra)
    tables = scenes.microwave_tables(1.4e9, [SOIL], [(t, a, phase) for t, a in vegetation], [],
                                     17)
    ray = np.array([[0.0, 0.0, 10.0, 0.0]], np.float32), np.array([[0, 0, -1, 0]], np.float32)
    return s.run_microwave_wavefront(active, max_depth, air_temperature, tau, origins=ray[0],
                                     directions=ray[1], material_map=mmap, **tables)


def unbuilt(s):
    """Stands for the build the test otherwise makes first."""


def with_args(run, **kw):
    return lambda s, backend: run(s, backend, **kw)


def rebuilt(change):
    def apply(s):
        change(s)
        s.build()
    return apply


def new_mesh(material):
    def add(s):
        g = velm.make_ground_plane(1.0, 1.0)
        s.add_instance(s.add_mesh(g["vertices"], g["normals"], g["indices"],
                                  material_id=material(s)), 0.0, 0.0, 1.0)
    return rebuilt(add)


def spectra(reflectance, extra=()):
    """The plane's spectral buffer with other reflectances, and `extra` values from 6 on."""
    return lambda s: s.upload_spectral_params(np.r_[reflectance, 1000, 800, 20, 10, extra])


def thermal(temperatures=(300.0, 300.0, 300.0), wavelengths=(1e4, 1.1e4)):
    def apply(s):
        s.add_material(0, 0, list(temperatures))
        s.set_thermal_mode(True, list(wavelengths))
    return apply


def camera(matrix=CAM, kind=0, fov=60.0, ortho=5.0):
    """A sensor of `kind` over 5 m x `ortho` m."""
    return lambda s: s.set_sensor(kind, 4, 4, 5.0, ortho, np.asarray(matrix, np.float32), fov)


# (name, change after the build (unbuilt: none), simulation, error, message): the message is one pattern for every
# backend where they share it, else one per backend (the Vulkan backend's own words are fixed).
CASES = [
    ("unbuilt", unbuilt, image, RuntimeError, "build"),
    ("spp 0", None, with_args(image, spp=0), ValueError,
     {"cpu": "spp must be at least 1", "vulkan": "samples per pixel must be positive"}),
    ("sensor type 7", camera(kind=7), image, RuntimeError,
     {"cpu": "sensor type 7 is not", "vulkan": "supports orthographic, perspective, and fisheye"}),
    ("camera not finite", camera(np.where(np.arange(16) == 5, NAN, CAM)), image, ValueError,
     "set_sensor: the camera matrix must be finite"),
    ("camera degenerate", camera(np.zeros(16)), image, ValueError,
     r"set_sensor: the camera matrix's axes .* are degenerate"),
    ("perspective fov 180", camera(kind=1, fov=180.0), image, ValueError,
     "set_sensor: a perspective sensor needs a field of view between 0 and 180 degrees"),
    ("mesh material outside the list", new_mesh(lambda s: 4), image, IndexError,
     {"cpu": "mesh 1 has material id 4 outside the material list",
      "vulkan": "mesh material id is outside the material table"}),
    ("material block past the buffer", new_mesh(lambda s: s.add_material(13, 4)), image,
     IndexError, {"cpu": r"material 1 \(type 13\) spectral block \[4, 10\) runs past",
                  "vulkan": "material spectrum is outside the spectral parameter buffer"}),
    ("sun block past the buffer", lambda s: s.set_emitter(0, SUN, 5), image, IndexError,
     {"cpu": r"sun irradiance spectral block \[5, 7\)", "vulkan": "sun spectrum is outside"}),
    ("sky block past the buffer", lambda s: s.set_sky(5), image, IndexError,
     {"cpu": r"sky radiance spectral block \[5, 7\)", "vulkan": "sky spectrum is outside"}),
    ("analytic sky past the buffer", lambda s: s.set_hw_sky(0, 0, 1, 0), image, IndexError,
     {"cpu": r"analytic sky spectral block \[0, 20\)",
      "vulkan": "Hosek-Wilkie coefficients are outside"}),
    ("reflectance above 1", spectra([0.3, 1.5]), image, ValueError,
     r"material 0 \(Lambertian\) band 1: reflectance 1.5 lies outside \[0, 1\]"),
    ("reflectance not a number", spectra([NAN, 0.3]), field,
     ValueError, "band 0: reflectance nan lies outside"),
    ("leaf scattering more than it receives",
     new_mesh(lambda s: (spectra([0.3, 0.4], [0.6, 0.2, 0.1, 0.1, 0.5, 0.1])(s),
                         s.add_material(13, 6))[-1]), image, ValueError,
     r"material 1 \(leaf\) band 0: front reflectance 0.6 plus transmittance 0.5 exceeds 1"),
    ("sun direction zero", lambda s: s.set_emitter(0, [0, 0, 0], 2), image, ValueError,
     r"the sun direction \(set_emitter\) must be a finite non-zero vector"),
    ("sun direction infinite", lambda s: s.set_emitter(0, [0, 0, INF], 2), field, ValueError,
     r"the sun direction \(set_emitter\) must be a finite non-zero vector"),
    ("analytic sky's sun zero", lambda s: (spectra([0.3, 0.4], np.ones(20))(s),
                                           s.set_hw_sky(6, 0.0, 0.0, 0.0)), flux, ValueError,
     "the analytic sky's sun direction must be a finite non-zero vector"),
    ("thermal without wavelengths", thermal(wavelengths=[1e4]), image, ValueError,
     {"cpu": "thermal mode needs one wavelength per band",
      "vulkan": "thermal mode requires one wavelength per band"}),
    ("thermal temperature not a number", thermal(temperatures=[0, 0, NAN]), image, ValueError,
     r"material 1 temperature 2 \(scalar_params\) must be finite and non-negative kelvin"),
    ("singular instance", rebuilt(lambda s: s.add_instance(0, 0.0, 0.0, 0.0, 0.0)), image,
     ValueError, {"cpu": "instance 1 has a singular transform",
                  "vulkan": "instance transform has a singular linear component"}),
    ("infinite tile", lambda s: s.set_repetitive(2, INF, 10.0), field, ValueError,
     "the repeating tile size must be finite"),
    ("nx 0", None, with_args(flux, nx=0), ValueError,
     {"cpu": "nx and ny must be at least 1", "vulkan": "flux grid dimensions must be positive"}),
    ("no photons", None, with_args(field, num_photons=0), ValueError,
     {"cpu": "num_photons must be at least 1", "vulkan": r"photon count must be in \[1"}),
    ("prob_sun above 1", None, with_args(flux, prob_sun=1.5), ValueError,
     r"prob_sun must lie in \[0, 1\]"),
    ("prob_sun 0 without a sky", lambda s: s.set_sky(-1), with_args(field, prob_sun=0.0),
     ValueError, "prob_sun is 0 but the scene has no sky"),
    ("no horizontal extent", camera(kind=1, ortho=0.0), flux, RuntimeError,
     {"cpu": "no horizontal extent", "vulkan": "flux scene extent is unknown"}),
    ("infinite orthographic extent", camera(ortho=INF), field, ValueError,
     "the orthographic sensor size must be finite"),
    ("layers not increasing", None, with_args(field, layer_heights=[0.0, 2.0, 1.0]), ValueError,
     "layer.heights must be strictly increasing"),
    ("terrain instance beyond the scene", None, with_args(field, terrain_instance_id=1),
     IndexError, "terrain.instance"),
    ("energy balance unbuilt", unbuilt, balance, RuntimeError, "build"),
    ("energy balance band_type 2", None, with_args(balance, band_type=2), ValueError,
     "band_type must be 0"),
    ("energy balance no samples", None, with_args(balance, n_samples=0), ValueError,
     "n_samples must be"),
    ("energy balance albedos of another length", None, with_args(balance, sw_albedos=[0.1]),
     ValueError, "albedos must have"),
    ("energy balance albedo above 1", None, with_args(balance, sw_albedos=[0.1, 1.5]), ValueError,
     r"albedo.* must lie in \[0, 1\]"),
    ("energy balance sunlight negative", None, with_args(balance, sun_irradiance=-1.0),
     ValueError, "sun_irradiance must be finite and not negative"),
    ("energy balance sun direction zero", None,
     with_args(balance, sun_dir_x=0.0, sun_dir_y=0.0, sun_dir_z=0.0), ValueError,
     {"cpu": "the sun direction must be a finite non-zero vector",
      "vulkan": "sun direction must be non-zero"}),
    ("energy balance sun direction infinite", None, with_args(balance, sun_dir_z=INF),
     ValueError, "the sun direction must be a finite non-zero vector"),
    ("multiband no bands", None, with_args(multiband, n_bands=0, sun_irradiance=[],
                                           sky_diffuse_radiance=[]),
     ValueError, "n_bands must be"),
    ("multiband albedos of another length", None, with_args(multiband, sw_albedos=[0.1] * 3),
     ValueError, r"albedos must have (n_)?bands \* n_primitives values"),
    ("microwave unbuilt", unbuilt, microwave, RuntimeError, "build"),
    ("microwave max_depth 0", None, with_args(microwave, max_depth=0), ValueError,
     {"cpu": "max_depth must be at least 1", "vulkan": "received invalid dimensions"}),
    ("microwave air temperature not a number", None, with_args(microwave, air_temperature=NAN),
     ValueError, "air_temperature .*must be finite"),
    ("microwave atmosphere negative", None, with_args(microwave, tau=-1.0), ValueError,
     {"cpu": "atm_tau must be finite and not negative",
      "vulkan": "atmosphere_tau must be finite and non-negative"}),
    ("microwave material map beyond the materials", None, with_args(microwave, material_map=[1]),
     ValueError, {"cpu": r"material_map\[0\] = 1 is neither -1 nor",
                  "vulkan": "material_map entry 0 is 1"}),
    ("microwave vegetation absorbing negatively", None,
     with_args(microwave, vegetation=[(290.0, -1.0)]), ValueError,
     {"cpu": "needs an absorption coefficient", "vulkan": "vegetation entry 0 needs"}),
    ("radar unbuilt", unbuilt, with_args(microwave, active=True), RuntimeError, "build"),
    ("radar material map beyond the materials", None,
     with_args(microwave, active=True, material_map=[1]), ValueError,
     {"cpu": r"material_map\[0\] = 1 is neither -1 nor",
      "vulkan": "material_map entry 0 is 1"}),
]


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("change, run, error, message", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_the_same_bad_input_is_refused_alike(backend, change, run, error, message, request):
    s = lit_plane(backend, request)
    if change is not unbuilt:
        s.build()
    if change is not None:
        change(s)
    pattern = message[backend] if isinstance(message, dict) else message
    with pytest.raises(error, match=pattern) as e:
        run(s, backend)
    # Every Vulkan message names its backend first.
    assert backend == "cpu" or re.match("Vulkan[: ]", str(e.value))
