"""Full-waveform and direct LiDAR on the CPU, checked against single-scattering closed forms.

A Lambertian surface of reflectance rho at range R, seen at incidence angle theta, returns the
energy E * A * rho * cos(theta) / (pi R^2) into a receiver of area A (the beam weights sum to
one). The raw waveform puts that energy into the bin of R; convolving with the unit-sum pulse
kernel spreads it over 2H + 1 bins without changing its sum, and the peak of an isolated return
is the energy times the kernel's centre tap. The point record's intensity is that peak.
"""

import math

import numpy as np
import pytest

import velm_gpu as velm

RES = 0.15  # default range resolution, m
DOWN, UP = np.array([[0, 0, -1]], np.float32), np.array([[0, 0, 1]], np.float32)


def kernel(fwhm_ns=4.0, res=RES):
    """The normalised Gaussian pulse kernel from the pulse width (c = 0.29979247 m/ns)."""
    f32 = np.float32
    sigma = f32(f32(fwhm_ns) * f32(0.29979247) * f32(0.5)) / f32(2 * math.sqrt(2 * math.log(2)))
    h = 1 + int(f32(3) * sigma / f32(res))
    taps = np.exp(-0.5 * ((np.arange(2 * h + 1) - h) * res) ** 2 / float(sigma) ** 2)
    return taps / taps.sum(), h


def beam_pattern(n):
    """Beam sample offsets and normalised weights, i-major, rows (u, v, weight); the central ray
    alone when the lattice leaves no point in the disk."""
    out = []
    for i in range(n + 1 if n else 0):
        for j in range(n + 1):
            u, v = np.float32(2 * j / n - 1), np.float32(2 * i / n - 1)
            r2 = float(u * u + v * v)
            if r2 <= 1.0001:
                out.append((float(u), float(v), math.exp(math.log(0.368) * r2)))
    a = np.array(out or [(0.0, 0.0, 1.0)]).reshape(-1, 3)
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
        s.add_instance(k) if xf is None else s.add_instance_xform(k, np.float32(xf))
    for typ, off in materials:
        s.add_material(typ, off, [])
    s.set_num_bands(bands)
    s.upload_spectral_params(np.asarray(params, np.float32))
    if build:
        s.build()
    return s


def ground(rho=0.5, half=30.0, tilt_deg=0.0):
    """A Lambertian plane through the origin, turned by tilt_deg about the x axis."""
    c, s = math.cos(math.radians(tilt_deg)), math.sin(math.radians(tilt_deg))
    xf = [1, 0, 0, 0, 0, c, -s, 0, 0, s, c, 0]
    return scene_of([(velm.make_ground_plane(half, half), 0, xf)], [(0, 0)], np.ravel(rho))


def at(z, x=0.37, y=0.21):
    # Off the ground plane's vertices and diagonal: a ray exactly along a shared edge may slip
    # between the two triangles.
    return np.array([[x, y, z]], np.float32)


def lidar(scene, origins, directions=DOWN, **kw):
    return velm.simulate_lidar_cpu(scene, origins, directions, len(origins), **kw)


def bin_centre(b, res=RES):
    return (b + 0.5) * res


@pytest.mark.parametrize(
    "tilt, rho, energy, area",
    [(0, [0.5], 1.0, 0.1), (0, [0.4], 2.5, 0.2), (30, [0.6], 3.0, 0.1),
     (0, [0.1, 0.25, 0.7], 1.0, 0.1)],  # wavelength w reads the reflectance at offset + w
)
def test_single_target(tilt, rho, energy, area):
    r_true = bin_centre(80)  # mid-bin, so that every beam ray lands in bin 80
    o = at(r_true, y=0.0)
    res = lidar(ground(rho, 10.0, tilt), o, pulse_energy=energy, sensor_area=area,
                num_wavelengths=len(rho))
    back = energy * area * np.array(rho) * math.cos(math.radians(tilt)) / (math.pi * r_true**2)
    wave = res["waveform"][0]
    assert res["waveform"].shape == (1, 667, len(rho))
    np.testing.assert_allclose(wave.sum(axis=0), back, rtol=2e-3 if tilt else 1e-5)
    assert res["num_returns"] == 1 and res["points"].shape == (1, 8)
    x, y, z, intensity, number, of, rng, pulse = res["points"][0]
    assert abs(rng - r_true) <= RES and (number, of, pulse) == (1, 1, 0)
    np.testing.assert_allclose([x, y, z], o[0] + DOWN[0] * rng, atol=1e-5)
    taps, h = kernel()
    assert wave.sum(axis=1).argmax() == 80
    np.testing.assert_allclose(intensity, wave[80].sum(), rtol=1e-6)
    np.testing.assert_allclose(intensity, back.sum() * taps[h], rtol=2e-3 if tilt else 1e-5)


def test_leaf_faces():
    # Leaf block for 2 bands: front (0.2, 0.3), back (0.6, 0.8), transmittance.
    sc = scene_of([(quad(-5, 5, -5, 5), 0, None)], [(13, 0)], [0.2, 0.3, 0.6, 0.8, 0.1, 0.1],
                  bands=2)
    r_true = bin_centre(40)
    scale = 0.1 / (math.pi * r_true**2)
    down = lidar(sc, at(r_true), num_wavelengths=2)
    up = lidar(sc, at(-r_true), UP, num_wavelengths=2)
    np.testing.assert_allclose(down["waveform"][0].sum(0), np.array([0.2, 0.3]) * scale, rtol=1e-5)
    np.testing.assert_allclose(up["waveform"][0].sum(0), np.array([0.6, 0.8]) * scale, rtol=1e-5)
    # direct mode reads the first value of the block, whichever face it hits
    direct = lidar(sc, at(-r_true), UP, direct_mode=True)
    np.testing.assert_allclose(direct["points"][0, 3], 0.2 * scale, rtol=1e-6)


def misaligned(a):
    """A copy of `a` whose data starts one byte past an aligned address (as an array unpickled
    in place from a byte stream may): numpy flags it as not aligned."""
    a = np.ascontiguousarray(a)
    raw = np.empty(a.nbytes + 1, np.uint8)
    out = raw[1:].view(a.dtype).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


@pytest.mark.parametrize("origins, directions, rtol", [
    (at(bin_centre(50)), DOWN * 3.0, 1e-6),
    # The sanitizer run halts on a misaligned float load: the module must copy such arrays.
    (misaligned(at(bin_centre(50))), misaligned(DOWN), 0),
    ([0.37, 0.21, bin_centre(50)], [0, 0, -1.0], 0),
    (np.array([[0.37, 0.21, bin_centre(50)], [1, 1, 1]]), np.array([[0, 0, -1.0], [0, 0, 1]]), 0),
], ids=["unnormalised direction", "misaligned", "flat triple", "float64 and an extra row"])
def test_equivalent_pulse_inputs_give_the_same_records(origins, directions, rtol):
    want = lidar(ground(), at(bin_centre(50)))
    got = velm.simulate_lidar_cpu(ground(), origins, directions, 1)
    for key in ("waveform", "points"):
        np.testing.assert_allclose(got[key], want[key], rtol=rtol, atol=0)


def test_direct_record_and_intensity():
    # Three pulses: a hit on a plane tilted by 20 degrees, one fired away from it, one that
    # misses it; the pulse shape (even an invalid one) plays no part.
    o = np.array([[0.37, 0, 7.0], [0.37, 0, 7.0], [100, 0, 7.0]], np.float32)
    d = np.array([[0, 0, -1], [0, 0, 1], [0, 0, -1]], np.float32)
    res = lidar(ground([0.35, 0.9, 0.9], 5.0, 20.0), o, d, direct_mode=True, num_wavelengths=3,
                pulse_energy=2.0, sensor_area=0.3, pulse_fwhm_ns=0.0)
    assert res["num_returns"] == 1
    x, y, z, intensity, number, of, rng, pulse = res["points"][0]
    assert (number, of, pulse) == (1, 1, 0)
    np.testing.assert_allclose([x, y, z, rng], [0.37, 0, 0, 7.0], atol=1e-5)
    # the first spectral value only, however many wavelengths
    expected = math.cos(math.radians(20)) * 0.35 * 2.0 * 0.3 / (math.pi * 49)
    np.testing.assert_allclose(intensity, expected, rtol=1e-6)
    assert res["waveform"].shape == (3, 667, 3) and not res["waveform"].any()


def test_direct_records_follow_pulse_order_and_window():
    n = 40
    o = np.c_[np.linspace(-20, 20, n), np.full(n, 0.21), np.linspace(1, 80, n)].astype(np.float32)
    res = lidar(ground(), o, np.repeat(DOWN, n, 0), direct_mode=True, max_range=50.0,
                min_range=3.0)
    keep = (o[:, 2] >= 3.0) & (o[:, 2] <= 50.0)
    np.testing.assert_array_equal(res["points"][:, 7], np.nonzero(keep)[0])
    np.testing.assert_allclose(res["points"][:, 6], o[keep, 2], rtol=1e-6)


def test_direct_mode_waveform_costs_no_memory():
    # 100,000 pulses x 100,000 bins would be 40 GB of zeros: the waveform is a read-only view.
    n = 100_000
    res = lidar(ground(), np.tile(at(5.0), (n, 1)), np.tile(DOWN, (n, 1)), direct_mode=True,
                range_resolution=0.001)
    w = res["waveform"]
    assert w.shape == (n, 100_000, 1) and w.dtype == np.float32 and w.strides == (0, 0, 0)
    assert not w.flags.writeable and not w[::997, ::991].any()
    assert res["num_returns"] == n


def two_layers(rho_plate, rho_ground, plate_z=30.0):
    # A plate over x <= 0.38 (the beam's half u <= 0 around x = 0.37) above a ground.
    return scene_of([(quad(-50, 0.38, -50, 50, plate_z), 0, None),
                     (velm.make_ground_plane(60, 60), 1, None)],
                    [(0, 0), (0, 1)], [rho_plate, rho_ground])


WIDE = dict(beam_half_angle_rad=0.01)
ABOVE = at(bin_centre(267))  # 40.125 m above the ground, 10.125 m above the plate


@pytest.mark.parametrize("max_returns", [5, 1, 0])
def test_two_targets_give_returns_in_range_order(max_returns):
    beam = beam_pattern(10)
    f_plate = beam[beam[:, 0] <= 0, 2].sum()  # build_frame maps u onto world x here
    r1, r2 = bin_centre(67), bin_centre(267)
    taps, h = kernel()
    s1 = f_plate * 0.1 * 0.02 / (math.pi * r1**2) * taps[h]
    s2 = (1 - f_plate) * 0.1 * 0.9 / (math.pi * r2**2) * taps[h]
    assert s2 > s1  # the far return is the brighter one: the nearest are kept all the same
    res = lidar(two_layers(0.02, 0.9), ABOVE, max_returns_per_pulse=max_returns, **WIDE)
    pts = res["points"]
    assert res["num_returns"] == min(max_returns, 2) and res["waveform"].any()
    expected = np.array([[s1, 1, 2, r1], [s2, 2, 2, r2]])[:max_returns]
    expected[:, 2] = len(expected)
    np.testing.assert_allclose(pts[:, 3:7], expected, rtol=1e-3, atol=1e-4)
    np.testing.assert_allclose(pts[:, 2], ABOVE[0, 2] - pts[:, 6], atol=1e-4)


def test_surfaces_closer_than_the_pulse_merge():
    # 0.3 m apart: less than two kernel sigmas (~0.51 m), so one peak.
    assert lidar(two_layers(0.5, 0.5, plate_z=0.3), ABOVE, **WIDE)["num_returns"] == 1


def test_threshold_is_strict():
    peak = float(lidar(ground(), at(bin_centre(66)))["points"][0, 3])
    below = float(np.nextafter(np.float32(peak), np.float32(0)))
    assert lidar(ground(), at(bin_centre(66)), peak_threshold=below)["num_returns"] == 1
    assert lidar(ground(), at(bin_centre(66)), peak_threshold=peak)["num_returns"] == 0


@pytest.mark.parametrize("origins, directions, kw, pulses", [
    (at(60.0), DOWN, dict(max_range=50.0), 1), (at(2.0), DOWN, dict(min_range=3.0), 1),
    (at(10.0), UP, {}, 1), (np.zeros((0, 3)), np.zeros((0, 3)), {}, 0)],
    ids=["beyond max_range", "before min_range", "nothing in the way", "no pulses"])
def test_no_returns(origins, directions, kw, pulses):
    res = velm.simulate_lidar_cpu(ground(), origins, directions, pulses, **kw)
    assert list(res) == ["waveform", "points", "num_bins", "num_returns"]
    assert res["points"].shape == (0, 8) and res["points"].dtype == np.float32
    assert res["num_returns"] == 0 and not res["waveform"].any()
    assert res["waveform"].shape == (pulses, res["num_bins"], 1)


def test_min_range_offsets_bins_and_ranges():
    r_true = 5.0 + bin_centre(30)
    res = lidar(ground(), at(r_true), min_range=5.0, max_range=50.0)
    assert res["num_bins"] == int(np.float32(45.0) / np.float32(RES)) + 1
    assert res["waveform"][0, :, 0].argmax() == 30
    np.testing.assert_allclose(res["points"][0, 6], r_true, atol=1e-5)


@pytest.mark.parametrize(
    "fwhm, res, max_range, b, bins, taps",
    [(4.0, 0.15, 100.0, 100, 667, 13), (2.0, 0.3, 50.0, 50, 167, 5)],  # the defaults first
)
def test_bins_and_pulse_kernel(fwhm, res, max_range, b, bins, taps):
    out = lidar(ground(), at(bin_centre(b, res)), range_resolution=res, max_range=max_range,
                pulse_fwhm_ns=fwhm)
    assert out["num_bins"] == bins and out["waveform"].shape == (1, bins, 1)
    assert out["waveform"].dtype == np.float32
    k, h = kernel(fwhm, res)
    assert len(k) == taps
    wave = out["waveform"][0, :, 0].astype(np.float64)
    np.testing.assert_array_equal(np.nonzero(wave)[0], np.arange(b - h, b + h + 1))
    np.testing.assert_allclose(wave[b - h : b + h + 1] / wave.sum(), k, rtol=1e-5)


@pytest.mark.parametrize("n, count", [(10, 81), (4, 13), (2, 5), (1, 1), (0, 1), (None, 1)])
def test_beam_samples_and_log_line(n, count, capfd, monkeypatch):
    """n = None: direct mode, one ray per pulse. A lattice with no point in the beam's disk
    (n = 1) and no lattice (n = 0) leave the central ray."""
    monkeypatch.setenv("VELM_NUM_THREADS", "2")
    pulses = 1 if n else 4
    res = lidar(ground(), np.repeat(at(bin_centre(60)), pulses, 0), np.repeat(DOWN, pulses, 0),
                beam_samples_per_dim=10 if n is None else n, direct_mode=n is None)
    mode = "direct" if n is None else "waveform"
    assert capfd.readouterr().out == \
        f"LiDAR (CPU): {pulses} pulses, {count} beam samples, {mode} mode, 2 threads\n"
    if n is not None:
        assert len(beam_pattern(n)) == count
        assert res["waveform"].any() == (count > 0)
    assert res["num_returns"] == (pulses if count else 0)


def unbuilt():
    return scene_of([(velm.make_ground_plane(), 0, None)], [(0, 0)], [0.5], build=False)


def stray_material():
    return scene_of([(velm.make_ground_plane(), 0, None), (quad(0, 1, 0, 1, 50), 3, None)],
                    [(0, 0)], [0.5])


def cleared():
    s = ground()
    s.clear_for_reuse()
    return s


O1, Z3 = at(10.0), np.zeros((1, 3))


@pytest.mark.parametrize(
    "make, args, kw, exc, match",
    [
        (ground, (Z3, np.zeros((2, 3)) + DOWN, 2), {}, ValueError, "pulse_origins holds 1 rows"),
        (ground, (np.zeros((2, 3)), DOWN, 2), {}, ValueError, "pulse_directions holds 1 rows"),
        (ground, (np.zeros((2, 2)), np.zeros((2, 3)), 1), {}, ValueError,
         r"pulse_origins must have shape \(N, 3\)"),
        (ground, (np.zeros((2, 3)), np.zeros(4), 1), {}, ValueError,
         r"pulse_directions must have shape \(N, 3\)"),
        (ground, (Z3, Z3, 1), {}, ValueError, "pulse_directions row 0 is not a finite non-zero"),
        (ground, ([[0, 0, np.nan]], DOWN, 1), {}, ValueError, "pulse_origins row 0 is not finite"),
        (ground, (Z3, DOWN, -1), {}, ValueError, "num_pulses must not be negative"),
        *[(ground, (O1, DOWN, 1), kw, ValueError, match) for kw, match in [
            (dict(beam_samples_per_dim=-1), "beam_samples_per_dim must be between 0"),
            (dict(beam_samples_per_dim=100000), "beam_samples_per_dim must be between 0"),
            (dict(range_resolution=0.0), "range_resolution must be a positive"),
            (dict(range_resolution=-0.1), "range_resolution must be a positive"),
            (dict(range_resolution=math.nan), "range_resolution must be a positive"),
            (dict(min_range=10.0, max_range=5.0), "must not be below min_range"),
            (dict(max_range=math.inf), "must be finite"),
            (dict(range_resolution=1e-9), "too many bins"),
            (dict(num_wavelengths=0), "num_wavelengths must be at least 1"),
            (dict(max_returns_per_pulse=-1), "max_returns_per_pulse must not be negative"),
            (dict(pulse_fwhm_ns=0.0), "pulse_fwhm_ns must be a positive"),
            (dict(pulse_fwhm_ns=1e9), "pulse_fwhm_ns is too wide"),
            (dict(beam_half_angle_rad=-0.1), "beam_half_angle_rad must lie in"),
            (dict(beam_half_angle_rad=2.0), "beam_half_angle_rad must lie in"),
        ]],
        (unbuilt, (O1, DOWN, 1), {}, RuntimeError, r"build\(\)"),
        (stray_material, (O1, DOWN, 1), {}, ValueError,
         "mesh 1 uses material 3, but the scene has 1"),
        (stray_material, (O1, DOWN, 1), dict(direct_mode=True), ValueError,
         "mesh 1 uses material 3, but the scene has 1"),
        (cleared, (O1, DOWN, 1), {}, ValueError, "mesh 0 uses material 0, but the scene has 0"),
    ],
)
def test_refused_before_any_work(make, args, kw, exc, match, capfd):
    with pytest.raises(exc, match=match):
        velm.simulate_lidar_cpu(make(), *args, **kw)
    assert capfd.readouterr().out == ""  # not even the log line


@pytest.mark.parametrize("materials, params, bands, nw, direct, ok", [
    ([(0, 5)], [0.5] * 3, 1, 1, False, False),   # offset past the buffer
    ([(0, 0)], [0.5] * 2, 1, 3, False, False),   # wavelengths past the buffer
    ([(0, 0)], [0.5] * 2, 1, 3, True, True),     # direct mode reads only p[offset]
    ([(0, 2)], [0.5] * 2, 1, 1, True, False),
    ([(13, 0)], [0.5] * 3, 2, 2, False, False),  # leaf back block needs offset + 2 + 1
    ([(13, 0)], [0.5] * 4, 2, 2, False, True),
])
def test_spectral_range_checked_before_tracing(materials, params, bands, nw, direct, ok, capfd):
    sc = scene_of([(velm.make_ground_plane(), 0, None)], materials, params, bands=bands)
    if ok:
        assert lidar(sc, O1, num_wavelengths=nw, direct_mode=direct)["num_returns"] == 1
        return
    with pytest.raises(ValueError, match="material 0 reads spectral parameters"):
        lidar(sc, O1, num_wavelengths=nw, direct_mode=direct)
    assert capfd.readouterr().out == ""


def test_results_identical_for_any_worker_count(monkeypatch):
    s = velm.EmbreeSceneManager()
    for mesh, mat in ((velm.make_ground_plane(20, 20, max_tri_edge=4.0), 0),
                      (velm.make_sphere(1.5, np.zeros(3, np.float32), 2), 1)):
        s.add_mesh(mesh["vertices"], mesh["normals"], mesh["indices"], mat)
    s.add_instance(0)
    rng = np.random.default_rng(7)
    for x, y in rng.uniform(-15, 15, (25, 2)):  # a canopy of spherical crowns
        z, scale = rng.uniform(2, 8), rng.uniform(0.5, 1.5)
        s.add_instance(1, float(x), float(y), float(z), float(scale))
    s.add_material(0, 0, [])
    s.add_material(13, 2, [0.5, 0.5])
    s.set_num_bands(2)
    s.upload_spectral_params(np.array([0.2, 0.3, 0.4, 0.45, 0.1, 0.15, 0.3, 0.3], np.float32))
    s.build()
    rng = np.random.default_rng(3)
    n = 300
    o = np.c_[rng.uniform(-18, 18, (n, 2)), np.full(n, 30.0)].astype(np.float32)
    d = np.c_[rng.normal(0, 0.15, (n, 2)), -np.ones(n)]
    d = (d / np.linalg.norm(d, axis=1, keepdims=True)).astype(np.float32)
    runs = []
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("VELM_NUM_THREADS", threads)
        runs.append((lidar(s, o, d, num_wavelengths=2, beam_half_angle_rad=0.02,
                           beam_samples_per_dim=6, max_range=60.0),
                     lidar(s, o, d, direct_mode=True)))
    wave, direct = runs[0]
    assert wave["num_returns"] > n and direct["num_returns"] > n // 2  # many canopy returns
    assert (wave["points"][:, 5] > 1).any()  # and some multi-return pulses
    assert np.all(np.diff(wave["points"][:, 7]) >= 0)  # pulse by pulse
    for w, dr in runs[1:]:
        for key in ("waveform", "points"):
            assert w[key].tobytes() == wave[key].tobytes()
            assert dr[key].tobytes() == direct[key].tobytes()
