"""VulkanSceneManager.simulate_backward, simulate_flux and simulate_forward_radiation on lavapipe:
closed forms, energy budgets, agreement with the CPU backend within Monte Carlo noise (and photon
for photon, unseeded and for a seed), exact fixed-point sums, batches and progress; and every
message of these and of the transport calls (energy balance, microwave)."""

import functools
import math
import re
import shutil
import threading

import numpy as np
import pytest

import scenes
import velm_gpu as velm
from conftest import TRACE_SHADER, seconds_to_stop
from test_seeds import SEED

pytestmark = pytest.mark.vulkan

SUN = scenes.sun_direction(30.0, 40.0)
COS_SUN = math.cos(math.radians(30.0))


def square_tile(scene, rho, sun=1000.0, side=10.0):
    """A Lambertian side x side plane (10 m) filling the repeating tile [0, side]^2 at z = 0,
    one band."""
    g = velm.make_ground_plane(side / 2, side / 2)
    scene.add_mesh(g["vertices"], g["normals"], g["indices"])
    scene.add_instance(0, side / 2, side / 2, 0.0)
    scene.upload_spectral_params(np.array([rho, sun], np.float32))
    scene.add_material(0, 0)
    scene.set_emitter(0, SUN, 1)
    scene.set_repetitive(3, side, side)
    scene.build()


# ---- closed forms -----------------------------------------------------------------------------

@pytest.mark.parametrize("bands, sensor", [(2, (8, 8)), (5, (8, 8)), (200, (512, 400))])
def test_lambertian_plane_under_the_sun(vk_scene, bands, sensor):
    # rho E cos(theta_s) / pi in every pixel, whatever the band capacity: 200 bands run in two
    # chunks, and at 200 bands a 512 x 400 image exceeds lavapipe's 128 MiB storage binding, so
    # it is made in two row ranges.
    rho, sun = np.linspace(0.1, 0.6, bands), np.linspace(1000.0, 200.0, bands)
    scenes.lambertian_plane(vk_scene, rho, sun, SUN, sensor=sensor)
    vk_scene.build()
    image = vk_scene.simulate_backward(spp=20 if bands < 200 else 1, max_depth=1)
    assert image.shape == (sensor[1], sensor[0], bands)
    np.testing.assert_allclose(image, np.broadcast_to(rho * sun * COS_SUN / math.pi, image.shape),
                               rtol=1e-4)


def test_fixed_point_sums_batches_and_progress(vk_scene):
    # 2.2 million photons run as batches of 2^21 and 102848, with progress after each. Each adds
    # E cos(theta) A / N ~ 2e-5 W to the one cell, 0.65 of the run's unit of 2^-15 W: the
    # fractions carry into the integer words a million times, and the sum is still exact.
    square_tile(vk_scene, 0.25, sun=0.5)
    calls = []
    n = 2_200_000
    flux = vk_scene.simulate_flux(1, 1, n, 1, max_depth=2, decompose=True,
                                  progress=lambda done, total, ms: calls.append((done, total, ms)))
    assert [c[:2] for c in calls] == [(2097152, n), (n, n)]
    assert 0 < calls[0][2] <= calls[1][2]
    incident = 0.5 * COS_SUN * 100.0
    assert flux["downwelling"][0, 0, 0] == pytest.approx(incident, rel=1e-6)
    assert flux["downwelling_direct"][0, 0, 0] == pytest.approx(incident, rel=1e-6)
    assert flux["downwelling_diffuse"][0, 0, 0] == 0
    assert flux["upwelling"][0, 0, 0] == pytest.approx(0.25 * incident, rel=1e-6)


@pytest.mark.parametrize("photons", [1, 30000])
def test_tallies_beyond_two_to_the_32(vk_scene, photons):
    # A 3 km x 3 km plane under 1000 W m^-2 at 30 degrees takes in 7.79e9 W, more than a 32-bit
    # integer word holds; with one photon, so does a single deposit. Every photon of a plane
    # deposits the same energy: the totals are exact, and the CPU backend's are the same.
    rho, side = 0.3, 3000.0
    incident = 1000.0 * COS_SUN * side * side
    cpu = velm.EmbreeSceneManager()
    for s in (cpu, vk_scene):
        square_tile(s, rho, side=side)
    flux = vk_scene.simulate_flux(1, 1, photons, 1, max_depth=2, decompose=True)
    field = vk_scene.simulate_forward_radiation(1, 1, [-1.0, 1.0], photons, 1, per_leaf=True)
    terrain = vk_scene.simulate_forward_radiation(1, 1, [-1.0, 1.0], photons, 1,
                                                  terrain_instance_id=0)["terrain"]
    cpu_flux = velm.simulate_flux_cpu(cpu, 1, 1, photons, 1, max_depth=2)
    cpu_terrain = velm.simulate_forward_cpu(cpu, 1, 1, layer_heights=[-1.0, 1.0],
                                            num_photons=photons, num_bands=1,
                                            terrain_instance_id=0)["terrain"]
    for got, want in [(flux["downwelling"], incident), (flux["downwelling_direct"], incident),
                      (flux["upwelling"], rho * incident), (field["grid"], (1 - rho) * incident),
                      (field["leaf"].sum(), (1 - rho) * incident), (terrain, (1 - rho) * incident),
                      (cpu_flux["downwelling"], incident), (cpu_terrain, (1 - rho) * incident)]:
        np.testing.assert_allclose(got, want, rtol=1e-6)


# ---- agreement with the CPU backend ------------------------------------------------------------

def forest(scene):
    return scenes.procedural_forest(scene, n_trees=8, seed=11, bands=3, extent=20.0,
                                    sensor=(32, 32))


def oblique_forest_on_tile(scene):
    """Perspective view of the repeated forest on RPV soil under an analytic sky."""
    info = forest(scene)
    scene.clear_for_reuse()
    rpv_soil = [0.1, 0.15, 0.25, 0.8, 0.8, 0.8, -0.2, -0.15, -0.1, 0.3, 0.3, 0.3]
    sky = np.tile([0.1, -0.5, 0.2, -1.0, 0.3, 0.05, -0.1, 0.1, 0.0, 0.05], 3)
    scene.upload_spectral_params(np.r_[scene_params(3), rpv_soil, sky].astype(np.float32))
    scene.add_material(scenes.RPV, 21)
    scene.add_material(scenes.LEAF, 3, [0.2, 0.15])
    scene.add_material(scenes.LAMBERTIAN, 12)
    scene.set_emitter(0, info["sun_direction"], 15)
    scene.set_hw_sky(33, 0.3, 0.2, 0.9)
    scene.set_repetitive(4, 20.0, 20.0)
    cam = np.array([0.8, 0, 0.6, 37, 0, 1, 0, -13, -0.6, 0, 0.8, 30, 0, 0, 0, 1], np.float32)
    scene.set_sensor(scenes.PERSPECTIVE, 32, 24, 0, 0, cam, 50.0)


def scene_params(bands):
    """The spectral buffer procedural_forest uploads (sky included)."""
    refs = [scenes.SOIL_REFLECTANCE, scenes.LEAF_FRONT_REFLECTANCE, scenes.LEAF_BACK_REFLECTANCE,
            scenes.LEAF_TRANSMITTANCE, scenes.BARK_REFLECTANCE, scenes.SUN_IRRADIANCE,
            scenes.SKY_RADIANCE]
    return np.concatenate([scenes.band_values(r, bands) for r in refs])


def hemispherical_photo(projection):
    """Fisheye looking up from the forest floor, in one of the four projections."""
    def build(scene):
        forest(scene)
        up = np.array([1, 0, 0, 0.5, 0, -1, 0, 0.5, 0, 0, -1, 0.3, 0, 0, 0, 1], np.float32)
        scene.set_sensor(scenes.FISHEYE, 32, 32, 0, 0, up, 170.0, projection)
    build.__name__ = f"fisheye_projection_{projection}"
    return build


def thermal_crowns(scene):
    """Soil and crowns in thermal mode: sunlit and shaded soil temperatures, warm crowns."""
    info = forest(scene)
    scene.clear_for_reuse()
    scene.upload_spectral_params(np.array([0.95, 0.96, 0.97, 0.98, 0.97, 0.99, 0.9, 0.9, 0.9,
                                           0, 0, 0, 2.0, 2.5, 3.0], np.float32))
    scene.add_material(0, 0, [0, 0, 290, 318, 296])  # soil: sunlit / shaded
    scene.add_material(13, 3, [0.5, 0.5, 302])  # leaf
    scene.add_material(0, 6, [0, 0, 300])  # bark
    scene.set_emitter(0, info["sun_direction"], 9)
    scene.set_sky(12)
    scene.set_thermal_mode(True, [8500.0, 10000.0, 11500.0])


def terrain_following_view(scene):
    forest(scene)
    cam = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 50, 0, 0, 0, 1], np.float32)
    scene.set_sensor(scenes.ORTHOGRAPHIC, 32, 32, 20, 20, cam, 60.0, 0, True)


def cpu_batches(run, unit, count):
    """Per-batch estimates of the CPU backend, batch j from samples [j unit, (j + 1) unit):
    the streams depend only on the sample index, so they are differences of cumulative runs."""
    sums = [k * unit * run(k * unit).astype(np.float64) for k in range(1, count + 1)]
    return np.diff(np.array([np.zeros_like(sums[0])] + sums), axis=0) / unit


def assert_same_distribution(vulkan, batches):
    """`vulkan` was made from the samples of the first half of the batches. Against the mean of
    the other half (independent samples): per-band means within 3 sigma, and per-cell z-scores
    distributed as noise. Their own samples must also give the CPU's numbers almost exactly."""
    half = len(batches) // 2
    first, other = batches[:half].mean(axis=0), batches[half:].mean(axis=0)
    # Variance of the difference of two half-means; cells whose samples differ by float rounding
    # only count as noiseless.
    var = batches.var(axis=0, ddof=1) * 2 / half + (1e-5 * np.abs(other)) ** 2
    bands = vulkan.shape[-1]
    diff, var = (vulkan - other).reshape(-1, bands), var.reshape(-1, bands)
    band_z = diff.sum(axis=0) / np.sqrt(var.sum(axis=0))
    assert np.all(np.abs(band_z) < 3), band_z
    noisy = var > (2e-5 * np.abs(other.reshape(-1, bands))) ** 2
    if noisy.sum() >= 100:
        z = diff[noisy] / np.sqrt(var[noisy])
        assert abs(z.mean()) < 0.2 and 0.6 < z.std() < 1.5 and np.mean(np.abs(z) > 4) < 0.01, (
            z.mean(), z.std(), np.mean(np.abs(z) > 4))
    assert np.isclose(vulkan, first, rtol=1e-3, atol=1e-6).mean() > 0.97


def agreement(a, b):
    """The share of values two results (arrays or dicts of them) hold alike, to float
    rounding."""
    a, b = (np.concatenate([np.ravel(x[k]) for k in sorted(x)]) if isinstance(x, dict)
            else np.ravel(x) for x in (a, b))
    return np.isclose(a, b, rtol=1e-3, atol=1e-6).mean()


@pytest.mark.parametrize("build", [forest, oblique_forest_on_tile, thermal_crowns,
                                   terrain_following_view] + [hemispherical_photo(p)
                                                              for p in range(4)],
                         ids=lambda b: b.__name__)
def test_images_agree_with_the_cpu_backend(vk_scene, build):
    cpu = velm.EmbreeSceneManager()
    for s in (cpu, vk_scene):
        build(s)
        s.build()
    batches = cpu_batches(lambda n: velm.simulate_cpu(cpu, spp=n, max_depth=6), 1, 16)
    assert_same_distribution(vk_scene.simulate_backward(spp=8, max_depth=6), batches)
    if build is forest:  # a seed draws other streams, the same ones on both backends
        seeded = vk_scene.simulate_backward(spp=8, max_depth=6, seed=SEED)
        assert agreement(seeded, velm.simulate_cpu(cpu, spp=8, max_depth=6, seed=SEED)) > 0.97
        assert agreement(seeded, batches[:8].mean(axis=0)) < 0.5


@pytest.mark.parametrize("mode", ["flux", "radiation"])
def test_flux_and_radiation_field_agree_with_the_cpu_backend(vk_scene, mode):
    cpu = velm.EmbreeSceneManager()
    for s in (cpu, vk_scene):
        scenes.canopy_tile(s)
        s.build()
    unit, count = 10000, 8
    if mode == "flux":
        def cpu_run(n, seed=0):
            return velm.simulate_flux_cpu(cpu, 8, 8, n, 2, prob_sun=0.7, max_bounces=2,
                                          decompose=True, seed=seed)

        def vk_run(seed=0):
            return vk_scene.simulate_flux(8, 8, unit * count // 2, 2, prob_sun=0.7,
                                          max_bounces=2, decompose=True, seed=seed)
    else:
        def cpu_run(n, seed=0):
            return velm.simulate_forward_cpu(cpu, 5, 5, layer_heights=[-1, 1, 2.5, 6],
                                             num_photons=n, num_bands=2, per_leaf=True,
                                             prob_sun=0.7, terrain_instance_id=0, seed=seed)

        def vk_run(seed=0):
            return vk_scene.simulate_forward_radiation(5, 5, [-1, 1, 2.5, 6], unit * count // 2,
                                                       2, per_leaf=True, prob_sun=0.7,
                                                       terrain_instance_id=0, seed=seed)
    vk = vk_run()
    runs = {n: cpu_run(n) for n in range(unit, unit * count + 1, unit)}
    assert list(vk) == list(runs[unit])
    for key in vk:
        batches = cpu_batches(lambda n: runs[n][key], unit, count)
        assert vk[key].shape == batches.shape[1:]
        assert_same_distribution(vk[key] if vk[key].ndim > 1 else vk[key][None], batches
                                 if vk[key].ndim > 1 else batches[:, None])
    # A seed draws other streams, the same ones on both backends.
    seeded = vk_run(SEED)
    assert agreement(seeded, cpu_run(unit * count // 2, SEED)) > 0.97
    assert agreement(seeded, runs[unit * count // 2]) < 0.5


# ---- runs that stop, threads, limits and shader files ------------------------------------------

def test_batches_release_the_interpreter_lock_and_progress_can_stop_them(vk_scene):
    square_tile(vk_scene, 0.3)
    ticks, seen, done = [0], [], threading.Event()

    def spin():
        while not done.is_set():
            ticks[0] += 1

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        vk_scene.simulate_flux(2, 2, 2 * 2097152, 1, max_depth=1,
                               progress=lambda *a: seen.append(ticks[0]))
    finally:
        done.set()
        spinner.join()
    # Between two progress calls the device worked for a batch; the other thread ran meanwhile.
    assert min(np.diff(seen)) > 1000

    def interrupt(*args):
        raise KeyboardInterrupt

    def mutate(*args):
        vk_scene.set_num_bands(7)  # the scene refuses changes while it is simulated

    # A progress callable that raises stops the run with its exception; the scene stays usable.
    for progress, error, message in [(interrupt, KeyboardInterrupt, None), (
            mutate, RuntimeError, "^scene is in use by a running simulation$")]:
        with pytest.raises(error, match=message):
            vk_scene.simulate_flux(2, 2, 2_100_000, 1, max_depth=1, progress=progress)
        flux = vk_scene.simulate_flux(2, 2, 1000, 1, max_depth=1)
        assert flux["downwelling"].sum() == pytest.approx(1000.0 * COS_SUN * 100.0, rel=1e-5)


def test_ctrl_c_stops_a_photon_batch_within_a_second(vk_scene):
    # A batch of 2^21 photons takes about 2 s on lavapipe; Ctrl-C stops it part way, and the
    # scene runs again afterwards.
    square_tile(vk_scene, 0.3)
    vk_scene.simulate_flux(1, 1, 1000, 1, max_depth=2)  # makes the pipeline first
    assert seconds_to_stop(lambda: vk_scene.simulate_flux(1, 1, 4 * 2097152, 1, max_depth=2)) < 1.0
    flux = vk_scene.simulate_flux(1, 1, 1000, 1, max_depth=2)
    assert flux["downwelling"][0, 0, 0] == pytest.approx(1000.0 * COS_SUN * 100.0, rel=1e-5)


@functools.lru_cache(maxsize=None)
def many_instances(context):
    """The message scene's plane 2.2 million times over: a 140.8 MB instance table (64 bytes an
    instance), beyond lavapipe's 128 MiB storage binding."""
    s = message_scene(context)
    s.add_instances_xform(0, np.tile(np.eye(3, 4, dtype=np.float32).ravel(), (2_200_000, 1)))
    s.build()
    return s


@pytest.mark.parametrize("run", [lambda s: s.simulate_backward(spp=1, max_depth=1),
                                 lambda s: s.simulate_flux(1, 1, 100, 2),
                                 lambda s: s.simulate_forward_radiation(1, 1, [0.0, 1.0], 100, 2)],
                         ids=["image", "flux", "radiation"])
def test_every_mode_refuses_a_table_beyond_one_storage_binding(vk_context, run):
    if "llvmpipe" not in vk_context.device_name():
        pytest.skip("the table fits one storage binding of devices other than lavapipe")
    s = many_instances(vk_context)
    message = (f"Vulkan: the instance table needs {s.num_instances() * 64} bytes, beyond the "
               "device's maxStorageBufferRange of 134217728 bytes for one storage buffer")
    with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
        run(s)


@pytest.mark.parametrize("bands, capacity", [(1, 4), (5, 8), (32, 32), (33, 64), (200, 128)])
def test_band_count_chooses_the_optical_shader_file(vk_context, tmp_path, bands, capacity):
    shutil.copy(TRACE_SHADER, tmp_path)
    scene = velm.VulkanSceneManager(vk_context, str(tmp_path / "trace_closest.spv"))
    scenes.lambertian_plane(scene, np.full(bands, 0.2), np.full(bands, 100.0), SUN, sensor=(2, 2))
    scene.build()
    with pytest.raises(RuntimeError, match=f"^Vulkan shader not found: {tmp_path}/"
                                           f"backward_optical_{capacity}.spv$"):
        scene.simulate_backward(spp=1)
    with pytest.raises(RuntimeError, match=f"^Vulkan shader not found: {tmp_path}/"
                                           "forward_flux.spv$"):
        scene.simulate_flux(1, 1, 10, bands)


# ---- messages of the simulation and transport calls --------------------------------------------

def message_scene(vk_context):
    """Two bands; spectral layout: reflectance 0-1, sun 2-3, sky 4-5; a 10 m plane (material 0,
    two triangles) at z = 0 under a 4 x 4 nadir sensor at 10 m."""
    s = velm.VulkanSceneManager(vk_context, TRACE_SHADER)
    scenes.lambertian_plane(s, [0.2, 0.3], [1000.0, 800.0], SUN, half=5.0, sensor=(4, 4),
                            sky_radiance_per_band=[10.0, 20.0])
    s.build()
    return s


CAM = scenes.nadir_camera(0, 0, 10)
TRI = (np.array([[0, 0, 1], [1, 0, 1], [0, 1, 1]], np.float32), np.array([[0, 1, 2]]))


def add_triangle(s, normals=True, material=0):
    s.add_mesh(TRI[0], np.tile([0, 0, 1.0], (3, 1)) if normals else np.zeros((0, 3)), TRI[1],
               material)


def unbuilt(s):
    add_triangle(s)


def reused(*changes):
    def change(s):
        s.clear_for_reuse()
        for c in changes:
            c(s)
        s.build_reuse_geometry()
    return change


def rebuilt(change):
    def apply(s):
        change(s)
        s.build()
    return apply


def stale(setter, values):
    """A per-primitive table set for the scene before it gained a triangle."""
    return rebuilt(lambda s: (getattr(s, setter)(values), add_triangle(s),
                              s.add_instance(1, 0.0, 0.0, 2.0)))


@functools.lru_cache(maxsize=None)
def small_tables():
    return scenes.microwave_tables(1.4e9, [scenes.MOIST_SOIL], [
        (290.0, 0.5, scenes.vegetation_phase(0.5, 0.0, 2, 2, 2))], [scenes.FOREST_TRUNK], 3)


def call(method, tables=False, **defaults):
    """Row calls of `method`: its `defaults` (with the microwave tables when `tables`), some
    replaced by keyword; `mutate` edits the final arguments in place."""
    def with_args(mutate=None, **kw):
        def run(s):
            args = {**({k: np.array(v) for k, v in small_tables().items()} if tables else {}),
                    **defaults, **kw}
            if mutate is not None:
                mutate(args)
            getattr(s, method)(**args)
        return run
    return with_args


backward = call("simulate_backward")
flux = call("simulate_flux", nx=2, ny=2, num_photons=100, num_bands=2)
radiation = call("simulate_forward_radiation", nx=2, ny=2, layer_heights=[0.0, 1.0],
                 num_photons=100, num_bands=2)
energy = call("run_energy_balance_gpu", band_type=0, n_samples=4, sun_irradiance=100.0,
              sky_diffuse_radiance=1.0, sky_lw_radiance=1.0, sun_dir_x=0.0, sun_dir_y=0.0,
              sun_dir_z=1.0, two_sided=True)
multiband = call("run_energy_balance_multiband_gpu", n_bands=2, n_samples=4,
                 sun_irradiance=[1.0, 2.0], sky_diffuse_radiance=[1.0, 1.0], sun_dir_x=0.0,
                 sun_dir_y=0.0, sun_dir_z=1.0, two_sided=False)
microwave = call("run_microwave_wavefront", True, active_mode=False, max_depth=1,
                 air_temperature=280.0, atmosphere_tau=0.0, material_map=[0],
                 origins=np.float32([[0, 0, 5, 0]]), directions=np.float32([[0, 0, -1, 0]]))


def grown(name, extra=1):
    return microwave(lambda kw: kw.update({name: np.r_[np.ravel(kw[name]), np.zeros(extra)]}))


def set_item(name, index, value):
    return microwave(lambda kw: kw[name].__setitem__(index, value))


# (change, call, error, message) per call in the order its checks are made; with no call, the
# change is what fails.
MESSAGE_CASES = [
    (unbuilt, backward(), RuntimeError, "Vulkan: build the scene before simulating an image"),
    (lambda s: s.set_sensor(2, 4, 4, 5, 5, CAM), backward(), RuntimeError,
     "Vulkan optical prototype supports orthographic, perspective, and fisheye sensors"),
    (lambda s: s.set_sensor(0, 4, 0, 5, 5, CAM), backward(), ValueError,
     "Vulkan: sensor image dimensions must be positive"),
    (lambda s: s.set_sensor(0, 4, 4, 0, 5, CAM), backward(), ValueError,
     "Vulkan: orthographic sensor extent must be positive"),
    (lambda s: s.set_sensor(4, 4, 4, 0, 0, CAM, 0.0), backward(), ValueError,
     "Vulkan: sensor field of view must be positive"),
    (lambda s: s.set_num_bands(0), backward(), ValueError,
     "Vulkan: number of bands must be positive"),
    (None, backward(spp=0), ValueError, "Vulkan: samples per pixel must be positive"),
    (None, backward(max_depth=0), ValueError, "Vulkan: maximum path depth must be positive"),
    (reused(), backward(), RuntimeError, "Vulkan: scene has no optical materials"),
    (reused(lambda s: s.add_material(0, 0)), backward(), RuntimeError,
     "Vulkan: spectral parameter buffer is empty"),
    (lambda s: s.set_thermal_mode(True, [10000.0]), backward(), ValueError,
     "Vulkan: thermal mode requires one wavelength per band"),
    (lambda s: s.set_primitive_sif_spectra(np.zeros(3 * 2), 3), backward(), ValueError,
     "Vulkan: primitive SIF band count must match the simulation bands"),
    (lambda s: s.set_emitter(0, SUN, 5), backward(), IndexError,
     "Vulkan: sun spectrum is outside the spectral parameter buffer"),
    (lambda s: s.set_sky(5), backward(), IndexError,
     "Vulkan: sky spectrum is outside the spectral parameter buffer"),
    (lambda s: s.set_hw_sky(0, 0, 0, 1), backward(), IndexError,
     "Vulkan: Hosek-Wilkie coefficients are outside the spectral parameter buffer"),
    (rebuilt(lambda s: add_triangle(s, normals=False)), backward(), RuntimeError,
     "Vulkan optical prototype requires one normal per vertex"),
    (rebuilt(lambda s: add_triangle(s, material=3)), backward(), IndexError,
     "Vulkan: mesh material id is outside the material table"),
    (rebuilt(lambda s: add_triangle(s, material=s.add_material(5, 0))), backward(), RuntimeError,
     "Vulkan optical prototype supports diffuse, RPV, and diffuse-transmitting materials"),
    (rebuilt(lambda s: add_triangle(s, material=s.add_material(1, 0))), backward(), IndexError,
     "Vulkan: material spectrum is outside the spectral parameter buffer"),
    # what the shader could not use (the checks every backend shares: tests/test_bad_input.py)
    (lambda s: s.set_sensor(0, 20_000_000, 1, 5, 5, CAM), backward(), RuntimeError,
     "Vulkan: one row of the image accumulator (width x bands floats) needs 160000000 "
     "bytes, beyond the device's maxStorageBufferRange"),
    # simulate_flux
    (unbuilt, flux(), RuntimeError, "Vulkan: build the scene before simulating flux"),
    (None, flux(nx=0), ValueError, "Vulkan flux grid dimensions must be positive"),
    (None, flux(num_photons=0), ValueError, "Vulkan flux photon count must be positive"),
    (None, flux(num_photons=2**32), ValueError,
     "Vulkan flux currently supports at most 2^32-1 photons per run"),
    (None, flux(num_bands=3), ValueError, "Vulkan flux band count must match the built scene"),
    (None, flux(rr_depth=-1), ValueError, "Vulkan flux path depths are invalid"),
    (reused(), flux(), RuntimeError, "Vulkan flux requires optical scene data"),
    (lambda s: s.set_emitter(0, SUN, 5), flux(), IndexError, "Vulkan flux sun spectrum is invalid"),
    (lambda s: s.set_sensor(0, 4, 4, 0, 0, CAM), flux(), RuntimeError,
     "Vulkan flux scene extent is unknown"),
    (rebuilt(lambda s: add_triangle(s, normals=False)), flux(), RuntimeError,
     "Vulkan flux requires one normal per vertex"),
    (lambda s: s.add_material(5, 0), flux(), RuntimeError,
     "Vulkan flux supports diffuse, RPV, and diffuse-transmitting materials"),
    (None, flux(nx=100000, ny=100000), RuntimeError,
     "Vulkan: a flux map (ny x nx x bands cells of 12 bytes) needs 240000000000 bytes, beyond "
     "the device's maxStorageBufferRange"),
    # simulate_forward_radiation
    (unbuilt, radiation(), RuntimeError,
     "Vulkan: build the scene before simulating a radiation field"),
    (None, radiation(layer_heights=[0.0]), ValueError, "Vulkan radiation-field grid is invalid"),
    (None, radiation(layer_heights=[0, 1, 1, 2]), ValueError,
     "Vulkan radiation-field layer heights must be strictly increasing"),
    (None, radiation(num_photons=2**32), ValueError,
     "Vulkan radiation-field photon count must be in [1, 2^32-1]"),
    (None, radiation(num_bands=1), ValueError,
     "Vulkan radiation-field band count must match the built scene"),
    (None, radiation(max_depth=0), ValueError, "Vulkan radiation-field path depths are invalid"),
    (None, radiation(terrain_instance_id=1), IndexError, "Vulkan terrain instance id is invalid"),
    (lambda s: s.set_sensor(0, 4, 4, 0, 0, CAM), radiation(), RuntimeError,
     "Vulkan radiation-field scene extent is unknown"),
    (rebuilt(lambda s: add_triangle(s, normals=False)), radiation(), RuntimeError,
     "Vulkan radiation field requires one normal per vertex"),
    (lambda s: s.add_material(5, 0), radiation(), RuntimeError,
     "Vulkan radiation field supports diffuse, RPV, and diffuse-transmitting materials"),
    (None, radiation(layer_heights=[[0.0, 1.0]]), ValueError, "layer_heights must be 1D"),
    # run_energy_balance_gpu and run_energy_balance_multiband_gpu
    (unbuilt, energy(), RuntimeError, "Vulkan: build the scene before energy-balance transport"),
    (None, energy(band_type=2), ValueError, "Vulkan energy balance band_type must be 0 or 1"),
    (None, energy(n_samples=0), ValueError, "Vulkan energy balance n_samples must be positive"),
    (None, energy(sw_albedos=[0.1]), ValueError,
     "Vulkan energy balance albedos must have bands * n_primitives values"),
    (None, energy(sun_dir_z=0.0), ValueError,
     "Vulkan energy balance sun direction must be non-zero"),
    (None, energy(sun_dir_z=np.inf), ValueError,
     "Vulkan energy balance: the sun direction must be a finite non-zero vector"),
    (None, energy(sky_diffuse_radiance=-1.0), ValueError,
     "Vulkan energy balance: sky_diffuse_radiance must be finite and not negative"),
    (None, energy(sw_albedos=[0.2, 1.5]), ValueError,
     "Vulkan energy balance: sw_albedos of primitive 1 must lie in [0, 1], got 1.500000"),
    (None, multiband(sw_albedos=[0.2, 0.1, np.nan, 0.3]), ValueError,
     "Vulkan energy balance: sw_albedos of primitive 0 must lie in [0, 1], got nan"),
    (stale("set_primitive_temperatures", [300.0, 300.0]), energy(band_type=1), RuntimeError,
     "Vulkan primitive temperatures have an invalid length"),
    (stale("set_primitive_emissivities", [0.9, 0.9]), energy(band_type=1), RuntimeError,
     "Vulkan primitive emissivities have an invalid length"),
    (lambda s: (s.add_instance(0, 0.0, 0.0, 1.0), s.build_reuse_geometry()), energy(),
     RuntimeError, "Vulkan energy balance: the scene's instances changed since its acceleration "
     "structures were built; call build()"),
    (lambda s: s.set_primitive_temperatures([300.0, np.nan]), None, ValueError,
     "primitive 1 has temperature nan; temperatures must be finite and non-negative (K)"),
    (lambda s: s.set_primitive_emissivities([1.2, 0.5]), None, ValueError,
     "primitive 0 has emissivity 1.2; emissivities must lie in [0, 1]"),
    (None, multiband(n_bands=0), ValueError, "Vulkan energy balance n_bands must be positive"),
    (None, multiband(sky_diffuse_radiance=[1.0]), ValueError,
     "Vulkan energy balance sun and sky arrays must match n_bands"),
    (None, multiband(sw_albedos=np.zeros(3)), ValueError,
     "Vulkan energy balance albedos must have bands * n_primitives values"),
    # run_microwave_wavefront
    (unbuilt, microwave(), RuntimeError, "Vulkan: build the scene before microwave transport"),
    (None, microwave(max_depth=0), ValueError,
     "Vulkan microwave wavefront received invalid dimensions"),
    (None, microwave(response_table_size=1), ValueError,
     "Vulkan microwave wavefront received invalid dimensions"),
    (None, microwave(origins=np.zeros(3, np.float32)), ValueError,
     "origins and directions must have shape (N, 4)"),
    (None, grown("smooth_soil_table"), ValueError,
     "Vulkan microwave soil response tables have invalid sizes"),
    (None, grown("dihedral_ground_table"), ValueError,
     "Vulkan microwave vegetation/trunk data has invalid sizes"),
    (None, grown("lut_info", 8), ValueError,
     "Vulkan microwave vegetation/trunk data has invalid sizes"),
    (None, microwave(material_map=[]), ValueError,
     "Vulkan microwave material map does not cover scene materials"),
    (None, microwave(material_map=[3]), ValueError,
     "Vulkan microwave material_map entry 0 is 3, beyond the soil, vegetation and trunk "
     "materials (3)"),
    (None, microwave(directions=np.zeros((1, 4), np.float32)), ValueError,
     "Vulkan microwave ray 0 needs a finite origin and a finite, non-zero direction"),
    (None, microwave(atmosphere_tau=np.nan), ValueError,
     "Vulkan microwave air_temperature and atmosphere_tau must be finite and non-negative"),
    (None, set_item("mueller_lut", 5, np.inf), ValueError,
     "Vulkan microwave mueller_lut value 5 is not finite"),
    (None, set_item("vegetation_parameters", (0, 1), -0.5), ValueError,
     "Vulkan microwave vegetation entry 0 needs a temperature in kelvin (column 0) and a "
     "non-negative absorption coefficient (column 1)"),
    (None, set_item("trunk_parameters", (0, 7), -1.0), ValueError,
     "Vulkan microwave trunk entry 0 needs a non-negative radius (column 0), temperature in "
     "kelvin (column 3) and absorption coefficient of its wood (column 7)"),
    (None, set_item("lut_info", (0, 7), 1), ValueError,
     "Vulkan microwave lut_info entry 0 is vegetation: its words 6 and 7 (a trunk's specular "
     "table) must be 0"),
    (None, set_item("lut_info", (1, 7), 9), ValueError,
     "Vulkan microwave lut_info entry 1: its specular table reaches beyond mueller_lut"),
    (None, set_item("lut_info", (0, 3), 3), ValueError,
     "Vulkan microwave lut_info entry 0 reaches beyond mueller_lut, cosine_cdf or azimuth_cdf"),
    (None, set_item("lut_info", (0, 5), 0), ValueError,
     "Vulkan microwave lut_info entry 0 needs at least one scattering-cosine bin and one azimuth "
     "bin"),
    (None, set_item("cosine_cdf", 1, -1.0), ValueError,
     "Vulkan microwave lut_info entry 0: its cosine_cdf rows must start at 0 or more and never "
     "decrease"),
]


@pytest.mark.parametrize("change, call, error, message", MESSAGE_CASES,
                         ids=[c[3][:70] for c in MESSAGE_CASES])
def test_messages(vk_context, change, call, error, message):
    s = message_scene(vk_context)
    if call is None:
        change, call = None, change
    if change is not None:
        change(s)
    # The storage-limit messages go on to name the device's limit.
    prefix = message.endswith("maxStorageBufferRange")
    with pytest.raises(error, match="^" + re.escape(message) + ("" if prefix else "$")):
        call(s)
