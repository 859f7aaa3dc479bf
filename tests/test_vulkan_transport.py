"""VulkanSceneManager.run_energy_balance_gpu, run_energy_balance_multiband_gpu and
run_microwave_wavefront on lavapipe: closed forms, thermodynamic equilibrium, band chunks and ray
splits (their messages are checked with the simulations')."""

import functools
import math

import numpy as np
import pytest

import scenes
import velm_gpu as velm
from conftest import seconds_to_stop

pytestmark = pytest.mark.vulkan

SIGMA = 5.670374419e-8
SUN = scenes.sun_direction(35.0, 20.0)
UP = np.array([0.0, 0.0, 1.0])
F = 1.4e9


def add(scene, mesh, material=0, pos=(0.0, 0.0, 0.0)):
    """Adds `mesh` (a dict of the procedural functions) and one instance of it at `pos`."""
    m = scene.add_mesh(mesh["vertices"], mesh["normals"], mesh["indices"], material)
    scene.add_instance(m, *pos)


def square(half=0.5, flip=False):
    """A 2 half x 2 half square in the xy plane, facing +z (or -z)."""
    g = velm.make_ground_plane(half, half)
    if flip:
        g = {"vertices": g["vertices"], "normals": -g["normals"],
             "indices": g["indices"][:, ::-1].copy()}
    return g


def box(scene, half, z0, z1):
    """The closed box [-half, half]^2 x [z0, z1] (roof first, then walls and floor), as
    instances of one square. Returns the number of primitives added."""
    mesh = scene.add_mesh(*(square(1.0)[k] for k in ("vertices", "normals", "indices")))
    h, c, w = half, 0.5 * (z0 + z1), 0.5 * (z1 - z0)
    faces = [  # rows of a 3x4 placing the unit square (normal +z)
        [h, 0, 0, 0, 0, h, 0, 0, 0, 0, 1, z1],   # roof
        [0, 0, 1, -h, 0, h, 0, 0, -w, 0, 0, c],  # x = -half
        [0, 0, -1, h, 0, h, 0, 0, w, 0, 0, c],   # x = +half
        [h, 0, 0, 0, 0, 0, 1, -h, 0, -w, 0, c],  # y = -half
        [h, 0, 0, 0, 0, 0, -1, h, 0, w, 0, c],   # y = +half
        [h, 0, 0, 0, 0, h, 0, 0, 0, 0, 1, z0],   # floor
    ]
    scene.add_instances_xform(mesh, np.array(faces, np.float32))
    return 2 * len(faces)


# ---- energy balance ----------------------------------------------------------------------------

@pytest.mark.parametrize("band_type, two_sided, n_samples", [
    (0, True, 16), (0, False, 16), (1, True, 16),
    # more samples of a face than one dispatch takes: the call runs them in parts and adds the
    # parts up, and the interrupt poll between the parts stops nothing
    (0, False, 3_000_001), (0, True, 1_500_001)])
def test_isolated_horizontal_facet(vk_scene, band_type, two_sided, n_samples):
    # Every ray from the top escapes upwards and the sun is always seen: exact sums. Nothing
    # reaches the bottom face.
    add(vk_scene, square())
    vk_scene.build()
    albedo, e, sky, lw = 0.2, 800.0, 30.0, 300.0
    top, bottom = vk_scene.run_energy_balance_gpu(band_type, n_samples, e, sky, lw, *SUN,
                                                  two_sided, np.full(2, albedo))
    want = (1 - albedo) * (e * SUN[2] + math.pi * sky) if band_type == 0 else 0.97 * math.pi * lw
    np.testing.assert_allclose(top, want, rtol=1e-5)
    assert top.shape == (2,) and bottom.shape == ((2,) if two_sided else (0,))
    assert not bottom.any()
    if n_samples > 16:
        assert vk_scene._last_simulation_profile()["dispatches"] > 1


def test_facet_in_a_closed_box(vk_scene):
    # The facet's faces see only the box, whose inner faces get no sun and no sky to reflect
    # (while its roof is in the sun). Black and at T, the box makes each face absorb
    # eps sigma T^4.
    add(vk_scene, square(0.3), pos=(0.1, -0.2, 1.0))
    n_box = box(vk_scene, 2.0, 0.0, 3.0)
    vk_scene.build()
    top, bottom = vk_scene.run_energy_balance_gpu(0, 64, 800.0, 30.0, 0.0, *UP, True,
                                                  np.full(2 + n_box, 0.5))
    assert not top[:2].any() and not bottom[:2].any() and top[2:4].all()
    t, eps = 310.0, 0.6
    vk_scene.set_primitive_temperatures(np.r_[[150.0, 150.0], np.full(n_box, t)])
    vk_scene.set_primitive_emissivities(np.r_[[eps, eps], np.ones(n_box)])
    top, bottom = vk_scene.run_energy_balance_gpu(1, 32, 0.0, 0.0, 1000.0, *UP, True)
    np.testing.assert_allclose(np.r_[top[:2], bottom[:2]], eps * SIGMA * t**4, rtol=1e-5)


def test_multiband_chunks_and_the_single_band_call(vk_scene):
    # The multiband call with one band is the single-band call; 40 bands are the calls of their
    # first 32 and last 8 (the same random streams in every band).
    scenes.canopy_tile(vk_scene)
    vk_scene.build()
    p = vk_scene.n_primitives()
    rng = np.random.default_rng(5)
    sun, sky = rng.uniform(100, 900, 40), rng.uniform(5, 40, 40)
    albedo = rng.uniform(0.0, 0.6, (40, p)).astype(np.float32)
    one = vk_scene.run_energy_balance_gpu(0, 8, sun[0], sky[0], 0.0, *SUN, True, albedo[0])
    many = vk_scene.run_energy_balance_multiband_gpu(1, 8, sun[:1], sky[:1], *SUN, True,
                                                     albedo[:1])
    for a, b in zip(one, many):
        np.testing.assert_array_equal(a, b[0])
    full = vk_scene.run_energy_balance_multiband_gpu(40, 8, sun, sky, *SUN, True, albedo)
    parts = [vk_scene.run_energy_balance_multiband_gpu(k1 - k0, 8, sun[k0:k1], sky[k0:k1], *SUN,
                                                       True, albedo[k0:k1])
             for k0, k1 in ((0, 32), (32, 40))]
    assert full[0].shape == (40, p)
    for k in range(2):
        np.testing.assert_array_equal(full[k], np.concatenate([parts[0][k], parts[1][k]]))
    # Absorbed short wave is bounded by what the sun and sky bring with first-order reflection.
    assert np.all(full[0] >= 0)
    assert np.all(full[0] <= (sun * 1.6 + math.pi * sky * 1.6)[:, None])


def test_a_million_samples_of_one_value_average_to_it(vk_scene):
    # Under the sun alone (no sky, black facet) every sample of the top face brings exactly E cos:
    # the mean of 2^20 of them is that value. Plain float sums of 16384 samples per invocation
    # drifted by 8e-5 here.
    add(vk_scene, square())
    vk_scene.build()
    top, _ = vk_scene.run_energy_balance_gpu(0, 2**20, 1000.0, 0.0, 0.0, *SUN, False, np.zeros(2))
    want = np.float32(1000.0) * np.float32(SUN[2] / np.linalg.norm(SUN.astype(np.float64)))
    np.testing.assert_allclose(top, want, rtol=1e-6)


def test_ctrl_c_stops_an_energy_balance_within_a_second(vk_scene):
    # 2^27 samples of a facet take about 20 s in one piece on lavapipe.
    add(vk_scene, square())
    vk_scene.build()
    run = functools.partial(vk_scene.run_energy_balance_gpu, 0, 2**27, 1000.0, 30.0, 0.0, *SUN,
                            True, np.full(2, 0.2))
    assert seconds_to_stop(run) < 1.0
    top, _ = vk_scene.run_energy_balance_multiband_gpu(1, 16, [1000.0], [0.0], *SUN, False,
                                                       np.zeros(2))
    np.testing.assert_allclose(top, 1000.0 * SUN[2], rtol=1e-5)


# ---- microwave ---------------------------------------------------------------------------------

def soil_scene(scene, extra=None):
    """Soil (material 0) filling [-50, 50]^2 at z = 0; `extra(scene)` adds more."""
    add(scene, velm.make_ground_plane(50, 50, 0, 100.0))
    if extra:
        extra(scene)
    scene.build()


def rays(origins, directions):
    o, d = np.atleast_2d(origins), np.atleast_2d(directions)
    return np.c_[o, np.zeros(len(o))].astype(np.float32), \
        np.c_[d, np.zeros(len(d))].astype(np.float32)


def slant(theta_deg, azimuth_deg=30.0):
    """Unit direction descending at zenith angle theta."""
    th, ph = math.radians(theta_deg), math.radians(azimuth_deg)
    return np.array([math.sin(th) * math.cos(ph), math.sin(th) * math.sin(ph), -math.cos(th)])


def run(scene, tables, directions, origins=None, active=False, depth=1, t_air=280.0, tau=0.05,
        material_map=(0,)):
    if origins is None:
        origins = np.zeros((len(np.atleast_2d(directions)), 3)) + [0, 0, 10]
    o, d = rays(origins, directions)
    return scene.run_microwave_wavefront(active, depth, t_air, tau, origins=o, directions=d,
                                         material_map=np.array(material_map, np.int32), **tables)


@pytest.fixture(scope="module")
def soil_tables():
    return scenes.microwave_tables(F, [scenes.MOIST_SOIL], [], [], 33)


def table_row(tables, name, mu):
    t = tables[name][0]
    return np.array([np.interp(mu, np.linspace(0, 1, t.shape[0]), t[:, c])
                     for c in range(t.shape[1])])


def test_bare_soil_and_open_sky_closed_forms(vk_scene, soil_tables):
    # Onto the soil at cosine mu: T_p = t e_p T_eff + (1 - t) T_air (1 + r_p t) + r_p t^2 2.725,
    # t = exp(-tau / mu), from the tables' own rows at mu; active: the table's sigma, t^2 on the
    # two ways. Upwards: (1 - t) T_air + t 2.725; downwards past the soil, only the air's own
    # emission (nothing lies below). Active rays that miss return nothing.
    soil_scene(vk_scene)
    tau, t_air, theta = 0.3, 250.0, np.array([0.0, 27.0, 58.0])
    d = [slant(th) for th in theta] + [[0.8, 0.0, 0.6], [0.0, 0.0, -1.0]]
    o = [[0, 0, 10]] * 3 + [[0, 0, 1], [80, 0, 5]]
    passive, active = (run(vk_scene, soil_tables, d, o, a, tau=tau, t_air=t_air)
                       for a in (False, True))
    mu = np.cos(np.radians(theta))
    t, up = np.exp(-tau / mu), math.exp(-tau / 0.6)
    e, r = table_row(soil_tables, "passive_soil_table", mu).reshape(2, 2, 3)
    np.testing.assert_allclose(passive[:3, :2].T, t * e + (1 - t) * t_air * (1 + r * t)
                               + r * t * t * 2.725, rtol=1e-4)
    np.testing.assert_allclose(passive[3:, :2], [[(1 - up) * t_air + up * 2.725] * 2,
                                                 [(1 - math.exp(-tau)) * t_air] * 2], rtol=1e-5)
    assert not passive[:, 2:].any() and not active[3:].any()
    np.testing.assert_allclose(active[:3].T, table_row(soil_tables, "active_soil_table", mu)
                               * t * t, rtol=1e-4)
    empty = run(vk_scene, soil_tables, np.zeros((0, 3)))
    assert empty.shape == (0, 4) and empty.dtype == np.float32


def trunks_and_crowns(scene, at=(0.0, 0.0)):
    """Three trunks (material 2) under three crowns (material 1) around `at`."""
    trunk, crown = velm.make_cylinder(0.3, 3.0, 12), velm.make_sphere(1.5, [0, 0, 0], 2)
    t = scene.add_mesh(trunk["vertices"], trunk["normals"], trunk["indices"], 2)
    c = scene.add_mesh(crown["vertices"], crown["normals"], crown["indices"], 1)
    for x, y in [(-2.0, -1.0), (1.5, 2.0), (2.0, -2.5)]:
        scene.add_instance(t, at[0] + x, at[1] + y, 0.0)
        scene.add_instance(c, at[0] + x, at[1] + y, 3.5)


def view(n, seed=3):
    """n rays descending on the trees from 30 m at 0 to 50 degrees off nadir."""
    rng = np.random.default_rng(seed)
    theta, phi = np.radians(rng.uniform(0, 50, n)), rng.uniform(0, 2 * math.pi, n)
    d = np.c_[np.sin(theta) * np.cos(phi), np.sin(theta) * np.sin(phi), -np.cos(theta)]
    target = np.c_[rng.uniform(-4, 4, (n, 2)), np.zeros(n)]
    return target - 30 * d, d


@pytest.mark.parametrize("active", [False, True])
def test_transparent_trunks_and_crowns_change_nothing(vk_scene, active):
    # A trunk with the dielectric of air (eps = 1: R_p = 0, no loss in the wood, and the cylinder
    # series scatters nothing) and a crown that neither absorbs nor scatters (an all-zero Mueller
    # table) are not there.
    soil_scene(vk_scene, trunks_and_crowns)
    tables = scenes.microwave_tables(F, [scenes.MOIST_SOIL],
                                     [(290.0, 0.0, scenes.vegetation_phase(1.0))],
                                     [scenes.FOREST_TRUNK], 33)
    tables["trunk_response_table"][:] = [300.0, 300.0, 0.0, 0.0]
    tables["trunk_dihedral_scattering"][:] = 0
    tables["trunk_parameters"][:, 7] = 0
    for name in ("mueller_lut", "cosine_cdf", "azimuth_cdf"):
        tables[name][:] = 0
    origins, directions = view(2000)
    bare = run(vk_scene, tables, directions, origins, active, 4, material_map=(0, -1, -1))
    np.testing.assert_array_equal(
        run(vk_scene, tables, directions, origins, active, 4, material_map=(0, 1, 2)), bare)


def test_isothermal_scene_is_in_equilibrium(vk_scene):
    # Soil, wood, vegetation and sky all at T (an opaque atmosphere at T seen upwards) on the
    # repeating tile: every path brings T back. With isotropic scattering each path does so
    # exactly; with a forward phase function and polarised trunk reflection, on average.
    t = 290.0
    soil = np.array(scenes.MOIST_SOIL, np.float32)
    soil[7:9] = t
    trunk = np.array(scenes.FOREST_TRUNK, np.float32)
    trunk[3] = t
    add(vk_scene, velm.make_ground_plane(10, 10, 0, 20.0), pos=(10.0, 10.0, 0.0))
    trunks_and_crowns(vk_scene, (10.0, 10.0))
    vk_scene.set_repetitive(10000, 20.0, 20.0)
    vk_scene.build()
    n = 4000
    rng = np.random.default_rng(2)
    origins = np.c_[rng.uniform(4, 16, (n, 2)), np.full(n, 0.5)]
    up = np.c_[rng.normal(0, 0.4, (n, 2)), np.ones(n)]
    for g, trunks, exact in ((0.0, (0, 1, -1), True), (0.4, (0, 1, 2), False)):
        tables = scenes.microwave_tables(F, [soil], [(t, 1.5, scenes.vegetation_phase(1.5, g))],
                                         [trunk], 17)
        out = run(vk_scene, tables, up, origins, depth=60, t_air=t, tau=50.0,
                  material_map=trunks)
        if exact:
            np.testing.assert_allclose(out[:, :2], t, rtol=1e-5)
        else:
            se = out[:, :2].std(axis=0) / math.sqrt(n)
            assert np.all(np.abs(out[:, :2].mean(axis=0) - t) < 4 * se + 1e-3), (out.mean(0), se)
        assert not out[:, 2:].any()


def slab(scene):
    """A horizontal layer of material 1 from z = 1 to 3 over the soil."""
    add(scene, velm.make_ground_plane(40, 40), 1, pos=(0.0, 0.0, 3.0))
    add(scene, square(40.0, flip=True), 1, pos=(0.0, 0.0, 1.0))


@pytest.mark.parametrize("scattering", [True, False], ids=["water cloud", "absorbing only"])
def test_radar_over_a_vegetation_slab(vk_scene, soil_tables, scattering):
    # Isotropic scatterers (extinction kappa_e = kappa_s + kappa_a, thickness H) over the soil:
    # sigma = sigma_soil gamma^2 + 4 pi mu M (1 - gamma^2) / (2 kappa_e), gamma^2 =
    # exp(-2 kappa_e H / mu), M the phase matrix's backscatter entry. Without scattering the slab
    # holds vegetation entry 1, which only absorbs (no Mueller table), beside entry 0, which has
    # one: the radar sees the soil through it (kappa_e = kappa_a) and nothing from inside it.
    soil_scene(vk_scene, slab)
    kappa_s, kappa_a, h, theta = (0.4, 0.4, 2.0, 35.0) if scattering else (0.0, 0.3, 2.0, 35.0)
    tables = dict(soil_tables)
    vegetation = [(290.0, kappa_a, scenes.vegetation_phase(kappa_s))] if scattering else [
        (290.0, 0.4, scenes.vegetation_phase(0.5)), (290.0, kappa_a, None)]
    tables.update(scenes.microwave_tables(F, [scenes.MOIST_SOIL], vegetation, [], 33))
    n, mu = 40000 if scattering else 20000, math.cos(math.radians(theta))
    rng = np.random.default_rng(4 if scattering else 6)
    target = np.c_[rng.uniform(-5, 5, (n, 2)), np.zeros(n)]
    d = np.tile(slant(theta), (n, 1))
    out = run(vk_scene, tables, d, target - 20 * d, active=True, tau=0.0,
              material_map=(0, 1 if scattering else 2))
    kappa_e = kappa_s + kappa_a
    gamma2 = math.exp(-2 * kappa_e * h / mu)
    want = table_row(tables, "active_soil_table", mu) * gamma2
    if scattering:
        phase = kappa_s / (4 * math.pi) * 0.5  # each of HH, HV, VH, VV
        want = want + 4 * math.pi * mu * phase * (1 - gamma2) / (2 * kappa_e)
    se = out.std(axis=0) / math.sqrt(n)
    assert np.all(np.abs(out.mean(axis=0) - want) < 4 * se), (out.mean(axis=0), want, se)


def test_rays_beyond_one_dispatch_are_split(vk_scene, soil_tables):
    # lavapipe binds at most 128 MiB: 838860 rays' work areas. 900000 rays run as two dispatches
    # of three passes; every ray gets its own answer.
    soil_scene(vk_scene)
    n = 900_000
    theta = np.linspace(0.0, 60.0, n)
    d = np.c_[np.sin(np.radians(theta)), np.zeros(n), -np.cos(np.radians(theta))]
    out = run(vk_scene, soil_tables, d, active=True, tau=0.0)
    assert vk_scene._last_simulation_profile()["dispatches"] == 6
    mu = np.cos(np.radians(theta))
    table = soil_tables["active_soil_table"][0]
    want = np.interp(mu, np.linspace(0, 1, table.shape[0]), table[:, 3])
    np.testing.assert_allclose(out[:, 3], want, rtol=1e-4)
