"""Full-waveform and direct LiDAR on the CPU, checked against single-scattering closed forms.

A Lambertian surface of reflectance rho at range R, seen at incidence angle theta, returns the
energy E * A * rho * cos(theta) / (pi R^2) into a receiver of area A (the beam weights sum to
one). The raw waveform puts that energy into the bin of R; convolving with the unit-sum pulse
kernel spreads it over 2H + 1 bins without changing its sum, and the peak of an isolated return
is the energy times the kernel's centre tap. The point record's intensity is that peak.
"""

import math
import re

import numpy as np
import pytest

import velm_gpu as velm

C_LIGHT = 0.29979247  # m/ns
RES = 0.15


def kernel(fwhm_ns=4.0, res=RES):
    """The normalised Gaussian pulse kernel, from the pulse width in range."""
    f32 = np.float32
    sigma = f32(f32(fwhm_ns) * f32(C_LIGHT) * f32(0.5)) / f32(2 * math.sqrt(2 * math.log(2)))
    h = 1 + int(f32(3) * sigma / f32(res))
    k = np.arange(2 * h + 1) - h
    taps = np.exp(-0.5 * (k * res) ** 2 / float(sigma) ** 2)
    return taps / taps.sum(), h


def beam_pattern(n):
    """Beam sample offsets and normalised weights, i-major."""
    out = []
    for i in range(n + 1):
        for j in range(n + 1):
            u, v = np.float32(2 * j / n - 1), np.float32(2 * i / n - 1)
            r2 = float(u * u + v * v)
            if r2 <= 1.0001:
                out.append((float(u), float(v), math.exp(math.log(0.368) * r2)))
    a = np.array(out).reshape(-1, 3)
    if len(a):
        a[:, 2] /= a[:, 2].sum()
    return a


def quad(x0, x1, y0, y1, z=0.0):
    v = np.array([[x0, y0, z], [x1, y0, z], [x1, y1, z], [x0, y1, z]], np.float32)
    return {"vertices": v, "normals": np.tile([0, 0, 1], (4, 1)).astype(np.float32),
            "indices": np.array([[0, 1, 2], [0, 2, 3]], np.int32)}


def scene_of(parts, materials, params, bands=1, build=True):
    """parts: (mesh dict, material id, 12-float transform or None); materials: (type, offset)."""
    s = velm.EmbreeSceneManager()
    for k, (mesh, mat, xf) in enumerate(parts):
        s.add_mesh(mesh["vertices"], mesh["normals"], mesh["indices"], mat)
        if xf is None:
            s.add_instance(k)
        else:
            s.add_instance_xform(k, np.asarray(xf, np.float32))
    for typ, off in materials:
        s.add_material(typ, off, [])
    s.set_num_bands(bands)
    s.upload_spectral_params(np.asarray(params, np.float32))
    if build:
        s.build()
    return s


def ground(rho=0.5, half=30.0):
    return scene_of([(velm.make_ground_plane(half, half), 0, None)], [(0, 0)], [rho])


def nadir(x=0.37, y=0.21, z=10.0):
    # Off the ground plane's vertices and edges: a ray exactly along a shared edge may slip
    # between the two triangles.
    return np.array([[x, y, z]], np.float32), np.array([[0, 0, -1]], np.float32)


def lidar(scene, origins, directions, n=None, **kw):
    n = len(origins) if n is None else n
    return velm.simulate_lidar_cpu(scene, origins, directions, n, **kw)


def bin_centre(b, res=RES, min_range=0.0):
    return (b + 0.5) * res + min_range


class TestSingleTarget:
    @pytest.mark.parametrize("energy,area,rho", [(1.0, 0.1, 0.5), (2.5, 0.2, 0.4)])
    def test_flat_target_one_return_with_lambertian_energy(self, energy, area, rho):
        r_true = bin_centre(80)  # 12.075 m, mid-bin so every beam ray lands in bin 80
        o, d = nadir(z=r_true)
        res = lidar(ground(rho), o, d, pulse_energy=energy, sensor_area=area)
        assert res["num_returns"] == 1 and res["points"].shape == (1, 8)
        x, y, z, inten, num, of, rng, pulse = res["points"][0]
        assert abs(rng - r_true) <= RES and (num, of, pulse) == (1, 1, 0)
        np.testing.assert_allclose([x, y, z], [0.37, 0.21, r_true - rng], atol=1e-5)

        energy_back = energy * area * rho / (math.pi * r_true ** 2)
        wave = res["waveform"][0, :, 0]
        np.testing.assert_allclose(wave.sum(), energy_back, rtol=1e-5)
        taps, h = kernel()
        np.testing.assert_allclose(inten, energy_back * taps[h], rtol=1e-5)
        assert wave.argmax() == 80 and inten == wave[80]

    def test_tilted_target_scales_with_cosine(self):
        a = math.radians(30)
        c, s = math.cos(a), math.sin(a)
        xf = [1, 0, 0, 0, 0, c, -s, 0, 0, s, c, 0]
        sc = scene_of([(velm.make_ground_plane(5, 5), 0, xf)], [(0, 0)], [0.6])
        r_true = bin_centre(80)
        res = lidar(sc, *nadir(y=0.0, z=r_true), pulse_energy=3.0)
        expected = 3.0 * 0.1 * 0.6 * c / (math.pi * r_true ** 2)
        np.testing.assert_allclose(res["waveform"].sum(), expected, rtol=2e-3)
        assert res["num_returns"] == 1 and abs(res["points"][0, 6] - r_true) <= RES

    def test_wavelengths_read_consecutive_reflectances(self):
        rhos = [0.1, 0.25, 0.7]
        sc = scene_of([(velm.make_ground_plane(10, 10), 0, None)], [(0, 0)], rhos)
        r_true = bin_centre(60)
        res = lidar(sc, *nadir(z=r_true), num_wavelengths=3)
        w = res["waveform"]
        assert w.shape == (1, 667, 3)
        e = np.array(rhos) * 0.1 / (math.pi * r_true ** 2)
        np.testing.assert_allclose(w[0].sum(axis=0), e, rtol=1e-5)
        taps, h = kernel()
        np.testing.assert_allclose(res["points"][0, 3], e.sum() * taps[h], rtol=1e-5)

    def test_leaf_back_face_reads_back_reflectance(self):
        # Leaf block for 2 bands: front (0.2, 0.3), back (0.6, 0.8), transmittance.
        params = [0.2, 0.3, 0.6, 0.8, 0.1, 0.1]
        sc = scene_of([(quad(-5, 5, -5, 5, 0.0), 0, None)], [(13, 0)], params, bands=2)
        r_true = bin_centre(40)
        down = lidar(sc, *nadir(z=r_true), num_wavelengths=2)
        up = lidar(sc, np.array([[0.37, 0.21, -r_true]], np.float32),
                   np.array([[0, 0, 1]], np.float32), num_wavelengths=2)
        scale = 0.1 / (math.pi * r_true ** 2)
        np.testing.assert_allclose(down["waveform"][0].sum(0), np.array([0.2, 0.3]) * scale,
                                   rtol=1e-5)
        np.testing.assert_allclose(up["waveform"][0].sum(0), np.array([0.6, 0.8]) * scale,
                                   rtol=1e-5)

    def test_unnormalised_direction_behaves_like_unit(self):
        o, d = nadir(z=bin_centre(50))
        a = lidar(ground(), o, d)
        b = lidar(ground(), o, d * 3.0)
        np.testing.assert_allclose(b["waveform"], a["waveform"], rtol=1e-6)
        np.testing.assert_allclose(b["points"], a["points"], rtol=1e-6)


class TestDirectMode:
    def test_direct_record_and_intensity(self):
        a = math.radians(20)
        c, s = math.cos(a), math.sin(a)
        xf = [1, 0, 0, 0, 0, c, -s, 0, 0, s, c, 0]
        # First spectral value only, even with several wavelengths.
        sc = scene_of([(velm.make_ground_plane(5, 5), 0, xf)], [(0, 0)], [0.35, 0.9, 0.9])
        o = np.array([[0.37, 0, 7.0], [0.37, 0, 7.0], [100, 0, 7.0]], np.float32)
        d = np.array([[0, 0, -1], [0, 0, 1], [0, 0, -1]], np.float32)
        res = lidar(sc, o, d, direct_mode=True, num_wavelengths=3, pulse_energy=2.0,
                    sensor_area=0.3)
        assert res["num_returns"] == 1
        x, y, z, inten, num, of, rng, pulse = res["points"][0]
        assert (num, of, pulse) == (1, 1, 0)
        np.testing.assert_allclose([x, y, z, rng], [0.37, 0, 0, 7.0], atol=1e-5)
        np.testing.assert_allclose(inten, c * 0.35 * 2.0 * 0.3 / (math.pi * 49), rtol=1e-6)
        assert res["waveform"].shape == (3, 667, 3) and not res["waveform"].any()

    def test_direct_leaf_back_face_uses_first_value(self):
        sc = scene_of([(quad(-5, 5, -5, 5), 0, None)], [(13, 0)], [0.2, 0.6, 0.1], bands=1)
        res = lidar(sc, np.array([[0.37, 0.21, -5]], np.float32), np.array([[0, 0, 1]], np.float32),
                    direct_mode=True)
        np.testing.assert_allclose(res["points"][0, 3], 0.2 * 0.1 / (math.pi * 25), rtol=1e-6)

    def test_direct_records_follow_pulse_order_and_window(self):
        n = 40
        o = np.zeros((n, 3), np.float32)
        o[:, 0] = np.linspace(-20, 20, n)
        o[:, 1] = 0.21
        o[:, 2] = np.linspace(1, 80, n)  # some beyond max_range=50
        d = np.tile([0, 0, -1], (n, 1)).astype(np.float32)
        res = lidar(ground(), o, d, direct_mode=True, max_range=50.0, min_range=3.0)
        pts = res["points"]
        keep = (o[:, 2] >= 3.0) & (o[:, 2] <= 50.0)
        np.testing.assert_array_equal(pts[:, 7], np.nonzero(keep)[0])
        np.testing.assert_allclose(pts[:, 6], o[keep, 2], rtol=1e-6)


def two_layer_scene(rho_plate, rho_ground, plate_z=30.0):
    # Plate over x <= 0.38 (the beam's left half, u <= 0, around x = 0.37) and ground below.
    return scene_of([(quad(-50, 0.38, -50, 50, plate_z), 0, None),
                     (velm.make_ground_plane(60, 60), 1, None)],
                    [(0, 0), (0, 1)], [rho_plate, rho_ground])


class TestReturns:
    ORIGIN = np.array([[0.37, 0.21, bin_centre(267)]], np.float32)  # 40.125 m above the ground
    DOWN = np.array([[0, 0, -1]], np.float32)
    KW = dict(beam_half_angle_rad=0.01)

    def expected(self, rho_plate, rho_ground):
        beam = beam_pattern(10)
        f_plate = beam[beam[:, 0] <= 0, 2].sum()  # build_frame maps u onto world x here
        r1, r2 = bin_centre(67), bin_centre(267)
        taps, h = kernel()
        e1 = f_plate * 0.1 * rho_plate / (math.pi * r1 ** 2)
        e2 = (1 - f_plate) * 0.1 * rho_ground / (math.pi * r2 ** 2)
        return (r1, e1 * taps[h]), (r2, e2 * taps[h])

    def test_two_targets_give_two_returns_in_range_order(self):
        res = lidar(two_layer_scene(0.3, 0.5), self.ORIGIN, self.DOWN, **self.KW)
        pts = res["points"]
        assert res["num_returns"] == 2
        np.testing.assert_array_equal(pts[:, 4:6], [[1, 2], [2, 2]])
        (r1, s1), (r2, s2) = self.expected(0.3, 0.5)
        np.testing.assert_allclose(pts[:, 6], [r1, r2], atol=1e-4)
        np.testing.assert_allclose(pts[:, 3], [s1, s2], rtol=1e-3)
        np.testing.assert_allclose(pts[:, 2], self.ORIGIN[0, 2] - pts[:, 6], atol=1e-4)

    def test_max_returns_keeps_nearest_not_strongest(self):
        (_, s1), (_, s2) = self.expected(0.02, 0.9)
        assert s2 > s1  # the far return is the brighter one
        res = lidar(two_layer_scene(0.02, 0.9), self.ORIGIN, self.DOWN, max_returns_per_pulse=1,
                    **self.KW)
        assert res["num_returns"] == 1
        np.testing.assert_allclose(res["points"][0, 3:7], [s1, 1, 1, bin_centre(67)], rtol=1e-3)
        none = lidar(two_layer_scene(0.02, 0.9), self.ORIGIN, self.DOWN,
                     max_returns_per_pulse=0, **self.KW)
        assert none["points"].shape == (0, 8) and none["waveform"].any()

    def test_surfaces_closer_than_pulse_width_merge(self):
        # 0.3 m apart: less than two kernel sigmas (~0.51 m), so one peak.
        sc = two_layer_scene(0.5, 0.5, plate_z=0.3)
        res = lidar(sc, self.ORIGIN, self.DOWN, **self.KW)
        assert res["num_returns"] == 1

    def test_threshold_is_strict(self):
        res = lidar(ground(), *nadir(z=bin_centre(66)))
        peak = float(res["points"][0, 3])
        below = lidar(ground(), *nadir(z=bin_centre(66)),
                      peak_threshold=float(np.nextafter(np.float32(peak), np.float32(0))))
        at = lidar(ground(), *nadir(z=bin_centre(66)), peak_threshold=peak)
        assert below["num_returns"] == 1 and at["num_returns"] == 0

    @pytest.mark.parametrize("z,kw", [(60.0, dict(max_range=50.0)),
                                      (2.0, dict(min_range=3.0))])
    def test_targets_outside_range_window_give_nothing(self, z, kw):
        res = lidar(ground(), *nadir(z=z), **kw)
        assert res["num_returns"] == 0 and not res["waveform"].any()

    def test_min_range_offsets_bins_and_ranges(self):
        r_true = 5.0 + bin_centre(30)
        res = lidar(ground(), *nadir(z=r_true), min_range=5.0, max_range=50.0)
        assert res["num_bins"] == int(np.float32(45.0) / np.float32(RES)) + 1
        assert res["waveform"][0, :, 0].argmax() == 30
        np.testing.assert_allclose(res["points"][0, 6], r_true, atol=1e-5)

    def test_no_return(self):
        res = lidar(ground(), np.array([[0, 0, 10]], np.float32),
                    np.array([[0, 0, 1]], np.float32))
        assert res["points"].shape == (0, 8) and res["points"].dtype == np.float32
        assert res["num_returns"] == 0 and not res["waveform"].any()
        assert list(res) == ["waveform", "points", "num_bins", "num_returns"]


class TestBinsKernelAndBeam:
    def test_defaults_give_667_bins_and_13_tap_kernel(self):
        res = lidar(ground(), *nadir(z=bin_centre(100)))
        assert res["num_bins"] == 667 and res["waveform"].shape == (1, 667, 1)
        assert res["waveform"].dtype == np.float32
        wave = res["waveform"][0, :, 0].astype(np.float64)
        nz = np.nonzero(wave)[0]
        np.testing.assert_array_equal(nz, np.arange(94, 107))  # 13 taps around bin 100
        taps, h = kernel()
        assert h == 6
        np.testing.assert_allclose(wave[nz] / wave.sum(), taps, rtol=1e-5)

    def test_kernel_follows_resolution_and_pulse_width(self):
        res = lidar(ground(), *nadir(z=bin_centre(50, 0.3)), range_resolution=0.3,
                    max_range=50.0, pulse_fwhm_ns=2.0)
        taps, h = kernel(2.0, 0.3)
        assert res["num_bins"] == 167 and len(taps) == 2 * h + 1 == 5
        wave = res["waveform"][0, :, 0].astype(np.float64)
        np.testing.assert_allclose(wave[50 - h:51 + h] / wave.sum(), taps, rtol=1e-5)
        assert np.count_nonzero(wave) == len(taps)

    def test_edge_of_window_is_not_renormalised(self):
        res = lidar(ground(), *nadir(z=bin_centre(1)))
        taps, h = kernel()
        energy = 0.1 * 0.5 / (math.pi * bin_centre(1) ** 2)
        # Bins -5 .. -1 fall off the window; their share is lost.
        np.testing.assert_allclose(res["waveform"].sum(), energy * taps[h - 1:].sum(), rtol=1e-5)

    @pytest.mark.parametrize("n,count", [(10, 81), (2, 5), (1, 0), (4, 13)])
    def test_beam_sample_counts(self, n, count, capfd, monkeypatch):
        monkeypatch.setenv("VELM_NUM_THREADS", "2")
        assert len(beam_pattern(n)) == count
        res = lidar(ground(), *nadir(z=bin_centre(60)), beam_samples_per_dim=n)
        out = capfd.readouterr().out
        assert out == f"LiDAR (CPU): 1 pulses, {count} beam samples, waveform mode, 2 threads\n"
        assert res["waveform"].any() == (count > 0)
        assert res["num_returns"] == (1 if count else 0)

    def test_direct_mode_log_line(self, capfd, monkeypatch):
        monkeypatch.setenv("VELM_NUM_THREADS", "3")
        o, d = nadir()
        lidar(ground(), np.repeat(o, 4, 0), np.repeat(d, 4, 0), direct_mode=True)
        assert capfd.readouterr().out == \
            "LiDAR (CPU): 4 pulses, 1 beam samples, direct mode, 3 threads\n"

    def test_zero_pulses(self):
        res = velm.simulate_lidar_cpu(ground(), np.zeros((0, 3)), np.zeros((0, 3)), 0)
        assert res["waveform"].shape == (0, 667, 1) and res["points"].shape == (0, 8)
        assert res["num_returns"] == 0

    def test_input_forms(self):
        # A flat triple, float64 input and extra rows beyond num_pulses are all accepted.
        ref = lidar(ground(), *nadir(z=bin_centre(40)))
        flat = velm.simulate_lidar_cpu(ground(), [0.37, 0.21, bin_centre(40)], [0, 0, -1.0], 1)
        extra = velm.simulate_lidar_cpu(ground(),
                                        np.array([[0.37, 0.21, bin_centre(40)], [1, 1, 1]]),
                                        np.array([[0, 0, -1.0], [0, 0, 1]]), 1)
        for r in (flat, extra):
            np.testing.assert_array_equal(r["waveform"], ref["waveform"])
            np.testing.assert_array_equal(r["points"], ref["points"])


class TestSignature:
    def test_argument_order_and_defaults(self):
        sig = velm.simulate_lidar_cpu.__doc__.splitlines()[0]
        names = re.findall(r"(\w+): ", sig)
        assert names == ["scene", "pulse_origins", "pulse_directions", "num_pulses",
                         "beam_half_angle_rad", "beam_samples_per_dim", "pulse_energy",
                         "sensor_area", "range_resolution", "min_range", "max_range",
                         "num_wavelengths", "pulse_fwhm_ns", "peak_threshold",
                         "max_returns_per_pulse", "direct_mode"]
        defaults = dict(re.findall(r"(\w+): [^=,]*(?:\|[^=,]*)* = ([^,)]+)", sig))
        assert defaults == {
            "beam_half_angle_rad": "0.0005000000237487257", "beam_samples_per_dim": "10",
            "pulse_energy": "1.0", "sensor_area": "0.10000000149011612",
            "range_resolution": "0.15000000596046448", "min_range": "0.0", "max_range": "100.0",
            "num_wavelengths": "1", "pulse_fwhm_ns": "4.0",
            "peak_threshold": "9.99999993922529e-09", "max_returns_per_pulse": "5",
            "direct_mode": "False"}
        assert sig.endswith("-> dict")


class TestBadInput:
    O1, D1 = nadir()

    @pytest.mark.parametrize("origins,directions,n,match", [
        (np.zeros((1, 3)), np.zeros((2, 3)) + [0, 0, -1], 2, "pulse_origins holds 1 rows"),
        (np.zeros((2, 3)), np.zeros((1, 3)) + [0, 0, -1], 2, "pulse_directions holds 1 rows"),
        (np.zeros((2, 2)), np.zeros((2, 3)), 1, r"pulse_origins must have shape \(N, 3\)"),
        (np.zeros((2, 3)), np.zeros(4), 1, r"pulse_directions must have shape \(N, 3\)"),
        (np.zeros((1, 3)), np.zeros((1, 3)), 1, "pulse_directions row 0 is not a finite non-zero"),
        ([[0, 0, np.nan]], [[0, 0, -1]], 1, "pulse_origins row 0 is not finite"),
        (np.zeros((1, 3)), [[0, 0, -1]], -1, "num_pulses must not be negative"),
    ])
    def test_pulse_arrays(self, origins, directions, n, match, capfd):
        with pytest.raises(ValueError, match=match):
            velm.simulate_lidar_cpu(ground(), origins, directions, n)
        assert capfd.readouterr().out == ""  # rejected before any work

    @pytest.mark.parametrize("kw,match", [
        (dict(beam_samples_per_dim=0), "beam_samples_per_dim must be between 1"),
        (dict(beam_samples_per_dim=100000), "beam_samples_per_dim must be between 1"),
        (dict(range_resolution=0.0), "range_resolution must be a positive"),
        (dict(range_resolution=-0.1), "range_resolution must be a positive"),
        (dict(range_resolution=float("nan")), "range_resolution must be a positive"),
        (dict(min_range=10.0, max_range=5.0), "must not be below min_range"),
        (dict(max_range=float("inf")), "must be finite"),
        (dict(range_resolution=1e-9), "too many bins"),
        (dict(num_wavelengths=0), "num_wavelengths must be at least 1"),
        (dict(max_returns_per_pulse=-1), "max_returns_per_pulse must not be negative"),
        (dict(pulse_fwhm_ns=0.0), "pulse_fwhm_ns must be a positive"),
        (dict(pulse_fwhm_ns=1e9), "pulse_fwhm_ns is too wide"),
        (dict(beam_half_angle_rad=-0.1), "beam_half_angle_rad must lie in"),
        (dict(beam_half_angle_rad=2.0), "beam_half_angle_rad must lie in"),
    ])
    def test_settings(self, kw, match, capfd):
        with pytest.raises(ValueError, match=match):
            velm.simulate_lidar_cpu(ground(), self.O1, self.D1, 1, **kw)
        assert capfd.readouterr().out == ""

    def test_direct_mode_ignores_pulse_shape(self):
        res = velm.simulate_lidar_cpu(ground(), self.O1, self.D1, 1, pulse_fwhm_ns=0.0,
                                      direct_mode=True)
        assert res["num_returns"] == 1

    def test_unbuilt_scene(self, capfd):
        sc = scene_of([(velm.make_ground_plane(), 0, None)], [(0, 0)], [0.5], build=False)
        with pytest.raises(RuntimeError, match=r"build\(\)"):
            velm.simulate_lidar_cpu(sc, self.O1, self.D1, 1)
        assert capfd.readouterr().out == ""

    def test_material_outside_list(self):
        sc = scene_of([(velm.make_ground_plane(), 0, None), (quad(0, 1, 0, 1, 50), 3, None)],
                      [(0, 0)], [0.5])
        for direct in (False, True):
            with pytest.raises(ValueError, match="mesh 1 uses material 3, but the scene has 1"):
                velm.simulate_lidar_cpu(sc, self.O1, self.D1, 1, direct_mode=direct)

    @pytest.mark.parametrize("materials,params,bands,nw,direct,ok", [
        ([(0, 5)], [0.5] * 3, 1, 1, False, False),   # offset past the buffer
        ([(0, 0)], [0.5] * 2, 1, 3, False, False),   # wavelengths past the buffer
        ([(0, 0)], [0.5] * 2, 1, 3, True, True),     # direct mode reads only p[offset]
        ([(0, 2)], [0.5] * 2, 1, 1, True, False),
        ([(13, 0)], [0.5] * 3, 2, 2, False, False),  # leaf back block needs offset + 2 + 1
        ([(13, 0)], [0.5] * 4, 2, 2, False, True),
    ])
    def test_spectral_range_checked_before_tracing(self, materials, params, bands, nw, direct,
                                                   ok, capfd):
        sc = scene_of([(velm.make_ground_plane(), 0, None)], materials, params, bands=bands)
        call = lambda: velm.simulate_lidar_cpu(sc, self.O1, self.D1, 1, num_wavelengths=nw,  # noqa
                                               direct_mode=direct)
        if ok:
            assert call()["num_returns"] == 1
        else:
            with pytest.raises(ValueError, match="material 0 reads spectral parameters"):
                call()
            assert capfd.readouterr().out == ""

    def test_cleared_materials_are_rejected(self):
        sc = ground()
        sc.clear_for_reuse()
        with pytest.raises(ValueError, match="mesh 0 uses material 0, but the scene has 0"):
            velm.simulate_lidar_cpu(sc, self.O1, self.D1, 1)


def forest_scene():
    s = velm.EmbreeSceneManager()
    g = velm.make_ground_plane(20, 20, max_tri_edge=4.0)
    s.add_mesh(g["vertices"], g["normals"], g["indices"], 0)
    sph = velm.make_sphere(1.5, np.zeros(3, np.float32), 2)
    s.add_mesh(sph["vertices"], sph["normals"], sph["indices"], 1)
    s.add_instance(0)
    rng = np.random.default_rng(7)
    for x, y in rng.uniform(-15, 15, (25, 2)):
        s.add_instance(1, float(x), float(y), float(rng.uniform(2, 8)),
                       float(rng.uniform(0.5, 1.5)))
    s.add_material(0, 0, [])
    s.add_material(13, 2, [0.5, 0.5])
    s.set_num_bands(2)
    s.upload_spectral_params(np.array([0.2, 0.3, 0.4, 0.45, 0.1, 0.15, 0.3, 0.3], np.float32))
    s.build()
    return s


def test_results_identical_for_any_worker_count(monkeypatch):
    sc = forest_scene()
    rng = np.random.default_rng(3)
    n = 300
    o = np.column_stack([rng.uniform(-18, 18, (n, 2)), np.full(n, 30.0)]).astype(np.float32)
    d = np.column_stack([rng.normal(0, 0.15, (n, 2)), -np.ones(n)])
    d = (d / np.linalg.norm(d, axis=1, keepdims=True)).astype(np.float32)
    runs = []
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("VELM_NUM_THREADS", threads)
        wave = lidar(sc, o, d, num_wavelengths=2, beam_half_angle_rad=0.02,
                     beam_samples_per_dim=6, max_range=60.0)
        direct = lidar(sc, o, d, direct_mode=True)
        runs.append((wave, direct))
    ref_w, ref_d = runs[0]
    assert ref_w["num_returns"] > n and ref_d["num_returns"] > n // 2  # many canopy returns
    assert (ref_w["points"][:, 5] > 1).any()  # and some multi-return pulses
    assert np.all(np.diff(ref_w["points"][:, 7]) >= 0)  # pulse by pulse
    for wave, direct in runs[1:]:
        for key in ("waveform", "points"):
            assert wave[key].tobytes() == ref_w[key].tobytes()
            assert direct[key].tobytes() == ref_d[key].tobytes()
