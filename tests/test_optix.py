"""OptiX backend: its registry entries, its behaviour without an NVIDIA driver, and (marked `gpu`)
context, device_info, scene builds and refits and the pipelines on an NVIDIA GPU.

scripts/gpu_check.sh runs the `gpu` tests on a GPU machine, with a module built without the CPU
backend; the references they need from the CPU backend are in tests/data/optix_reference.json
(scripts/make_optix_reference.py writes it).
"""

import ctypes
import gc
import json
import math
import os
import re
import shutil

import numpy as np
import pytest

import scenes
import velm_gpu as velm

PTX_DIR = os.path.join(os.path.dirname(velm.__file__), "ptx")
PTX_MODULES = [
    "raygen_backward", "raygen_forward", "raygen_flux", "miss", "closesthit", "raygen_lidar",
    "raygen_eb_rrt", "raygen_passive", "miss_mw", "closesthit_mw", "raygen_active",
]
REFERENCE = os.path.join(os.path.dirname(__file__), "data", "optix_reference.json")


def _has_driver():
    try:
        ctypes.CDLL("libcuda.so.1")
        return True
    except OSError:
        return False


HAS_DRIVER = _has_driver()
no_driver = pytest.mark.skipif(HAS_DRIVER, reason="an NVIDIA driver is installed")

SCENE_METHODS = [
    "add_mesh", "add_instance", "add_instance_xform", "add_instances_xform",
    "update_instance_transform", "refit_ias", "refit_instances", "set_num_bands",
    "clear_for_reuse", "build_reuse_gas", "build_reuse_geometry", "has_gpu_meshes", "has_meshes",
    "add_material", "upload_spectral_params", "update_spectral_params", "set_emitter",
    "update_emitter_direction", "set_sensor", "set_sky", "set_hw_sky", "set_repetitive", "build",
    "is_built", "total_triangles", "num_instances", "max_height", "min_height", "aabb",
    "set_measurement_plane", "set_thermal_mode", "set_populate_primitive_soa",
    "is_populate_primitive_soa", "n_primitives", "get_primitive_areas", "get_primitive_mat_ids",
    "set_primitive_temperatures", "clear_primitive_temperatures", "get_primitive_temperatures",
    "set_primitive_emissivities", "clear_primitive_emissivities", "set_primitive_sif_spectra",
    "clear_primitive_sif_spectra", "set_sif_only_mode",
]

SIMULATOR_METHODS = [
    "init", "simulate", "simulate_forward", "simulate_flux", "run_energy_balance",
    "run_energy_balance_multiband", "simulate_lidar", "simulate_microwave",
    "simulate_active_microwave",
]


def raises(exc, message, fn, *args):
    with pytest.raises(exc) as e:
        fn(*args)
    assert type(e.value) is exc
    assert str(e.value) == message


# ---- registry -----------------------------------------------------------------------------------


class TestRegistry:
    def test_class_members_in_table_order_and_none_of_the_other_scenes_extras(self):
        members = lambda cls: [k for k in vars(cls) if not k.startswith("_")]  # noqa: E731
        assert members(velm.OptiXContext) == ["device_name", "total_vram_mb", "free_vram_mb"]
        assert members(velm.SceneManager) == SCENE_METHODS
        assert members(velm.Simulator) == SIMULATOR_METHODS
        for name in ("sensor_config", "repetitive_config", "primitive_geometry",
                     "get_primitive_emissivities", "trace_closest"):
            assert not hasattr(velm.SceneManager, name)

    def test_device_programs_are_installed_beside_the_module(self):
        assert sorted(f[:-4] for f in os.listdir(PTX_DIR) if f.endswith(".ptx")) == \
            sorted(PTX_MODULES)


# ---- without a driver ---------------------------------------------------------------------------


@no_driver
def test_without_a_driver_context_creation_fails_with_the_cuda_text_and_the_module_stays_usable():
    makers = [velm.OptiXContext, lambda: velm.OptiXContext(0), lambda: velm.device_info(0),
              velm.device_info, lambda: velm.OptiXContext(device_id=5)]
    for make in makers * 4:
        with pytest.raises(RuntimeError, match=r"^Failed to set CUDA device: \S"):
            make()
    gc.collect()
    assert velm.make_sphere(1.0, [0, 0, 0], 0)["indices"].shape == (20, 3)


# ---- the module layer's checks, before any object or device is used --------------------------------


def _lut(mueller=(2, 2, 2, 4, 4)):
    return (np.zeros(mueller, np.float32), np.ones(4, np.float32), np.ones(8, np.float32))


@pytest.mark.parametrize(
    "method, kwargs, exc, message",
    [
        ("simulate_forward", dict(layer_heights=[[0, 1]]), ValueError,
         "array has incorrect number of dimensions: 2; expected 1"),
        ("simulate_lidar", dict(pulse_origins=np.zeros((2, 2)), pulse_directions=np.zeros(3),
                                num_pulses=1), ValueError, "pulse_origins must have shape (N, 3)"),
        ("run_energy_balance", dict(sw_albedos=[[0.1]]), RuntimeError, "sw_albedos must be 1D"),
        ("run_energy_balance_multiband", dict(n_bands=3, sun_irradiance=[1, 2]), RuntimeError,
         "sun_irradiance must be 1D with length n_bands"),
        ("run_energy_balance_multiband", dict(n_bands=3, sky_diffuse_radiance=[[1, 2, 3]]),
         RuntimeError, "sky_diffuse_radiance must be 1D with length n_bands"),
        ("run_energy_balance_multiband", dict(n_bands=1, sw_albedos=[[0.5]]), RuntimeError,
         "sw_albedos must be 1D (flattened [n_bands * n_prims])"),
        ("simulate_microwave", dict(mw_soil_params=np.zeros(12)), ValueError,
         "array has incorrect number of dimensions: 1; expected 2"),
        ("simulate_microwave", dict(mw_soil_params=np.zeros((1, 9))), RuntimeError,
         "mw_soil_params must have at least 10 columns"),
        ("simulate_microwave", dict(mw_veg_params=np.zeros((1, 5))), RuntimeError,
         "mw_veg_params must have at least 6 columns"),
        ("simulate_microwave", dict(mw_veg_params=np.zeros((1, 6)),
                                    mw_veg_mueller_luts=[_lut((2, 2, 2, 16))]), RuntimeError,
         "mueller_lut must be 5-D (cti,cts,dphi,4,4)"),
        ("simulate_microwave", dict(mw_veg_params=np.zeros((1, 6)),
                                    mw_veg_mueller_luts=[_lut()[:2]]), RuntimeError,
         "mw_veg_mueller_luts[0] must hold (mueller_lut, cos_cdf, phi_cdf)"),
        ("simulate_microwave", dict(mw_veg_params=np.zeros((1, 6)),
                                    mw_veg_mueller_luts=[(*_lut()[:2], np.ones(7))]), RuntimeError,
         "mw_veg_mueller_luts[0]: the azimuth distribution holds fewer"),
        ("simulate_microwave", dict(mw_trunk_params=np.zeros((1, 6))), RuntimeError,
         "mw_trunk_params must have 7 columns (radius, length, moisture, temperature, ax_x, "
         "ax_y, ax_z)"),
        ("simulate_active_microwave", dict(mw_trunk_params=np.zeros((1, 6))), RuntimeError,
         "mw_trunk_params must have 7 columns (active path)"),
        ("simulate_microwave", dict(mw_trunk_params=np.zeros((1, 7)),
                                    mw_trunk_mueller_luts=[(*_lut(), np.zeros((2, 4, 3)))]),
         RuntimeError, "trunk specular_mueller must be 3-D (n_cos, 4, 4)"),
        ("simulate_microwave", dict(mw_trunk_params=np.zeros((1, 7)),
                                    mw_trunk_mueller_luts=[_lut((2, 2, 2))]), RuntimeError,
         "trunk mueller_lut must be 5-D (cti,cts,dphi,4,4)"),
        ("simulate_active_microwave", dict(mw_veg_params=np.zeros((1, 6)),
                                           mw_veg_mueller_luts=[_lut((2, 2))]), IndexError,
         "invalid axis: 2 (ndim = 2)"),
        ("simulate_microwave", dict(material_map=np.zeros((2, 2))), ValueError,
         "array has incorrect number of dimensions: 2; expected 1"),
        # Arguments that pass: the objects are checked next.
        ("simulate_microwave", dict(mw_soil_params=np.zeros((2, 10)),
                                    mw_veg_params=np.zeros((1, 8)), mw_veg_mueller_luts=[None],
                                    mw_trunk_params=np.zeros((1, 7)), material_map=[0, -1],
                                    _mw_veg_lut_dims=(1, 2)),
         TypeError, "velm_gpu.Simulator.__init__() was not called"),
        ("simulate", {}, TypeError, "velm_gpu.Simulator.__init__() was not called"),
    ],
)
def test_argument_checks_come_first(method, kwargs, exc, message):
    """The module layer refuses what it cannot convert before it looks at the objects, so these
    run without a GPU on objects whose __init__ never ran."""
    sim = velm.Simulator.__new__(velm.Simulator)
    scene = velm.SceneManager.__new__(velm.SceneManager)
    with pytest.raises(exc) as e:
        getattr(sim, method)(scene, **kwargs)
    assert str(e.value).startswith(message)


def microwave_view(n_rays=None):
    """The microwave reference (tests/data/optix_reference.json, from the Vulkan backend) and
    the forest it was computed on; with n_rays, that many rays spread evenly over its view."""
    with open(REFERENCE) as f:
        ref = json.load(f)["microwave"]
    cfg = ref["settings"]
    cam, origins, direction = scenes.oblique_view(cfg["zenith_deg"], cfg["extent"])
    if n_rays is None:
        return ref, cam
    rng = np.random.default_rng(3)
    o = origins(rng.random(n_rays) - 0.5, rng.random(n_rays) - 0.5).astype(np.float32)
    return ref, o, np.tile(direction, (n_rays, 1)).astype(np.float32)


def within_microwave(mean, ref, mode, n):
    """Means of n rays and of the reference's agree within 4 sigma of their difference (plus the
    interpolation of tables on different cosine grids)."""
    mean, want = np.asarray(mean, np.float64), np.asarray(ref[mode]["mean"])
    sigma = np.asarray(ref[mode]["ray_std"]) * np.sqrt(1 / n + 1 / ref["settings"]["rays"])
    np.testing.assert_array_less(np.abs(mean - want), 4 * sigma + 2e-3 * np.abs(want) + 1e-9)


def energy_balance_totals(scene, run):
    """For the short and long waves of the energy-balance reference: its key, the power each
    material's front and back faces absorb when `run` (the call's arguments after the scene)
    runs on the canonical forest built into `scene`, and the reference."""
    with open(REFERENCE) as f:
        ref = json.load(f)["energy_balance"]
    cfg = ref["settings"]
    info = scenes.procedural_forest(scene, 20, 7, sensor=None)
    scene.build()
    mats, areas = info["primitive_materials"], info["primitive_areas"]
    temps = np.asarray(cfg["temperature"], np.float32)[mats]
    emiss = np.asarray(cfg["emissivity"], np.float32)[mats]
    extra = ()
    if hasattr(scene, "set_primitive_temperatures"):
        scene.set_primitive_temperatures(temps)
        scene.set_primitive_emissivities(emiss)
    else:
        extra = (temps, emiss)
    albedos = np.asarray(cfg["albedo"], np.float32)[mats]
    for band, key in ((0, "shortwave"), (1, "longwave")):
        top, bot = run(band, 2 * cfg["chunks"] * cfg["sample_chunk"], cfg["sun_irradiance"],
                       cfg["sky_radiance"], cfg["sky_longwave"], *cfg["sun"], True, albedos,
                       *extra)
        yield key, np.concatenate([np.bincount(mats, np.asarray(face, np.float64) * areas,
                                               minlength=3) for face in (top, bot)]), ref[key]


def within_energy_balance(totals, ref):
    """Within 4 sigma of the Vulkan reference: its chunks' error and that of a run of twice its
    samples."""
    want, err = np.asarray(ref["totals"]), np.asarray(ref["error"])
    bound = 4 * err * math.sqrt(1.5) + 1e-6 * np.abs(want).max()
    assert (np.abs(totals - want) <= bound).all(), (totals, want, bound)


# ---- on an NVIDIA GPU ---------------------------------------------------------------------------

gpu = pytest.mark.gpu
needs_gpu = pytest.mark.skipif(not HAS_DRIVER, reason="needs an NVIDIA driver")


@pytest.fixture(scope="module")
def ctx():
    if not HAS_DRIVER:
        pytest.skip("needs an NVIDIA driver")
    return velm.OptiXContext(0)


def triangle_scene(ctx, n_instances=2):
    s = velm.SceneManager(ctx)
    v = np.array([[0, 0, 0], [2, 0, 0], [0, 2, 0]], np.float32)
    m = s.add_mesh(v, np.zeros((0, 3), np.float32), [[0, 1, 2]], material_id=3)
    for i in range(n_instances):
        s.add_instance(m, 10.0 * i, 0.0, 0.0)
    return s


@gpu
@needs_gpu
class TestContext:
    def test_properties(self, ctx):
        assert isinstance(ctx.device_name(), str) and ctx.device_name()
        assert ctx.total_vram_mb() > 0
        assert 0 < ctx.free_vram_mb() <= ctx.total_vram_mb()

    def test_device_info(self, ctx):
        info = velm.device_info(0)
        assert list(info) == ["name", "total_vram_mb", "free_vram_mb", "compute_capability"]
        assert info["name"] == ctx.device_name()
        assert info["total_vram_mb"] == ctx.total_vram_mb()
        assert re.fullmatch(r"\d+\.\d+", info["compute_capability"])

    def test_invalid_ordinal_fails_in_device_selection(self):
        with pytest.raises(RuntimeError, match="^Failed to set CUDA device: "):
            velm.device_info(4096)

    def test_free_memory_follows_allocations(self, ctx):
        before = ctx.free_vram_mb()
        s = velm.SceneManager(ctx)
        s.upload_spectral_params(np.zeros(64 << 20, np.float32))  # 256 MiB
        assert ctx.free_vram_mb() <= before - 200
        del s
        gc.collect()
        assert ctx.free_vram_mb() >= before - 50


@gpu
@needs_gpu
class TestScene:
    def test_forest_matches_the_cpu_reference(self, ctx):
        with open(REFERENCE) as f:
            ref = json.load(f)["forest"]
        s = velm.SceneManager(ctx)
        scenes.procedural_forest(s, ref["n_trees"], ref["seed"])
        s.set_populate_primitive_soa(True)
        s.build()
        assert s.is_built() and s.has_gpu_meshes() and s.has_meshes()
        np.testing.assert_allclose(np.array(s.aabb()), np.array(ref["aabb"]), atol=1e-5)
        assert s.num_instances() == ref["num_instances"]
        assert s.total_triangles() == s.n_primitives() == ref["n_primitives"]
        areas = s.get_primitive_areas()
        assert areas.dtype == np.float32 and areas.shape == (ref["n_primitives"],)
        assert math.isclose(float(areas.sum(dtype=np.float64)), ref["total_area"], rel_tol=1e-5)
        ids = s.get_primitive_mat_ids()
        assert ids.dtype == np.int32
        assert np.bincount(ids).tolist() == ref["material_counts"]

    def test_meshes_without_instances_stand_once_each(self, ctx):
        s = triangle_scene(ctx, 0)
        s.add_mesh([[0, 0, 5], [1, 0, 5], [0, 1, 5]], np.zeros((0, 3)), [[0, 1, 2]])
        s.build()
        assert s.num_instances() == 2
        assert s.aabb() == ((0.0, 0.0, 0.0), (2.0, 2.0, 5.0))

    def test_empty_scene_and_reuse_before_build(self, ctx):
        s = velm.SceneManager(ctx)
        raises(RuntimeError, "Scene is empty, nothing to build", s.build)
        raises(RuntimeError, "No GPU meshes to reuse. Call build() first.", s.build_reuse_gas)
        raises(RuntimeError,
               "refit_ias: scene not built or update buffer not allocated. Call build() first.",
               s.refit_ias)

    def test_refit_after_transform_update(self, ctx):
        s = triangle_scene(ctx)
        s.build()
        xf = np.array([1, 0, 0, 5, 0, 1, 0, 0, 0, 0, 1, 3], np.float32)
        s.update_instance_transform(1, xf)
        assert s.is_built()
        for name in ("refit_ias", "refit_instances"):
            getattr(s, name)()
        for bad in (-1, 2):
            raises(RuntimeError, f"update_instance_transform: id {bad} out of range [0, 2)",
                   s.update_instance_transform, bad, xf)
        s.add_instance(0)
        assert not s.is_built()
        raises(RuntimeError,
               "refit_ias: scene not built or update buffer not allocated. Call build() first.",
               s.refit_ias)
        s.build()
        assert s.aabb() == ((0.0, 0.0, 0.0), (7.0, 2.0, 3.0))

    def test_band_limit(self, ctx):
        s = velm.SceneManager(ctx)
        s.set_num_bands(128)
        raises(RuntimeError, "num_bands=129 exceeds GPU limit of 128. Use spectral batching to "
               "simulate more bands.", s.set_num_bands, 129)

    def test_spectral_uploads_and_reuse(self, ctx):
        s = triangle_scene(ctx)
        raises(RuntimeError, "Spectral params not uploaded yet", s.update_spectral_params, 0,
               [1.0])
        s.upload_spectral_params(np.arange(8, dtype=np.float32))
        s.update_spectral_params(6, [1.0, 2.0])
        with pytest.raises(IndexError):
            s.update_spectral_params(7, [1.0, 2.0])
        s.add_material(0, 0)
        s.set_emitter(0, np.array([0, 0, 1], np.float32), 0)
        s.build()
        s.update_emitter_direction(np.array([0, 1, 0], np.float32))
        s.clear_for_reuse()
        assert not s.is_built() and s.has_gpu_meshes()
        assert s.add_material(0, 0) == 0
        raises(RuntimeError, "Spectral params not uploaded yet", s.update_spectral_params, 0,
               [1.0])
        s.upload_spectral_params([0.5])
        s.build_reuse_geometry()
        assert s.is_built()

    def test_per_primitive_arrays(self, ctx):
        s = triangle_scene(ctx)
        s.build()
        assert s.n_primitives() == 0 and s.get_primitive_areas().shape == (0,)
        raises(RuntimeError, "set_primitive_temperatures: per-instance prefix sum not populated. "
               "Build the scene in thermal/SIF mode, or call set_populate_primitive_soa(true) "
               "before build().", s.set_primitive_temperatures, [300.0])
        s.set_thermal_mode(True, [10.0])
        assert s.is_populate_primitive_soa()
        s.build()
        assert s.n_primitives() == 2
        assert s.get_primitive_mat_ids().tolist() == [3, 3]
        raises(RuntimeError, "set_primitive_temperatures: array length 1 does not match "
               "n_primitives() = 2", s.set_primitive_temperatures, [300.0])
        raises(RuntimeError, "set_primitive_emissivities: array length 3 does not match "
               "n_primitives() = 2", s.set_primitive_emissivities, [0.9] * 3)
        raises(RuntimeError, "temperatures must be 1D", s.set_primitive_temperatures,
               [[300.0, 301.0]])
        raises(RuntimeError, "emissivities must be 1D", s.set_primitive_emissivities,
               [[0.9, 0.9]])
        raises(RuntimeError, "set_primitive_sif_spectra: array length 3 != n_sif_bands * "
               "n_primitives = 2 * 2 = 4", s.set_primitive_sif_spectra, [1.0] * 3, 2)
        s.set_primitive_temperatures([300.0, 310.0])
        assert s.get_primitive_temperatures().tolist() == [300.0, 310.0]
        s.set_primitive_emissivities([0.9, 0.95])
        s.set_primitive_sif_spectra([1.0] * 4, 2)
        s.set_sif_only_mode(True)
        s.clear_primitive_temperatures()
        s.clear_primitive_emissivities()
        s.clear_primitive_sif_spectra()
        assert s.get_primitive_temperatures().shape == (0,)


@gpu
@needs_gpu
class TestSimulator:
    def test_init_creates_the_main_pipeline_once(self, ctx):
        sim = velm.Simulator(ctx, PTX_DIR)
        sim.init()
        sim.init()

    @staticmethod
    def copy_programs(names, to):
        for name in names:
            shutil.copy(os.path.join(PTX_DIR, name + ".ptx"), to)

    def test_missing_file_is_named_and_a_later_init_succeeds(self, ctx, tmp_path):
        self.copy_programs([n for n in PTX_MODULES if n != "miss"], tmp_path)
        sim = velm.Simulator(ctx, str(tmp_path))
        raises(RuntimeError, f"Cannot open PTX: {tmp_path}/miss.ptx", sim.init)
        self.copy_programs(["miss"], tmp_path)
        sim.init()

    def test_unreadable_module_is_named(self, ctx, tmp_path, capfd):
        self.copy_programs(PTX_MODULES, tmp_path)
        (tmp_path / "closesthit.ptx").write_text("this is not PTX\n")
        sim = velm.Simulator(ctx, str(tmp_path))
        with pytest.raises(RuntimeError, match=r"^Module create failed: closesthit \(\d+ OPTIX_"):
            sim.init()
        assert "[Module closesthit] " in capfd.readouterr().err

    def test_objects_keep_their_context_alive(self):
        c = velm.OptiXContext(0)
        s = triangle_scene(c)
        sim = velm.Simulator(c, PTX_DIR)
        del c
        gc.collect()
        s.build()
        sim.init()
        assert s.n_primitives() == 0 and s.is_built()


# ---- launches on an NVIDIA GPU ------------------------------------------------------------------
# The closed forms of the CPU backend's tests, the canonical forest against the CPU backend's
# numbers (tests/data/optix_reference.json, scripts/make_optix_reference.py), the energy-balance
# closed forms and the bare-soil microwave image.


@pytest.fixture(scope="module")
def sim(ctx):
    return velm.Simulator(ctx, PTX_DIR)


def plane(ctx, params, sun=(0.0, 0.0, 1.0), sun_offset=1, sky=None, half=10.0, bands=1,
          repeat=None, soa=False, slab=None):
    """A flat Lambertian square at z = 0 under a 16 x 16 nadir orthographic sensor; centred on
    the repeating tile when there is one. `slab`: the height of a second square above it, of
    material 1 (the same spectral block). On the OptiX backend, or the CPU's when ctx is None."""
    s = velm.SceneManager(ctx) if ctx is not None else velm.EmbreeSceneManager()
    g = velm.make_ground_plane(half, half)
    s.add_mesh(g["vertices"], g["normals"], g["indices"], 0)
    centre = repeat[1] / 2 if repeat else 0.0
    s.add_instance(0, centre, centre, 0.0)
    if slab is not None:
        s.add_mesh(g["vertices"], g["normals"], g["indices"], 1)
        s.add_instance(1, centre, centre, float(slab))
        s.add_material(0, 0)
    s.set_num_bands(bands)
    s.upload_spectral_params(np.asarray(params, np.float32))
    s.add_material(0, 0)
    s.set_emitter(0, np.asarray(sun, np.float32), sun_offset)
    if sky is not None:
        s.set_sky(sky)
    s.set_sensor(0, 16, 16, 8.0, 8.0, scenes.nadir_camera(0.0, 0.0, 20.0))
    if repeat:
        s.set_repetitive(*repeat)
    if ctx is not None:
        s.set_populate_primitive_soa(soa)
    s.build()
    return s


def sun_dir(zenith_deg):
    return scenes.sun_direction(zenith_deg, 0.0)


def within(gpu, ref, err, label):
    """GPU and CPU estimates of one quantity agree within 3 sigma of their difference (both have
    the CPU's error; an absolute floor covers values that are exactly zero on both)."""
    gpu, ref, err = (np.asarray(a, np.float64).ravel() for a in (gpu, ref, err))
    bound = 3 * np.sqrt(2) * err + 1e-6 * np.abs(ref).max()
    bad = np.abs(gpu - ref) > bound
    assert not bad.any(), f"{label}: {gpu[bad]} vs {ref[bad]} (3 sigma {bound[bad]})"


@gpu
@needs_gpu
class TestOpticalLaunches:
    def test_lambertian_plane_and_sky(self, sim, ctx):
        cos30 = math.cos(math.radians(30))
        s = plane(ctx, [0.3, 1000.0], sun=sun_dir(30))
        calls = []
        img = sim.simulate(s, spp=3, max_depth=1, progress=lambda *a: calls.append(a))
        assert img.shape == (16, 16, 1) and img.dtype == np.float32
        np.testing.assert_allclose(img, 0.3 * 1000 * cos30 / math.pi, rtol=1e-4)
        assert [c[:2] for c in calls] == [(1, 3), (2, 3), (3, 3)]
        s = plane(ctx, [0.3, 0.0, 100.0], sky=2)
        np.testing.assert_allclose(sim.simulate(s, spp=2), 30.0, rtol=1e-4)

    def test_repeating_tile_flux_and_forward(self, sim, ctx):
        rho, e = 0.25, 500.0
        s = plane(ctx, [rho, e], sun=sun_dir(30), repeat=(3, 20.0, 20.0))  # one tile of ground
        incident = e * math.cos(math.radians(30)) * 400.0
        f = sim.simulate_flux(s, 2, 2, 100000, 1, decompose=True)
        assert list(f) == ["downwelling", "upwelling", "downwelling_direct",
                           "downwelling_diffuse"]
        assert f["downwelling"].shape == (2, 2, 1)
        assert f["downwelling"].sum() == pytest.approx(incident, rel=1e-4)
        assert f["upwelling"].sum() == pytest.approx(rho * incident, rel=1e-4)
        np.testing.assert_array_equal(f["downwelling"],
                                      f["downwelling_direct"] + f["downwelling_diffuse"])
        r = sim.simulate_forward(s, 2, 2, layer_heights=[-1.0, 1.0], num_photons=100000,
                                 brf_directions=[0, 0, 1], num_brf_dirs=1, terrain_instance_id=-1)
        assert list(r) == ["grid", "brf", "albedo"] and r["grid"].shape == (1, 2, 2, 1)
        assert r["grid"].sum() == pytest.approx((1 - rho) * incident, rel=1e-4)
        assert r["albedo"][0] == pytest.approx(rho * incident, rel=1e-4)
        # The plane's BRF radiance towards nadir: rho E cos / pi per unit area, seen by all of it.
        assert r["brf"][0, 0] == pytest.approx(rho / math.pi * incident, rel=1e-4)

    def test_a_seed_draws_the_cpu_streams_and_repeats(self, sim, ctx):
        seed, kw = 0x9E3779B97F4A7C15, dict(prob_sun=0.7, max_bounces=2, decompose=True)
        cpu, gpu_scene = velm.EmbreeSceneManager(), velm.SceneManager(ctx)
        for s in (cpu, gpu_scene):
            scenes.canopy_tile(s)
            s.build()
        cpu_run = velm.simulate_flux_cpu(cpu, 8, 8, 40000, 2, **kw, seed=seed)
        gpu_run = sim.simulate_flux(gpu_scene, 8, 8, 40000, 2, **kw, seed=seed)
        unseeded = velm.simulate_flux_cpu(cpu, 8, 8, 40000, 2, **kw)
        for k in cpu_run:  # photon for photon, as unseeded runs are; far from another seed's
            assert np.isclose(gpu_run[k], cpu_run[k], rtol=1e-3, atol=1e-6).mean() > 0.97, k
            assert np.isclose(gpu_run[k], unseeded[k], rtol=1e-3, atol=1e-6).mean() < 0.5, k
        s = velm.SceneManager(ctx)
        scenes.procedural_forest(s, 5, 3, sensor=(8, 8))
        s.build()
        req = scenes.microwave_forest_request()
        first, again = (sim.simulate_microwave(s, spp=4, **req, seed=seed) for _ in range(2))
        np.testing.assert_array_equal(first, again)  # unseeded calls continue their streams

    def test_canonical_forest_matches_the_cpu(self, sim, ctx):
        with open(REFERENCE) as f:
            ref = json.load(f)["simulations"]
        cfg = ref["settings"]
        s = velm.SceneManager(ctx)
        info = scenes.procedural_forest(s, 20, 7, sensor=tuple(cfg["sensor"]))
        s.build()
        img = sim.simulate(s, spp=ref["image"]["spp"])
        within(img.mean(axis=(0, 1)), ref["image"]["mean"], ref["image"]["error"], "image")
        n = ref["forward"]["photons"]
        r = sim.simulate_forward(s, cfg["nx"], cfg["ny"], layer_heights=cfg["layer_heights"],
                                 num_photons=n, num_bands=info["bands"],
                                 brf_directions=np.array(cfg["brf_directions"], np.float32),
                                 num_brf_dirs=len(cfg["brf_directions"]), prob_sun=cfg["prob_sun"],
                                 terrain_instance_id=info["instances"]["ground"])
        totals = np.concatenate([r["grid"].sum(axis=(1, 2)).ravel(), r["terrain"],
                                 r["brf"].ravel(), r["albedo"]])
        within(totals, ref["forward"]["totals"], ref["forward"]["error"], "forward")
        f = sim.simulate_flux(s, cfg["nx"], cfg["ny"], n, info["bands"], prob_sun=cfg["prob_sun"],
                              decompose=True)
        totals = np.concatenate([f[k].sum(axis=(0, 1)) for k in
                                 ("downwelling", "upwelling", "downwelling_direct",
                                  "downwelling_diffuse")])
        within(totals, ref["flux"]["totals"], ref["flux"]["error"], "flux")
        # LiDAR has no randomness: the same returns, up to the order of float additions.
        g, h = cfg["lidar_grid"], cfg["lidar_height"]
        xy = np.linspace(-15.0, 15.0, g)
        origins = np.array([[x, y, h] for y in xy for x in xy], np.float32)
        down = np.tile(np.array([0, 0, -1], np.float32), (len(origins), 1))
        lid = sim.simulate_lidar(s, origins, down, len(origins))
        assert lid["waveform"].sum() == pytest.approx(ref["lidar"]["waveform_total"], rel=1e-4)
        assert lid["num_returns"] == ref["lidar"]["num_returns"]
        assert lid["points"][:, 6].mean() == pytest.approx(ref["lidar"]["mean_range"], rel=1e-4)

    def test_lidar_flat_ground(self, sim, ctx):
        s = plane(ctx, [0.4, 0.0])
        bin_centre = (60 + 0.5) * 0.15
        r = sim.simulate_lidar(s, [[0.3, 0.2, bin_centre]], [[0, 0, -1]], 1)
        assert r["num_bins"] == 667 and r["waveform"].shape == (1, 667, 1)
        assert r["num_returns"] == 1
        np.testing.assert_allclose(r["points"][0, [3 + 1, 3 + 2, 6, 7]],
                                   [1, 1, bin_centre, 0], rtol=1e-5)
        d = sim.simulate_lidar(s, [[0.3, 0.2, 10.0]], [[0, 0, -1]], 1, direct_mode=True)
        np.testing.assert_allclose(d["points"], [[0.3, 0.2, 0, 0.4 * 0.1 / (math.pi * 100),
                                                  1, 1, 10, 0]], rtol=1e-5, atol=1e-6)
        one = sim.simulate_lidar(s, [[0.3, 0.2, bin_centre]], [[0, 0, -1]], 1,
                                 beam_samples_per_dim=0)
        assert one["num_returns"] == 1

    def test_lidar_after_another_scenes_launch_uses_its_own_scene(self, sim, ctx):
        # The LiDAR binding table borrows the backward table's records, which a launch on another
        # scene rebuilds; a scene freed and rebuilt (perhaps at the same address) is another scene.
        def ranges(scene):
            r = sim.simulate_lidar(scene, [[0.3, 0.2, 30.0]], [[0, 0, -1]], 1)
            return r["points"][:, 6]

        a = plane(ctx, [0.4, 0.0])
        first = ranges(a)
        np.testing.assert_allclose(first, [30.0], atol=0.15)
        b = plane(ctx, [0.4, 0.0], slab=12.0)
        sim.simulate(b, spp=1)
        np.testing.assert_allclose(ranges(a), first, atol=1e-4)
        np.testing.assert_allclose(ranges(b), [18.0], atol=0.15)
        del a
        gc.collect()
        np.testing.assert_allclose(ranges(plane(ctx, [0.4, 0.0])), first, atol=1e-4)

    def test_a_raising_progress_stops_and_the_simulator_stays_usable(self, sim, ctx):
        s = plane(ctx, [0.3, 1000.0])

        def stop(done, total, ms):
            raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            sim.simulate(s, spp=4, progress=stop)
        with pytest.raises(KeyboardInterrupt):
            sim.simulate_forward(s, layer_heights=[-1, 1], num_photons=3000, progress=stop)
        with pytest.raises(ValueError, match="num_bands"):
            sim.simulate_flux(s, 1, 1, 1000, 2)
        assert sim.simulate(s, spp=1).shape == (16, 16, 1)


# ---- checks every backend's energy balance and microwave images pass (tests/test_cpu_*.py run
# them on the CPU) ----------------------------------------------------------------------------------


def isolated_facet_absorbs_its_sun_and_sky(s, run, run_multiband):
    """Every top ray escapes upwards and every bottom ray downwards: top absorbs
    (1 - a)(E cos + pi L) exactly and the bottom nothing; in the long wave the top absorbs
    eps pi L_lw (eps 0.97 by default)."""
    n = s.total_triangles()
    a, e, sky, sky_lw = 0.2, 800.0, 30.0, 100.0
    top, bot = run(s, 0, 8, e, sky, 0.0, *sun_dir(40), True, [a] * n)
    assert top.shape == bot.shape == (n,)
    np.testing.assert_allclose(top, (1 - a) * (e * math.cos(math.radians(40)) + math.pi * sky),
                               rtol=1e-4)
    np.testing.assert_array_equal(bot, 0)
    top1, empty = run(s, 0, 8, e, sky, 0.0, *sun_dir(40), False, [a] * n)
    np.testing.assert_allclose(top1, top, rtol=1e-6)
    assert empty.shape == (0,)
    mtop, mbot = run_multiband(s, 1, 8, [e], [sky], *sun_dir(40), True, [a] * n)
    assert mtop.shape == (1, n)
    np.testing.assert_allclose(mtop[0], top, rtol=1e-6)
    lw, lw_bot = run(s, 1, 8, 0.0, 0.0, sky_lw, *sun_dir(40), True)
    np.testing.assert_allclose(lw, 0.97 * math.pi * sky_lw, rtol=1e-5)
    np.testing.assert_array_equal(lw_bot, 0)


def chunks_of_64_bands_equal_separate_calls(s, run_multiband):
    n = s.total_triangles()
    sun = np.linspace(100, 900, 65).astype(np.float32)
    sky = np.linspace(5, 50, 65).astype(np.float32)
    alb = np.tile(np.linspace(0, 0.5, 65, dtype=np.float32)[:, None], (1, n)).ravel()
    top, _ = run_multiband(s, 65, 4, sun, sky, *sun_dir(20), True, alb)
    first, _ = run_multiband(s, 64, 4, sun[:64], sky[:64], *sun_dir(20), True, alb[:64 * n])
    last, _ = run_multiband(s, 1, 4, sun[64:], sky[64:], *sun_dir(20), True, alb[64 * n:])
    # The same rays for every band (atomic float additions in any order on a GPU).
    np.testing.assert_allclose(top, np.vstack([first, last]), rtol=1e-6)


def black_box_facet(s, t, eps):
    """A facet inside a closed sphere, both of one material, built into `s`: the per-primitive
    temperatures (t everywhere) and emissivities (1, eps on the facet's two triangles, last)."""
    box = velm.make_sphere(5.0, np.zeros(3, np.float32), 2)
    facet = velm.make_ground_plane(0.5, 0.5, 0, 1.0)
    s.add_mesh(box["vertices"], box["normals"], box["indices"], 0)
    s.add_mesh(facet["vertices"], facet["normals"], facet["indices"], 0)
    s.add_instance(0, 0.0, 0.0, 0.0)
    s.add_instance(1, 0.0, 0.0, 0.0)
    s.set_num_bands(1)
    s.upload_spectral_params([0.5])
    s.add_material(0, 0)
    if hasattr(s, "set_populate_primitive_soa"):
        s.set_populate_primitive_soa(True)
    s.build()
    n = s.total_triangles()
    emiss = np.ones(n, np.float32)
    emiss[-2:] = eps
    return np.full(n, t, np.float32), emiss


def isothermal_black_box_facet_absorbs_eps_sigma_t4(top, bot, t, eps):
    """Inside a closed box of black walls at T, a facet absorbs eps sigma T^4 on both faces."""
    sigma = 5.670374419e-8
    np.testing.assert_allclose(top[-2:], eps * sigma * t ** 4, rtol=1e-4)
    np.testing.assert_allclose(bot[-2:], eps * sigma * t ** 4, rtol=1e-4)


SOIL = [0.4, 0.2, 0.25, 0.1, 0.0, 0.0, 0.0, 295.0, 290.0, 1.0, 0.01, 0.04]


def bare_soil_at_nadir(s, passive, active):
    """Passive: T = t e T_s + (1 - t) T_air (1 + r t) + r t^2 2.725 K, the soil's emission, the
    atmosphere's and both reflected (t = exp(-tau), e T_s and r from the soil model); active:
    the soil's sigma0 through the atmosphere twice."""
    soil = np.array([SOIL], np.float32)
    tau, t_air = 0.05, 280.0
    tb = passive(s, 1.4e9, 4, 4, 4, t_air, True, tau, soil, material_map=[0])
    assert tb.shape == (16, 16, 4)
    row = velm._evaluate_microwave_soil(1.4e9, soil[0], [1.0])[0]  # TB_H, TB_V, r_H, r_V
    t = math.exp(-tau)
    for p in (0, 1):
        expected = t * row[p] + (1 - t) * t_air * (1 + row[2 + p] * t) + row[2 + p] * t * t * 2.725
        np.testing.assert_allclose(tb[..., p], expected, rtol=1e-4)
    np.testing.assert_array_equal(tb[..., 2:], 0)
    sigma = velm._evaluate_microwave_soil(4.35e8, soil[0], [1.0], True)[0]
    back = active(s, 4.35e8, 4, 2, 1, t_air, tau, soil, material_map=[0])
    np.testing.assert_allclose(back[0, 0], sigma * math.exp(-2 * tau), rtol=1e-4)
    # One channel: the mean of H and V, half the four powers.
    one = passive(s, 1.4e9, 1, 4, 4, t_air, True, tau, soil, material_map=[0])
    np.testing.assert_allclose(one[..., 0], tb[..., :2].mean(axis=-1), rtol=1e-6)
    total = active(s, 4.35e8, 1, 2, 1, t_air, tau, soil, material_map=[0])
    np.testing.assert_allclose(total[0, 0, 0], 0.5 * back[0, 0].sum(), rtol=1e-6)


def unmapped_surfaces_and_empty_tables_are_transparent(s, passive):
    """`s`: plane(..., slab=3.0), two squares of optical materials 0 and 1. Without microwave
    materials a nadir view passes through both and sees nothing below the scene (0 K without an
    atmosphere, its own emission with one)."""
    tb = passive(s, atm_tau=0.0, n_channels=1, spp=1)
    np.testing.assert_array_equal(tb, 0.0)
    tb = passive(s, atm_tau=0.1, air_temperature=280.0, n_channels=1, spp=1)
    np.testing.assert_allclose(tb, (1 - math.exp(-0.1)) * 280.0, rtol=1e-5)
    soil = np.array([SOIL], np.float32)
    bare = passive(s, atm_tau=0.0, spp=2, mw_soil_params=soil, material_map=[0, -1])
    # Vegetation that neither scatters (its cosine distribution ends at 0) nor absorbs is
    # transparent.
    veg = np.array([[290.0, 0.0, 0, 0, 0, 0]], np.float32)
    clear = (np.zeros((2, 2, 2, 4, 4), np.float32), np.zeros(4, np.float32), np.ones(8, np.float32))
    same = passive(s, atm_tau=0.0, spp=2, mw_soil_params=soil, mw_veg_params=veg,
                   mw_veg_mueller_luts=[clear], material_map=[0, 1])
    np.testing.assert_allclose(same, bare, rtol=1e-5)


def forest_images_match_the_vulkan_backend(s, passive, active, spp=None):
    """Both modes' image means over the canonical forest, built into `s` under the reference's
    view, against the Vulkan backend's (tests/data/optix_reference.json)."""
    ref, cam = microwave_view()
    cfg = ref["settings"]
    scenes.procedural_forest(s, 20, 7, sensor=None)
    w, h = cfg["image"]
    spp = spp or cfg["spp"]
    s.set_sensor(scenes.ORTHOGRAPHIC, w, h, cfg["extent"], cfg["extent"], cam)
    s.build()
    req = scenes.microwave_forest_request()
    tb = passive(s, cfg["frequency"], 4, spp, cfg["max_depth"], cfg["air_temperature"], True,
                 cfg["atm_tau"], **req)
    within_microwave(tb.mean(axis=(0, 1), dtype=np.float64), ref, "passive", w * h * spp)
    sigma = active(s, cfg["frequency"], 4, spp, 1, cfg["air_temperature"], cfg["atm_tau"], **req)
    within_microwave(sigma.mean(axis=(0, 1), dtype=np.float64), ref, "active", w * h * spp)


@gpu
@needs_gpu
class TestEnergyBalance:
    def test_isolated_facet(self, sim, ctx):
        isolated_facet_absorbs_its_sun_and_sky(plane(ctx, [0.3, 0.0], soa=True),
                                               sim.run_energy_balance,
                                               sim.run_energy_balance_multiband)

    def test_chunks_of_64_bands_equal_separate_calls(self, sim, ctx):
        chunks_of_64_bands_equal_separate_calls(plane(ctx, [0.3, 0.0], soa=True),
                                                sim.run_energy_balance_multiband)

    def test_forest_matches_the_vulkan_backend(self, sim, ctx):
        """Absorbed power per material and face, short and long wave, against the Vulkan
        backend's and, closely, the CPU backend's on the same streams."""
        s = velm.SceneManager(ctx)
        s.set_populate_primitive_soa(True)
        for key, totals, ref in energy_balance_totals(s, lambda *a: sim.run_energy_balance(s, *a)):
            within_energy_balance(totals, ref)
            np.testing.assert_allclose(totals, ref["host_twin"], rtol=5e-3,
                                       atol=1e-6 * np.abs(ref["totals"]).max(), err_msg=key)

    def test_isothermal_black_box(self, sim, ctx):
        s = velm.SceneManager(ctx)
        t, eps = 300.0, 0.8
        temps, emiss = black_box_facet(s, t, eps)
        s.set_primitive_temperatures(temps)
        s.set_primitive_emissivities(emiss)
        top, bot = sim.run_energy_balance(s, 1, 16, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, True)
        isothermal_black_box_facet_absorbs_eps_sigma_t4(top, bot, t, eps)


@gpu
@needs_gpu
class TestMicrowave:
    def test_bare_soil_at_nadir(self, sim, ctx):
        bare_soil_at_nadir(plane(ctx, [0.3, 0.0]), sim.simulate_microwave,
                           sim.simulate_active_microwave)

    def test_forest_matches_the_vulkan_backend(self, sim, ctx):
        forest_images_match_the_vulkan_backend(velm.SceneManager(ctx), sim.simulate_microwave,
                                               sim.simulate_active_microwave)

    def test_unmapped_surfaces_and_empty_tables_are_transparent(self, sim, ctx):
        unmapped_surfaces_and_empty_tables_are_transparent(plane(ctx, [0.3, 0.0], slab=3.0),
                                                           sim.simulate_microwave)
