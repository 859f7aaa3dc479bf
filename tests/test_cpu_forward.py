"""Forward photon tracing and flux maps on the CPU, checked against closed energy budgets."""

import math

import numpy as np
import pytest

import velm_gpu as velm


def sun_dir(zenith_deg):
    t = math.radians(zenith_deg)
    return np.array([math.sin(t), 0.0, math.cos(t)], np.float32)


def plane(rho=0.3, zenith=30.0, sky=None, repeat=True, material=(0, 0), params=None, bands=1):
    """A 10 m x 10 m plane on the tile [0, 10]^2; sun irradiance 1000 W m^-2 per band."""
    s = velm.EmbreeSceneManager()
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


class TestEnergyBudget:
    def test_lambertian_plane_absorbs_one_minus_rho_and_reflects_rho(self):
        s = plane(rho=0.3, zenith=30)
        r = velm.simulate_forward_cpu(s, 4, 4, layer_heights=[-1, 1, 2], num_photons=100000,
                                      brf_directions=[[0, 0, 1], [0.5, 0, math.sqrt(0.75)]],
                                      num_brf_dirs=2)
        e = incident(30)
        assert r["grid"].shape == (2, 4, 4, 1)
        assert r["grid"].sum() == pytest.approx(0.7 * e, rel=1e-5)
        assert r["grid"][1].sum() == 0  # everything lands in the layer holding z = 0
        assert r["albedo"][0] == pytest.approx(0.3 * e, rel=1e-5)
        # BRF = pi * brf / (cos(view) * incident) = rho for a Lambertian surface
        cos_v = np.array([1.0, math.sqrt(0.75)])
        brf = math.pi * r["brf"][:, 0] / (cos_v * e)
        np.testing.assert_allclose(brf, 0.3, rtol=1e-5)
        # A uniform beam deposits evenly over the cells.
        np.testing.assert_allclose(r["grid"][0, :, :, 0], 0.7 * e / 16, rtol=0.03)

    def test_closed_budget_with_sky_and_canopy(self):
        """Absorbed (grid + terrain) plus escaped upwards equals the injected energy."""
        s = velm.EmbreeSceneManager()
        g = velm.make_ground_plane(5, 5)
        ball = velm.make_sphere(1.5, [0, 0, 0], 2)
        s.add_mesh(g["vertices"], g["normals"], g["indices"], 0)
        s.add_mesh(ball["vertices"], ball["normals"], ball["indices"], 1)
        ground = s.add_instance(0, 5, 5, 0)
        for x, y in [(2.5, 2.5), (7, 4), (4, 8)]:
            s.add_instance(1, x, y, 3.0)
        s.set_num_bands(2)
        s.upload_spectral_params(np.array([0.2, 0.3,             # soil
                                           0.1, 0.45, 0.05, 0.35, 0.05, 0.4,  # leaf f/b/t
                                           900, 600, 40, 20], np.float32))
        s.add_material(0, 0)
        s.add_material(13, 2, [0.5, 0.5])
        s.set_emitter(0, sun_dir(40), 8)
        s.set_sky(10)
        s.set_repetitive(5, 10.0, 10.0)
        s.build()
        r = velm.simulate_forward_cpu(s, 2, 2, layer_heights=[-1, 1, 3, 6], num_photons=200000,
                                      num_bands=2, per_leaf=True, brf_directions=[0, 0, 1],
                                      num_brf_dirs=1, prob_sun=0.6, terrain_instance_id=ground)
        injected = np.array([900 * math.cos(math.radians(40)) + math.pi * 40,
                             600 * math.cos(math.radians(40)) + math.pi * 20]) * 100
        total = r["grid"].sum(axis=(0, 1, 2)) + r["terrain"] + r["albedo"]
        # Energy lost only to roulette noise and the wrap limit.
        np.testing.assert_allclose(total, injected, rtol=0.02)
        leaves = r["leaf"]
        assert leaves.shape == (2 + 3 * 320, 2)
        assert not leaves[:2].any()  # the terrain instance never reaches the leaf tally
        np.testing.assert_allclose(leaves.sum(0), r["grid"].sum(axis=(0, 1, 2)), rtol=1e-5)

    def test_black_surfaces_absorb_everything_at_first_hit(self):
        s = plane(rho=0.0, zenith=20)
        r = velm.simulate_forward_cpu(s, layer_heights=[-1, 1], num_photons=20000,
                                      brf_directions=[0, 0, 1], num_brf_dirs=1)
        assert r["grid"].sum() == pytest.approx(incident(20), rel=1e-5)
        assert r["albedo"][0] == 0 and r["brf"][0, 0] == 0

    def test_sun_at_the_horizon_gives_nothing(self):
        s = plane(zenith=89.9)
        r = velm.simulate_forward_cpu(s, layer_heights=[-1, 1], num_photons=1000)
        assert not r["grid"].any()

    @pytest.mark.parametrize("prob_sun", [0.5, 1.0])
    def test_without_sky_every_photon_is_a_sun_photon(self, prob_sun):
        # prob_sun only splits photons between sun and sky; with no sky the sun gets them all and
        # the absorbed energy is the incident one, not scaled by 1 / prob_sun.
        s = plane(rho=0.0, zenith=0)
        r = velm.simulate_forward_cpu(s, layer_heights=[-1, 1], num_photons=10000, prob_sun=prob_sun)
        assert r["grid"].sum() == pytest.approx(incident(0), rel=1e-5)

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
    def test_downwelling_on_empty_plane_equals_incident(self):
        s = plane(rho=0.25, zenith=30)
        f = velm.simulate_flux_cpu(s, 2, 2, 50000, 1)
        assert list(f) == ["downwelling", "upwelling"]
        assert f["downwelling"].shape == (2, 2, 1)
        assert f["downwelling"].sum() == pytest.approx(incident(30), rel=1e-5)
        assert f["upwelling"].sum() == pytest.approx(0.25 * incident(30), rel=1e-5)

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

    def test_max_depth_override_notice(self, monkeypatch, capfd):
        s = plane()
        monkeypatch.setenv("VELM_MAX_DEPTH", "2")
        velm.simulate_flux_cpu(s, 1, 1, 100, 1)
        velm.simulate_forward_cpu(s, layer_heights=[0, 1], num_photons=100)
        out = capfd.readouterr().out
        assert "[CPU flux] VELM_MAX_DEPTH=2\n" in out and "[CPU fwd] VELM_MAX_DEPTH=2\n" in out
        assert "Forward flux (CPU): 100 photons, grid 1x1, 1 bands, max_bounces_record=0," in out


class TestDriverAndRefusals:
    def test_progress_after_every_batch(self):
        s = plane()
        calls = []
        velm.simulate_flux_cpu(s, 1, 1, 2_500_000, 1, max_depth=1,
                               progress=lambda *a: calls.append(a))
        assert [c[:2] for c in calls] == [(1_000_000, 2_500_000), (2_000_000, 2_500_000),
                                          (2_500_000, 2_500_000)]

    def test_progress_exception_stops(self):
        s = plane()

        def stop(*_):
            raise KeyboardInterrupt("stop")

        with pytest.raises(KeyboardInterrupt):
            velm.simulate_forward_cpu(s, layer_heights=[0, 1], num_photons=10, progress=stop)

    def test_layer_heights_checks(self):
        s = plane()
        with pytest.raises(RuntimeError, match="layer_heights must have at least 2 entries"):
            velm.simulate_forward_cpu(s, layer_heights=[1.0], num_photons=10)
        with pytest.raises(ValueError, match="strictly increasing"):
            velm.simulate_forward_cpu(s, layer_heights=[0, 2, 1], num_photons=10)
        with pytest.raises(TypeError):
            velm.simulate_forward_cpu(s, 1, 1)  # layer_heights has no default

    @pytest.mark.parametrize("kwargs, message", [
        (dict(num_bands=0), "num_bands"),
        (dict(num_photons=0), "num_photons"),
        (dict(nx=0), "nx and ny"),
        (dict(brf_directions=[0, 0, 1], num_brf_dirs=2), "brf_directions"),
        (dict(prob_sun=1.5), "prob_sun"),
    ])
    def test_forward_bad_arguments(self, kwargs, message):
        s = plane()
        args = dict(layer_heights=[0, 1], num_photons=10) | kwargs
        with pytest.raises(ValueError, match=message):
            velm.simulate_forward_cpu(s, **args)

    def test_flux_bad_arguments_and_unbuilt_scene(self):
        s = plane()
        with pytest.raises(ValueError, match="nx and ny"):
            velm.simulate_flux_cpu(s, 0, 1, 10, 1)
        with pytest.raises(ValueError, match="num_bands"):
            velm.simulate_flux_cpu(s, 1, 1, 10, 0)
        with pytest.raises(RuntimeError, match=r"build\(\)"):
            velm.simulate_flux_cpu(velm.EmbreeSceneManager(), 1, 1, 10, 1)
