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

DOCS = {
    "add_instances_xform": "Batch-add N instances of one mesh from a (N, 12) row-major float32 "
    "array. Returns the index of the FIRST added instance.",
    "set_populate_primitive_soa": "Enable per-primitive SoA + per-instance lookup tables for the "
    "next build(). Required by EB / SIF / RRT-based paths.",
    "is_populate_primitive_soa": "Whether the per-primitive SoA will be (or has been) populated "
    "on the next build (true if explicitly enabled or implied by thermal/SIF mode).",
    "n_primitives": "Total triangle count across all instances (after build).",
    "get_primitive_areas": "Return per-primitive areas (m²) as a numpy array.",
    "get_primitive_mat_ids": "Return per-primitive material IDs as a numpy array (materialised "
    "on demand from instance + mesh metadata).",
    "set_primitive_temperatures": "Upload per-primitive temperatures (K). Length must equal "
    "n_primitives(). Closesthit thermal mode reads these in preference to mat.params[2..4] when "
    "set.",
    "clear_primitive_temperatures": "Clear the per-primitive temperature override (kernel "
    "reverts to mat.params[2..4]).",
    "get_primitive_temperatures": "Return host-side per-primitive temperatures (mostly for "
    "testing).",
    "set_primitive_emissivities": "Upload per-primitive longwave emissivities. Length must equal "
    "n_primitives(). Used by the EB reverse-RT kernel for ε in the Lambertian emission term "
    "ε σ T⁴ / π.",
    "clear_primitive_emissivities": "Clear the per-primitive emissivity override.",
    "set_primitive_sif_spectra": "Upload per-primitive SIF emission spectra. spectra: "
    "float32[n_sif_bands * n_primitives] SoA (band-major). After upload, the backward kernel "
    "emits SIF from each hit primitive.",
    "clear_primitive_sif_spectra": "Clear the per-primitive SIF emission spectra.",
    "set_sif_only_mode": "Enable/disable SIF-only mode. When true the backward kernel returns "
    "pure SIF emission and suppresses optical reflectance (BSDF/NEE/sky).",
}


def signature(func):
    """[(name, default text or None), ...] from the generated signature line, without self."""
    first = func.__doc__.split("\n", 1)[0]
    args = first[first.index("(") + 1 : first.rindex(") -> ")]
    out = []
    for part in re.split(r",\s*(?=\w+: )", args):
        name, _, rest = part.partition(":")
        if name.strip() != "self":
            out.append((name.strip(), rest.rsplit(" = ", 1)[1] if " = " in rest else None))
    return out


def doc_body(func):
    return func.__doc__.split("\n", 1)[1].strip()


def raises(exc, message, fn, *args):
    with pytest.raises(exc) as e:
        fn(*args)
    assert type(e.value) is exc
    assert str(e.value) == message


# ---- registry -----------------------------------------------------------------------------------


class TestRegistry:
    def test_class_members_in_table_order(self):
        members = lambda cls: [k for k in vars(cls) if not k.startswith("_")]  # noqa: E731
        assert members(velm.OptiXContext) == ["device_name", "total_vram_mb", "free_vram_mb"]
        assert members(velm.SceneManager) == SCENE_METHODS
        assert members(velm.Simulator)[0] == "init"

    def test_scene_has_none_of_the_other_scenes_extras(self):
        for name in ("sensor_config", "repetitive_config", "primitive_geometry",
                     "get_primitive_emissivities", "trace_closest"):
            assert not hasattr(velm.SceneManager, name)

    @pytest.mark.parametrize(
        "func, args",
        [
            (velm.OptiXContext.__init__, "device_id=0"),
            (velm.device_info, "device_id=0"),
            (velm.SceneManager.__init__, "arg0"),
            (velm.Simulator.__init__, "arg0 arg1"),
            (velm.SceneManager.add_instance, "mesh_id x=0.0 y=0.0 z=0.0 scale=1.0"),
            (velm.SceneManager.upload_spectral_params, "arg0"),
            (velm.SceneManager.update_spectral_params, "arg0 arg1"),
            (velm.SceneManager.set_emitter, "arg0 arg1 arg2"),
            (velm.SceneManager.update_emitter_direction, "arg0"),
            (velm.SceneManager.set_num_bands, "arg0"),
            (velm.SceneManager.update_instance_transform, "id xform"),
            (velm.SceneManager.set_sensor, "type width height ortho_w ortho_h cam_xform "
                                           "fov=60.0 projection_type=0 terrain_following=False"),
            (velm.SceneManager.set_repetitive, "num_repetitions scene_x_size scene_y_size"),
            (velm.SceneManager.set_measurement_plane, "height"),
            (velm.SceneManager.set_thermal_mode, "enabled wavelengths"),
            (velm.SceneManager.set_populate_primitive_soa, "enabled"),
            (velm.SceneManager.set_primitive_temperatures, "temperatures"),
            (velm.SceneManager.set_primitive_emissivities, "emissivities"),
            (velm.SceneManager.set_primitive_sif_spectra, "spectra n_sif_bands"),
            (velm.SceneManager.set_sif_only_mode, "enabled"),
        ],
    )
    def test_argument_names_and_defaults(self, func, args):
        expected = [(a.partition("=")[0], a.partition("=")[2] or None) for a in args.split()]
        assert signature(func) == expected

    def test_docstrings(self):
        for name in SCENE_METHODS:
            assert doc_body(getattr(velm.SceneManager, name)) == DOCS.get(name, ""), name
        for cls in (velm.OptiXContext, velm.Simulator):
            for name in (k for k in vars(cls) if not k.startswith("_")):
                assert doc_body(getattr(cls, name)) == ""
        assert doc_body(velm.device_info) == ""

    def test_device_programs_are_installed_beside_the_module(self):
        assert sorted(f[:-4] for f in os.listdir(PTX_DIR) if f.endswith(".ptx")) == \
            sorted(PTX_MODULES)


# ---- without a driver ---------------------------------------------------------------------------


@no_driver
class TestWithoutDriver:
    @pytest.mark.parametrize(
        "make", [velm.OptiXContext, lambda: velm.OptiXContext(0), lambda: velm.device_info(0),
                 velm.device_info, lambda: velm.OptiXContext(device_id=5)])
    def test_context_creation_fails_with_the_cuda_text(self, make):
        with pytest.raises(RuntimeError, match=r"^Failed to set CUDA device: \S"):
            make()

    def test_repeated_failures_leave_the_module_usable(self):
        for _ in range(20):
            with pytest.raises(RuntimeError):
                velm.OptiXContext(0)
        gc.collect()
        assert velm.make_sphere(1.0, [0, 0, 0], 0)["indices"].shape == (20, 3)


def test_objects_whose_init_never_ran_are_refused():
    ctx = velm.OptiXContext.__new__(velm.OptiXContext)
    with pytest.raises(TypeError, match="__init__"):
        ctx.device_name()
    with pytest.raises(TypeError, match="__init__"):
        velm.SceneManager(ctx)
    with pytest.raises(TypeError, match="__init__"):
        velm.Simulator(ctx, PTX_DIR)
    scene = velm.SceneManager.__new__(velm.SceneManager)
    with pytest.raises(TypeError, match="__init__"):
        scene.n_primitives()
    with pytest.raises(TypeError, match="__init__"):
        velm.Simulator.__new__(velm.Simulator).init()


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

    def test_missing_file_is_named_and_a_later_init_succeeds(self, ctx, tmp_path):
        for name in PTX_MODULES:
            if name != "miss":
                shutil.copy(os.path.join(PTX_DIR, name + ".ptx"), tmp_path)
        sim = velm.Simulator(ctx, str(tmp_path))
        raises(RuntimeError, f"Cannot open PTX: {tmp_path}/miss.ptx", sim.init)
        shutil.copy(os.path.join(PTX_DIR, "miss.ptx"), tmp_path)
        sim.init()

    def test_unreadable_module_is_named(self, ctx, tmp_path, capfd):
        for name in PTX_MODULES:
            shutil.copy(os.path.join(PTX_DIR, name + ".ptx"), tmp_path)
        (tmp_path / "closesthit.ptx").write_text("this is not PTX\n")
        sim = velm.Simulator(ctx, str(tmp_path))
        raises(RuntimeError, "Module create failed: closesthit", sim.init)
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
