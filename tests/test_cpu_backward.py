"""Backward image simulation on the CPU, checked against closed-form radiances."""

import math
import os

import numpy as np
import pytest

import velm_gpu as velm

NADIR_CAM = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 20, 0, 0, 0, 1], np.float32)
INV_PI = 1 / math.pi


def plane_scene(params, material=(0, 0), scalars=(), bands=2, half=10.0, sun=(0.0, 0.0, 1.0),
                sun_offset=0, sky=None, sensor=(0, 16, 16, 8.0, 8.0, NADIR_CAM)):
    s = velm.EmbreeSceneManager()
    g = velm.make_ground_plane(half, half)
    s.add_mesh(g["vertices"], g["normals"], g["indices"])
    s.add_instance(0)
    s.set_num_bands(bands)
    s.upload_spectral_params(np.asarray(params, np.float32))
    s.add_material(material[0], material[1], list(scalars))
    s.set_emitter(0, np.asarray(sun, np.float32), sun_offset)
    if sky is not None:
        s.set_sky(sky)
    s.set_sensor(*sensor)
    s.build()
    return s


def sun_dir(zenith_deg, azimuth_deg=0.0):
    t, p = math.radians(zenith_deg), math.radians(azimuth_deg)
    return (math.sin(t) * math.cos(p), math.sin(t) * math.sin(p), math.cos(t))


class TestLambertianPlane:
    def test_sun_only_radiance_is_rho_e_cos_over_pi(self):
        rho, e = (0.3, 0.6), (1000.0, 400.0)
        s = plane_scene([*rho, *e], sun=sun_dir(30), sun_offset=2)
        img = velm.simulate_cpu(s, spp=4)
        assert img.shape == (16, 16, 2) and img.dtype == np.float32
        expected = [r * ee * math.cos(math.radians(30)) * INV_PI for r, ee in zip(rho, e)]
        np.testing.assert_allclose(img.reshape(-1, 2).mean(0), expected, rtol=1e-5)
        np.testing.assert_allclose(img.reshape(-1, 2).std(0), 0, atol=1e-3)

    def test_constant_sky_alone_gives_rho_times_sky(self):
        s = plane_scene([0.3, 0.6, 0, 0, 100, 50], sun_offset=2, sky=4)
        img = velm.simulate_cpu(s, spp=2)
        np.testing.assert_allclose(img.reshape(-1, 2).mean(0), [30.0, 30.0], rtol=1e-5)

    def test_rpv_with_neutral_shape_matches_lambertian(self):
        lam = plane_scene([0.25, 0.25, 800, 800], sun=sun_dir(40), sun_offset=2)
        # RPV block: rho0, k, Theta, rho_c for each of two bands, then the sun.
        rpv = plane_scene([0.25, 0.25, 1, 1, 0, 0, 1, 1, 800, 800], material=(1, 0),
                          sun=sun_dir(40), sun_offset=8)
        np.testing.assert_allclose(velm.simulate_cpu(rpv, spp=4), velm.simulate_cpu(lam, spp=4),
                                   rtol=1e-5)

    def test_max_depth_zero_gives_black_image(self):
        s = plane_scene([0.3, 0.6, 1000, 400], sun_offset=2)
        assert not velm.simulate_cpu(s, spp=1, max_depth=0).any()


class TestLeafSlab:
    """A single horizontal leaf: reflects by its front or back spectrum, transmits by tau."""

    PARAMS = [0.4, 0.2, 0.3, 1000.0]  # front, back, transmittance (one band), sun irradiance

    def render(self, sun_z, cam_up):
        cam = NADIR_CAM.copy()
        if cam_up:  # looking up from below: camera z axis points down, so -z looks up
            cam = np.array([1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, -20, 0, 0, 0, 1], np.float32)
        s = plane_scene(self.PARAMS, material=(13, 0), scalars=[0.5, 0.5], bands=1,
                        sun=(0.0, 0.0, sun_z), sun_offset=3, sensor=(0, 8, 8, 4.0, 4.0, cam))
        return float(velm.simulate_cpu(s, spp=2).mean())

    def test_front_reflection(self):
        assert self.render(1.0, cam_up=False) == pytest.approx(0.4 * 1000 * INV_PI, rel=1e-5)

    def test_back_reflection(self):
        assert self.render(-1.0, cam_up=True) == pytest.approx(0.2 * 1000 * INV_PI, rel=1e-5)

    def test_transmission_both_ways(self):
        assert self.render(-1.0, cam_up=False) == pytest.approx(0.3 * 1000 * INV_PI, rel=1e-5)
        assert self.render(1.0, cam_up=True) == pytest.approx(0.3 * 1000 * INV_PI, rel=1e-5)


class TestThermal:
    def test_emission_follows_planck_and_emissivity(self):
        s = plane_scene([0.9], scalars=[0, 0, 300.0], bands=1)
        s.set_thermal_mode(True, [10000.0])
        img = velm.simulate_cpu(s, spp=2)
        # 300 K at 10 um: 9.924e-3 W m^-2 sr^-1 nm^-1 for a blackbody.
        np.testing.assert_allclose(img, 0.9 * 9.924e-3, rtol=2e-3)

    def test_sunlit_and_shaded_temperatures(self):
        s = velm.EmbreeSceneManager()
        g = velm.make_ground_plane(10, 10)
        s.add_mesh(g["vertices"], g["normals"], g["indices"], material_id=0)
        roof = velm.make_ground_plane(10, 2.5)
        s.add_mesh(roof["vertices"], roof["normals"], roof["indices"], material_id=1)
        s.add_instance(0)
        s.add_instance(1, 0, -5, 5)  # a strip over y in [-7.5, -2.5]: casts a shadow below
        s.set_num_bands(1)
        s.upload_spectral_params(np.array([1.0, 0.0], np.float32))
        s.add_material(0, 0, [0, 0, 0, 310.0, 290.0])  # ground: sunlit 310 K, shaded 290 K
        s.add_material(0, 1, [0, 0, 0.0])               # roof: emissivity 0, emits nothing
        s.set_emitter(0, np.array([0, 0, 1], np.float32), 0)
        s.set_thermal_mode(True, [10000.0])
        # Orthographic camera below the roof, looking down at the ground only.
        cam = NADIR_CAM.copy()
        cam[11] = 1.0
        s.set_sensor(0, 20, 20, 20.0, 20.0, cam)
        s.build()
        img = velm.simulate_cpu(s, spp=1, max_depth=1)[:, :, 0]
        shaded = img[3:7, :].mean()   # image rows for y in about [-7, -3]
        sunlit = img[12:18, :].mean()
        from_planck = lambda t: 1.1910429723971884e-16 / (  # noqa: E731
            (math.exp(0.014387768775039337 / (t * 1e-5)) - 1) * 1e-25) * 1e-9
        assert sunlit == pytest.approx(from_planck(310.0), rel=1e-4)
        assert shaded == pytest.approx(from_planck(290.0), rel=1e-4)

    def test_too_few_wavelengths_is_refused(self):
        s = plane_scene([0.9, 0.9], scalars=[0, 0, 300.0], bands=2)
        s.set_thermal_mode(True, [10000.0])
        with pytest.raises(ValueError, match="one wavelength per band"):
            velm.simulate_cpu(s, spp=1)


class TestSensors:
    def test_camera_looking_at_the_sun_sees_the_disk(self):
        cam = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 50, 0, 0, 0, 1], np.float32)
        # Perspective camera at z = 50 looking up (-z axis mapped to +z by a flip of y and z).
        cam = np.array([1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 50, 0, 0, 0, 1], np.float32)
        s = plane_scene([0.3, 0.3, 1000, 1000, 5, 5], sun_offset=2, sky=4,
                        sensor=(1, 9, 9, 0, 0, cam, 0.01))
        img = velm.simulate_cpu(s, spp=1)
        np.testing.assert_allclose(img[4, 4], 1000 / 6.794e-5, rtol=1e-5)

    def test_fisheye_corners_stay_black(self):
        cam = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 5, 0, 0, 0, 1], np.float32)
        s = plane_scene([0.3, 0.3, 1000, 1000, 5, 5], sun_offset=2, sky=4,
                        sensor=(4, 32, 32, 0, 0, cam, 180.0, 0))
        img = velm.simulate_cpu(s, spp=1)
        assert not img[0, 0].any() and not img[-1, -1].any()
        assert img[16, 16].min() > 0

    def test_unset_sensor_gives_empty_image(self):
        s = velm.EmbreeSceneManager()
        g = velm.make_ground_plane()
        s.add_mesh(g["vertices"], g["normals"], g["indices"])
        s.add_instance(0)
        s.upload_spectral_params([0.5, 1.0])
        s.add_material(0, 0)
        s.build()
        assert velm.simulate_cpu(s, spp=1).shape == (0, 0, 1)


class TestRepeatingScene:
    def build(self, tiled):
        s = velm.EmbreeSceneManager()
        g = velm.make_ground_plane(5, 5)
        s.add_mesh(g["vertices"], g["normals"], g["indices"], material_id=0)
        ball = velm.make_sphere(2.0, [0, 0, 0], 2)
        s.add_mesh(ball["vertices"], ball["normals"], ball["indices"], material_id=1)
        offsets = [(i, j) for i in range(-2, 3) for j in range(-2, 3)] if tiled else [(0, 0)]
        for i, j in offsets:
            s.add_instance(0, 5 + 10 * i, 5 + 10 * j, 0)
            s.add_instance(1, 3 + 10 * i, 5 + 10 * j, 2.5)
        s.set_num_bands(1)
        s.upload_spectral_params(np.array([0.2, 0.5, 1000.0, 30.0], np.float32))
        s.add_material(0, 0)
        s.add_material(0, 1)
        s.set_emitter(0, np.asarray(sun_dir(50, 20), np.float32), 2)
        s.set_sky(3)
        cam = np.array([1, 0, 0, 5, 0, 1, 0, 5, 0, 0, 1, 30, 0, 0, 0, 1], np.float32)
        s.set_sensor(0, 12, 12, 10.0, 10.0, cam)
        if not tiled:
            s.set_repetitive(2, 10.0, 10.0)
        s.build()
        return s

    def test_repetition_matches_explicit_tiles(self):
        rep = velm.simulate_cpu(self.build(tiled=False), spp=48)
        tiled = velm.simulate_cpu(self.build(tiled=True), spp=48)
        # Same light field in expectation; compare pixel blocks and the mean.
        assert rep.mean() == pytest.approx(tiled.mean(), rel=0.02)
        blocks = lambda im: im.reshape(4, 3, 4, 3).mean(axis=(1, 3))  # noqa: E731
        np.testing.assert_allclose(blocks(rep), blocks(tiled), rtol=0.1, atol=2.0)


class TestDriver:
    def test_bit_identical_for_any_worker_count(self, monkeypatch):
        s = TestRepeatingScene().build(tiled=False)
        monkeypatch.setenv("VELM_NUM_THREADS", "1")
        one = velm.simulate_cpu(s, spp=3)
        monkeypatch.setenv("VELM_NUM_THREADS", "2")
        two = velm.simulate_cpu(s, spp=3)
        monkeypatch.setenv("VELM_NUM_THREADS", "5")
        five = velm.simulate_cpu(s, spp=3)
        assert one.tobytes() == two.tobytes() == five.tobytes()

    def test_max_depth_environment_override(self, monkeypatch, capfd):
        s = plane_scene([0.3, 0.6, 1000, 400], sun_offset=2)
        monkeypatch.setenv("VELM_MAX_DEPTH", "1")
        velm.simulate_cpu(s, spp=1, max_depth=9)
        assert "[CPU bwd] VELM_MAX_DEPTH=1\n" in capfd.readouterr().out
        for ignored in ("0", "-3", "abc"):
            monkeypatch.setenv("VELM_MAX_DEPTH", ignored)
            velm.simulate_cpu(s, spp=1)
            assert "VELM_MAX_DEPTH" not in capfd.readouterr().out

    def test_progress_reports_every_pass(self):
        s = plane_scene([0.3, 0.6, 1000, 400], sun_offset=2)
        calls = []
        velm.simulate_cpu(s, spp=5, progress=lambda done, total, ms: calls.append((done, total, ms)))
        assert [c[:2] for c in calls] == [(i, 5) for i in range(1, 6)]
        assert all(isinstance(c[2], float) and c[2] >= 0 for c in calls)
        assert [c[2] for c in calls] == sorted(c[2] for c in calls)

    @pytest.mark.parametrize("exc", [RuntimeError, KeyboardInterrupt])
    def test_raising_progress_stops_the_render(self, exc):
        s = plane_scene([0.3, 0.6, 1000, 400], sun_offset=2)
        calls = []

        def progress(done, total, ms):
            calls.append(done)
            raise exc("stop")

        with pytest.raises(exc, match="stop"):
            velm.simulate_cpu(s, spp=10, progress=progress)
        assert calls == [1]


class TestRefusals:
    def test_unbuilt_scene(self):
        s = velm.EmbreeSceneManager()
        with pytest.raises(RuntimeError, match=r"build\(\)"):
            velm.simulate_cpu(s)

    def test_spp_below_one(self):
        s = plane_scene([0.3, 0.6, 1000, 400], sun_offset=2)
        with pytest.raises(ValueError, match="spp"):
            velm.simulate_cpu(s, spp=0)

    def test_unknown_material_type_is_a_black_absorber(self):
        s = plane_scene([0.3, 0.6, 1000, 400], material=(7, 0), sun_offset=2)
        assert not velm.simulate_cpu(s, spp=1).any()
