"""Forward photon tracing and flux maps checked against closed energy budgets: on the CPU, and on
both backends where they share the check."""

import math

import numpy as np
import pytest

import scenes
import velm_gpu as velm
from conftest import BACKENDS, flux, new_scene, radiation


def sun_dir(zenith_deg):
    t = math.radians(zenith_deg)
    return np.array([math.sin(t), 0.0, math.cos(t)], np.float32)


def plane(rho=0.3, zenith=30.0, sky=None, repeat=True, material=(0, 0), params=None, bands=1,
          scene=None):
    """A 10 m x 10 m plane on the tile [0, 10]^2; sun irradiance 1000 W m^-2 per band."""
    s = velm.EmbreeSceneManager() if scene is None else scene
    g = velm.make_ground_plane(5, 5)
    s.add_mesh(g["vertices"], g["normals"], g["indices"])
    s.add_instance(0, 5, 5, 0)
    s.set_num_bands(bands)
    if params is None:
        params = [rho] * bands + [1000.0] * bands + [sky or 0.0] * bands
    s.upload_spectral_params(np.asarray(params, np.float32))
    s.add_material(*material)
    s.set_emitter(0, sun_dir(zenith), bands if material[0] == 0 else len(params) - 2 * bands)
    if sky is not None:
        s.set_sky(2 * bands)
    if repeat:
        s.set_repetitive(3, 10.0, 10.0)
    else:
        s.set_sensor(0, 4, 4, 10.0, 10.0, np.eye(4, dtype=np.float32).ravel())
    s.build()
    return s


def incident(zenith, area=100.0):
    return 1000.0 * math.cos(math.radians(zenith)) * area


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("terrain", [False, True])
def test_repeating_plane_flux_and_radiation_field(backend, terrain, request):
    # Downwelling is the incident irradiance, upwelling rho times it; the ground layer absorbs
    # 1 - rho of it (the terrain tally instead, when the plane is the terrain instance). Every
    # photon of a plane deposits the same energy, so totals are exact.
    rho, e = 0.3, incident(30)
    s = plane(rho=rho, zenith=30, scene=new_scene(backend, request))
    f = flux(s, backend, nx=4, ny=5, num_photons=40000, num_bands=1, max_depth=2)
    assert list(f) == ["downwelling", "upwelling"] and f["upwelling"].shape == (5, 4, 1)
    assert f["downwelling"].sum() == pytest.approx(e, rel=1e-5)
    assert f["upwelling"].sum() == pytest.approx(rho * e, rel=1e-5)
    np.testing.assert_allclose(f["downwelling"], e / 20, rtol=0.1)
    field = radiation(s, backend, nx=2, ny=2, layer_heights=[-1.0, 1.0, 3.0], num_photons=40000,
                      num_bands=1, per_leaf=True, terrain_instance_id=0 if terrain else -1)
    assert field["grid"].shape == (2, 2, 2, 1) and field["leaf"].shape == (2, 1)
    absorbed = (1 - rho) * e
    if terrain:
        assert not field["grid"].any() and not field["leaf"].any()
        assert field["terrain"][0] == pytest.approx(absorbed, rel=1e-5)
    else:
        assert "terrain" not in field and not field["grid"][1].any()
        assert field["grid"][0].sum() == pytest.approx(absorbed, rel=1e-5)
        assert field["leaf"].sum() == pytest.approx(absorbed, rel=1e-5)


@pytest.mark.parametrize("backend", BACKENDS)
def test_absorbed_plus_escaped_is_incident(backend, request):
    # Photon g follows the same walk in both calls: absorbed (grid and terrain) plus what leaves
    # upwards (the upwelling of a one-cell flux map; on the CPU also the albedo) is the injected
    # energy, short only by roulette noise and the wrap limit. The leaf tally holds the grid's.
    s = new_scene(backend, request)
    scenes.canopy_tile(s)
    s.build()
    n = 200000
    r = radiation(s, backend, nx=2, ny=2, layer_heights=[-1, 1, 3, 6], num_photons=n,
                  num_bands=2, per_leaf=True, prob_sun=0.6, terrain_instance_id=0,
                  **(dict(brf_directions=[0, 0, 1], num_brf_dirs=1) if backend == "cpu" else {}))
    escaped = [flux(s, backend, nx=1, ny=1, num_photons=n, num_bands=2,
                    prob_sun=0.6)["upwelling"][0, 0]]
    if backend == "cpu":
        escaped.append(r["albedo"])
    injected = np.array([900 * math.cos(math.radians(40)) + math.pi * 40,
                         600 * math.cos(math.radians(40)) + math.pi * 20]) * 100
    absorbed = r["grid"].sum(axis=(0, 1, 2))
    for up in escaped:
        np.testing.assert_allclose(absorbed + r["terrain"] + up, injected, rtol=0.02)
    leaves = r["leaf"]
    assert leaves.shape == (2 + 3 * 320, 2)
    assert not leaves[:2].any()  # the terrain instance never reaches the leaf tally
    np.testing.assert_allclose(leaves.sum(0), absorbed, rtol=1e-5)


class TestEnergyBudget:
    def test_lambertian_plane_brf_and_cells(self):
        # BRF = pi * brf / (cos(view) * incident) = rho for a Lambertian surface, the albedo is
        # rho, and a uniform beam deposits evenly over the cells.
        s = plane(rho=0.3, zenith=30)
        r = velm.simulate_forward_cpu(s, 4, 4, layer_heights=[-1, 1, 2], num_photons=100000,
                                      brf_directions=[[0, 0, 1], [0.5, 0, math.sqrt(0.75)]],
                                      num_brf_dirs=2)
        e = incident(30)
        assert r["albedo"][0] == pytest.approx(0.3 * e, rel=1e-5)
        cos_v = np.array([1.0, math.sqrt(0.75)])
        np.testing.assert_allclose(math.pi * r["brf"][:, 0] / (cos_v * e), 0.3, rtol=1e-5)
        np.testing.assert_allclose(r["grid"][0, :, :, 0], 0.7 * e / 16, rtol=0.03)

    @pytest.mark.parametrize("zenith, prob_sun", [(20, 1.0), (0, 0.5), (0, 1.0)])
    def test_black_surfaces_absorb_every_sun_photon_at_first_hit(self, zenith, prob_sun):
        # prob_sun only splits photons between sun and sky; with no sky the sun gets them all and
        # the absorbed energy is the incident one, not scaled by 1 / prob_sun.
        s = plane(rho=0.0, zenith=zenith)
        r = velm.simulate_forward_cpu(s, layer_heights=[-1, 1], num_photons=20000,
                                      prob_sun=prob_sun, brf_directions=[0, 0, 1], num_brf_dirs=1)
        assert r["grid"].sum() == pytest.approx(incident(zenith), rel=1e-5)
        assert r["albedo"][0] == 0 and r["brf"][0, 0] == 0

    def test_sun_at_the_horizon_gives_nothing(self):
        s = plane(zenith=89.9)
        r = velm.simulate_forward_cpu(s, layer_heights=[-1, 1], num_photons=1000)
        assert not r["grid"].any()

    def test_out_of_range_heights_clamp_to_edge_layers(self):
        s = plane(rho=0.0)
        r = velm.simulate_forward_cpu(s, layer_heights=[1, 2, 3], num_photons=1000)
        assert r["grid"][0].sum() > 0 and r["grid"][1:].sum() == 0
        r = velm.simulate_forward_cpu(s, layer_heights=[-3, -2, -1], num_photons=1000)
        assert r["grid"][-1].sum() > 0 and r["grid"][:-1].sum() == 0

    def test_keys_follow_the_request(self):
        s = plane()
        assert list(velm.simulate_forward_cpu(s, layer_heights=[-1, 1], num_photons=100)) == [
            "grid"]
        keys = velm.simulate_forward_cpu(s, layer_heights=[-1, 1], num_photons=100,
                                         brf_directions=[0, 0, 1], num_brf_dirs=1,
                                         terrain_instance_id=0)
        assert list(keys) == ["grid", "brf", "albedo", "terrain"]


class TestFlux:
    def test_decomposition_adds_up_exactly(self):
        s = plane(rho=0.4, zenith=30, sky=30.0)
        f = velm.simulate_flux_cpu(s, 3, 3, 60000, 1, prob_sun=0.7, decompose=True)
        assert list(f) == ["downwelling", "upwelling", "downwelling_direct",
                           "downwelling_diffuse"]
        np.testing.assert_array_equal(f["downwelling_direct"] + f["downwelling_diffuse"],
                                      f["downwelling"])
        # On a bare plane the direct part is the sunbeam, the diffuse part the sky.
        assert f["downwelling_direct"].sum() == pytest.approx(incident(30), rel=0.02)
        assert f["downwelling_diffuse"].sum() == pytest.approx(math.pi * 30 * 100, rel=0.03)

    def test_max_bounces_limits_recorded_hits(self):
        s = velm.EmbreeSceneManager()
        g = velm.make_ground_plane(5, 5)
        s.add_mesh(g["vertices"], g["normals"], g["indices"], material_id=0)
        s.add_mesh(g["vertices"], g["normals"], g["indices"], material_id=1)
        s.add_instance(0, 5, 5, 0)
        s.add_instance(1, 5, 5, 2)  # a leaf sheet above: light passes it and bounces between
        s.upload_spectral_params(np.array([0.5, 0.3, 0.3, 0.4, 1000.0], np.float32))
        s.add_material(0, 0)
        s.add_material(13, 1, [0.5, 0.5])
        s.set_emitter(0, np.array([0, 0, 1], np.float32), 4)
        s.set_repetitive(2, 10, 10)
        s.build()
        one = velm.simulate_flux_cpu(s, 1, 1, 20000, 1, max_bounces=1)
        every = velm.simulate_flux_cpu(s, 1, 1, 20000, 1)
        assert one["downwelling"].sum() == pytest.approx(incident(0), rel=1e-5)
        assert every["downwelling"].sum() > 1.2 * incident(0)


FORWARD = dict(layer_heights=[0, 1], num_photons=10)


@pytest.mark.parametrize("call, exc, message", [
    (lambda s: velm.simulate_forward_cpu(s, layer_heights=[1.0], num_photons=10), RuntimeError,
     "layer_heights must have at least 2 entries"),
    (lambda s: velm.simulate_forward_cpu(s, 1, 1), TypeError, None),  # layer_heights: no default
    *[(lambda s, kw=kw: velm.simulate_forward_cpu(s, **{**FORWARD, **kw}), ValueError, message)
      for kw, message in [(dict(num_bands=0), "num_bands"), (dict(nx=0), "nx and ny"),
                          (dict(prob_sun=1.5), "prob_sun"),
                          (dict(brf_directions=[0, 0, 1], num_brf_dirs=2), "brf_directions")]],
    (lambda s: velm.simulate_flux_cpu(s, 1, 1, 10, 0), ValueError, "num_bands"),
    (lambda s: velm.simulate_flux_cpu(velm.EmbreeSceneManager(), 1, 1, 10, 1), RuntimeError,
     r"build\(\)"),
])
def test_bad_arguments_are_refused(call, exc, message):
    # (and those every backend refuses alike: tests/test_bad_input.py)
    with pytest.raises(exc, match=message):
        call(plane())
