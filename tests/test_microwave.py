"""Microwave soil and trunk models: the four _evaluate_microwave_* module functions.

The physics is checked against closed forms written independently here (Fresnel through
Snell's law with complex angles, the published polynomial table, the dielectric mixing models,
the dielectric-cylinder series with scipy.special Bessel functions in double precision).
"""

import math

import numpy as np
import pytest
import scipy.special as sp

import velm_gpu as v

C_LIGHT = 2.998e8


def f32(x):
    return float(np.float32(x))


def soil_vector(sand=0.3, clay=0.2, mv=0.25, h=0.0, nv=0.0, nh=0.0, q=0.0, ts=295.0, td=290.0,
                model=1.0, s=0.01, extra=0.04):
    return np.array([sand, clay, mv, h, nv, nh, q, ts, td, model, s, extra], np.float32)


def trunk_vector(radius=0.15, length=8.0, moisture=0.5, temperature=293.0, axis=(0.0, 0.0, 1.0)):
    return np.array([radius, length, moisture, temperature, *axis], np.float32)


COSINES = np.linspace(0.02, 1.0, 50).astype(np.float32)


# ----------------------------------------------------------------------------------------------
# Independent reference models (double precision)

def fresnel_snell(mu, eps):
    """Fresnel power reflectivities from air onto a medium of complex permittivity eps
    (eps = eps' - j eps''), via Snell's law with a complex refraction angle."""
    n2 = np.sqrt(complex(eps))
    sin_i = math.sqrt(max(0.0, 1.0 - mu * mu))
    cos_t = np.sqrt(1.0 - (sin_i / n2) ** 2)
    if (n2 * cos_t).real < 0:  # the transmitted wave must decay into the medium
        cos_t = -cos_t
    r_s = (mu - n2 * cos_t) / (mu + n2 * cos_t)
    r_p = (n2 * mu - cos_t) / (n2 * mu + cos_t)
    return abs(r_s) ** 2, abs(r_p) ** 2


HALLIKAINEN_GHZ = [1.4, 4, 6, 8, 10, 12, 14, 16, 18]
HALLIKAINEN_REAL = [
    [2.862, -0.012, 0.001, 3.803, 0.462, -0.341, 119.006, -0.500, 0.633],
    [2.927, -0.012, -0.001, 5.505, 0.371, 0.062, 114.826, -0.389, -0.547],
    [1.993, 0.002, 0.015, 38.086, -0.176, -0.633, 10.720, 1.256, 1.522],
    [1.997, 0.002, 0.018, 25.579, -0.170, -0.412, 39.793, 0.723, 0.941],
    [2.502, -0.003, -0.003, 10.101, 0.221, -0.004, 77.482, -0.061, -0.135],
    [2.200, -0.001, 0.012, 26.473, 0.013, -0.523, 34.333, 0.284, 1.062],
    [2.301, 0.001, 0.009, 17.918, 0.084, -0.282, 50.149, 0.012, 0.387],
    [2.237, 0.002, 0.009, 15.505, 0.076, -0.217, 48.260, 0.168, 0.289],
    [1.912, 0.007, 0.021, 29.123, -0.190, -0.545, 6.960, 0.822, 1.195],
]
HALLIKAINEN_LOSS = [
    [0.356, -0.003, -0.008, 5.507, 0.044, -0.002, 17.753, -0.313, 0.206],
    [0.004, 0.001, 0.002, 0.951, 0.005, -0.010, 16.759, 0.192, 0.290],
    [-0.123, 0.002, 0.003, 7.502, -0.058, -0.116, 2.942, 0.452, 0.543],
    [-0.201, 0.003, 0.003, 11.266, -0.085, -0.155, 0.194, 0.584, 0.581],
    [-0.070, 0.000, 0.001, 6.620, 0.015, -0.081, 21.578, 0.293, 0.332],
    [-0.142, 0.001, 0.003, 11.868, -0.059, -0.225, 7.817, 0.570, 0.801],
    [-0.096, 0.001, 0.002, 8.583, -0.005, -0.153, 28.707, 0.297, 0.357],
    [-0.027, -0.001, 0.003, 6.179, 0.074, -0.086, 34.126, 0.143, 0.206],
    [-0.071, 0.000, 0.003, 6.938, 0.029, -0.128, 29.945, 0.275, 0.377],
]


def hallikainen_row(row, sand, clay, mv):
    a0, a1, a2, b0, b1, b2, c0, c1, c2 = row
    s, c = 100 * sand, 100 * clay
    return (a0 + a1 * s + a2 * c) + (b0 + b1 * s + b2 * c) * mv + (c0 + c1 * s + c2 * c) * mv**2


def hallikainen_eps(f_hz, sand, clay, mv):
    """Empirical polynomial model, linear in frequency between the published rows."""
    g = f_hz / 1e9
    nodes = HALLIKAINEN_GHZ
    if g >= nodes[-1]:
        rows = (HALLIKAINEN_REAL[-1], HALLIKAINEN_LOSS[-1])
    else:
        i = 0 if g <= nodes[0] else max(k for k in range(8) if nodes[k] < g)
        w = (g - nodes[i]) / (nodes[i + 1] - nodes[i])
        rows = tuple([lo + (hi - lo) * w for lo, hi in zip(t[i], t[i + 1])]
                     for t in (HALLIKAINEN_REAL, HALLIKAINEN_LOSS))
    re = hallikainen_row(rows[0], sand, clay, mv)
    loss = max(0.0, hallikainen_row(rows[1], sand, clay, mv))
    return complex(re, -loss)


def water_relaxation(t):
    return 1.1109e-10 - 3.824e-12 * t + 6.938e-14 * t**2 - 5.096e-16 * t**3


def semi_empirical_eps(f, sand, clay, mv, temperature, rho_b=1.28):
    """Dobson-Peplinski type mixing model (alpha = 0.65) with the free-water Debye terms."""
    alpha = 0.65
    t = temperature - 273.15
    b = 2.282e-5 * 0.65 * t + 1 - 0.00049646996 - 3.2785997e-6 + 3.034606e-9
    x = water_relaxation(t) * b * f
    a = 1.613e-5 * 0.65 * t + 1 - 0.0023764 + 1.35622495e-5 - 1.16221294e-7
    e_static = (87.134 - 0.1949 * t - 0.01276 * t**2 + 0.0002491 * t**3) * a
    delta = e_static - 4.9
    fw_re = 4.9 + delta / (1 + x * x)
    fw_loss = delta * x / (1 + x * x)
    beta_re = 1.275 - 0.519 * sand - 0.152 * clay
    beta_loss = 1.338 - 0.603 * sand - 0.166 * clay
    sigma = max(0.0, 1.939 * rho_b - 1.645 - 2.256 * sand + 1.594 * clay)
    dry = (4.692144**alpha - 1) * rho_b / 2.66 + 1
    if mv <= 0:
        return complex(dry ** (1 / alpha), 0.0)
    re = (mv**beta_re * (fw_re**alpha - 1) + dry - mv) ** (1 / alpha)
    cond = sigma * (2.66 - rho_b) / (2 * math.pi * f * 8.854e-12 * 2.66 * mv)
    loss = ((cond + fw_loss) ** alpha * mv**beta_loss) ** (1 / alpha)
    return complex(re, -loss)


def clay_mixing_eps(f, clay, mv):
    w = 2 * math.pi * f
    nd = 1.634 - 0.539 * clay + 0.2748 * clay**2
    kd = 0.03952 - 0.04038 * clay
    mt = 0.02863 + 0.30673 * clay
    db = 79.8 - 85.4 * clay + 32.7 * clay**2 - 4.9
    tb = 1.062e-11 + 3.45e-12 * clay
    sb = 0.3112 + 0.467 * clay
    eb = complex(4.9 + db / (1 + (w * tb) ** 2),
                 -(db * w * tb / (1 + (w * tb) ** 2) + sb / (w * 8.854e-12)))
    tu = 8.837e-12
    eu = complex(4.9 + 95.1 / (1 + (w * tu) ** 2), -(95.1 * w * tu / (1 + (w * tu) ** 2)))
    nb, nu = np.sqrt(eb), np.sqrt(eu)  # n - jk
    if mv <= mt:
        n = nd + (nb.real - 1) * mv
        k = kd - nb.imag * mv
    else:
        n = nd + (nb.real - 1) * mt + (nu.real - 1) * (mv - mt)
        k = kd - nb.imag * mt - nu.imag * (mv - mt)
    return complex(n * n - k * k, -2 * n * k)


def vegetation_eps(f, moisture, temperature):
    vol = 0.5 * moisture
    vb, vf = min(vol, 0.12), max(vol - 0.12, 0.0)
    t = temperature - 273.15
    w = 2 * math.pi * f
    yf = water_relaxation(t) * w
    dw = 88.045 - 0.4147 * t + 0.0006295 * t**2 + 1.075e-5 * t**3 - 4.9
    yb = w * 4e-11
    re = 1.5 + vb * (4.9 + 52.8 / (1 + yb * yb) - 1.5) + vf * (4.9 + dw / (1 + yf * yf) - 1)
    loss = vf * dw * yf / (1 + yf * yf) + vb * 52.8 * yb / (1 + yb * yb)
    return complex(re, -loss)


def effective_temperature(ts, td, mv):
    return td + (ts - td) * min(min(max(mv, 0.0) / 0.3, 10.0) ** 0.3, 1.0)


def fresnel_rows(cosines, eps):
    return np.array([fresnel_snell(max(abs(float(c)), 0.001), eps) for c in cosines])


# ----------------------------------------------------------------------------------------------
# Fresnel reflectivities (through the smooth-surface function and the empirical model, whose
# permittivity is a polynomial we can evaluate exactly here)

# At 6 GHz a sand- and clay-free dry soil has eps' = 1.993 and a negative polynomial loss, which
# the model clamps to zero: a real permittivity. At 8 GHz with mv = 0.015 likewise (eps' ~ 2.38).
REAL_CASES = [(6e9, 0.0), (8e9, 0.015)]
LOSSY_CASES = [(1.4e9, 0.05), (1.4e9, 0.35), (5e9, 0.2), (10e9, 0.3), (16e9, 0.12)]


@pytest.mark.parametrize("freq,mv", REAL_CASES + LOSSY_CASES)
def test_fresnel_matches_snell_closed_form(freq, mv):
    p = soil_vector(sand=0.0, clay=0.0, mv=mv, model=2.0)
    eps = hallikainen_eps(f32(freq), 0.0, 0.0, f32(mv))
    if (freq, mv) in REAL_CASES:
        assert eps.imag == 0.0
    else:
        assert eps.imag < -0.1
    got = v._evaluate_microwave_soil_reflectivity(freq, p, COSINES, allow_hallikainen=True)
    np.testing.assert_allclose(got, fresnel_rows(COSINES, eps), rtol=2e-5, atol=1e-7)


@pytest.mark.parametrize("freq,mv", REAL_CASES + LOSSY_CASES)
def test_normal_incidence_has_no_polarisation(freq, mv):
    p = soil_vector(sand=0.1, clay=0.3, mv=mv, model=2.0)
    rh, rv = v._evaluate_microwave_soil_reflectivity(freq, p, [1.0], allow_hallikainen=True)[0]
    assert rh == pytest.approx(rv, rel=1e-6)
    n = np.sqrt(hallikainen_eps(f32(freq), f32(0.1), f32(0.3), f32(mv)))
    assert rh == pytest.approx(abs((1 - n) / (1 + n)) ** 2, rel=2e-5)


@pytest.mark.parametrize("freq,mv", REAL_CASES)
def test_brewster_dip_of_vertical_reflectivity(freq, mv):
    eps = hallikainen_eps(f32(freq), 0.0, 0.0, f32(mv)).real
    theta_b = math.atan(math.sqrt(eps))
    theta = np.linspace(0.0, 1.5, 3001)
    cosines = np.cos(theta).astype(np.float32)
    p = soil_vector(sand=0.0, clay=0.0, mv=mv, model=2.0)
    r = v._evaluate_microwave_soil_reflectivity(freq, p, cosines, allow_hallikainen=True)
    i = int(np.argmin(r[:, 1]))
    assert theta[i] == pytest.approx(theta_b, abs=1e-3)
    assert r[i, 1] < 1e-6  # a real permittivity transmits all vertical power at Brewster's angle
    assert np.all(r[:, 0] > r[:, 1] - 1e-7)  # R_H >= R_V everywhere
    assert np.all(np.diff(r[:, 0]) >= -1e-7)  # R_H grows monotonically towards grazing
    # A lossy soil only has a shallow minimum that does not reach zero.
    lossy = v._evaluate_microwave_soil_reflectivity(1.4e9, soil_vector(mv=0.3, model=2.0),
                                                   cosines, allow_hallikainen=True)
    assert lossy[:, 1].min() > 1e-3


# ----------------------------------------------------------------------------------------------
# Dielectric models seen through the smooth reflectivity

@pytest.mark.parametrize("ghz", HALLIKAINEN_GHZ[:-1])
def test_empirical_model_reproduces_table_rows_at_nodes(ghz):
    freq = ghz * 1e9
    assert f32(freq) / 1e9 == pytest.approx(ghz, rel=1e-7)
    i = HALLIKAINEN_GHZ.index(ghz)
    for sand, clay, mv in [(0.2, 0.3, 0.25), (0.6, 0.1, 0.05), (0.05, 0.5, 0.4)]:
        p = soil_vector(sand=sand, clay=clay, mv=mv, model=2.0)
        s, c, m = f32(sand), f32(clay), f32(mv)
        eps = complex(hallikainen_row(HALLIKAINEN_REAL[i], s, c, m),
                      -max(0.0, hallikainen_row(HALLIKAINEN_LOSS[i], s, c, m)))
        got = v._evaluate_microwave_soil_reflectivity(freq, p, COSINES, allow_hallikainen=True)
        np.testing.assert_allclose(got, fresnel_rows(COSINES, eps), rtol=2e-5, atol=1e-7)


def test_empirical_model_interpolates_linearly_between_nodes():
    p = soil_vector(sand=0.3, clay=0.2, mv=0.2, model=2.0)
    for freq in [2.7e9, 5e9, 7.3e9, 11e9, 13.9e9, 17e9]:
        eps = hallikainen_eps(f32(freq), f32(0.3), f32(0.2), f32(0.2))
        got = v._evaluate_microwave_soil_reflectivity(freq, p, COSINES, allow_hallikainen=True)
        np.testing.assert_allclose(got, fresnel_rows(COSINES, eps), rtol=2e-5, atol=1e-7)


def test_empirical_model_extrapolates_below_and_clamps_above():
    p = soil_vector(sand=0.3, clay=0.2, mv=0.2, model=2.0)
    # 0.7 GHz extends the 1.4-4 GHz interval (negative weight).
    w = (0.7 - 1.4) / (4.0 - 1.4)
    rows = [[lo + (hi - lo) * w for lo, hi in zip(t[0], t[1])]
            for t in (HALLIKAINEN_REAL, HALLIKAINEN_LOSS)]
    s, c, m = f32(0.3), f32(0.2), f32(0.2)
    eps = complex(hallikainen_row(rows[0], s, c, m), -max(0.0, hallikainen_row(rows[1], s, c, m)))
    got = v._evaluate_microwave_soil_reflectivity(0.7e9, p, COSINES, allow_hallikainen=True)
    np.testing.assert_allclose(got, fresnel_rows(COSINES, eps), rtol=2e-5, atol=1e-7)
    # Above 18 GHz the 18 GHz row is used unchanged.
    eps18 = complex(hallikainen_row(HALLIKAINEN_REAL[-1], s, c, m),
                    -max(0.0, hallikainen_row(HALLIKAINEN_LOSS[-1], s, c, m)))
    at25 = v._evaluate_microwave_soil_reflectivity(25e9, p, COSINES, allow_hallikainen=True)
    np.testing.assert_allclose(at25, fresnel_rows(COSINES, eps18), rtol=2e-5, atol=1e-7)
    at40 = v._evaluate_microwave_soil_reflectivity(40e9, p, COSINES, allow_hallikainen=True)
    np.testing.assert_array_equal(at25, at40)


def test_empirical_model_needs_permission_in_the_reflectivity_function():
    # Selector 2.9 truncates to 2. Without allow_hallikainen the semi-empirical model is used,
    # with the surface temperature.
    p = soil_vector(sand=0.3, clay=0.2, mv=0.2, ts=300.0, td=280.0, model=2.9)
    got = v._evaluate_microwave_soil_reflectivity(5e9, p, COSINES)
    eps = semi_empirical_eps(f32(5e9), f32(0.3), f32(0.2), f32(0.2), 300.0)
    np.testing.assert_allclose(got, fresnel_rows(COSINES, eps), rtol=5e-5, atol=1e-7)
    allowed = v._evaluate_microwave_soil_reflectivity(5e9, p, COSINES, allow_hallikainen=True)
    eps_c = hallikainen_eps(f32(5e9), f32(0.3), f32(0.2), f32(0.2))
    np.testing.assert_allclose(allowed, fresnel_rows(COSINES, eps_c), rtol=2e-5, atol=1e-7)


@pytest.mark.parametrize("sand,clay,mv,temp,freq", [
    (0.3, 0.2, 0.25, 295.0, 1.4e9), (0.1, 0.5, 0.4, 280.0, 0.435e9), (0.2, 0.1, 0.05, 310.0, 5e9),
    (0.6, 0.1, 0.3, 293.0, 1.4e9), (0.3, 0.3, 0.15, 273.15, 10e9)])
def test_semi_empirical_model(sand, clay, mv, temp, freq):
    p = soil_vector(sand=sand, clay=clay, mv=mv, ts=temp, model=1.0)
    eps = semi_empirical_eps(f32(freq), f32(sand), f32(clay), f32(mv), f32(temp))
    got = v._evaluate_microwave_soil_reflectivity(freq, p, COSINES)
    np.testing.assert_allclose(got, fresnel_rows(COSINES, eps), rtol=5e-5, atol=1e-7)


@pytest.mark.parametrize("clay,mv,freq", [
    (0.2, 0.02, 1.4e9), (0.2, 0.3, 1.4e9), (0.5, 0.1, 0.435e9), (0.0, 0.45, 5e9)])
def test_clay_mixing_model(clay, mv, freq):
    p = soil_vector(clay=clay, mv=mv, model=0.0)
    eps = clay_mixing_eps(f32(freq), f32(clay), f32(mv))
    got = v._evaluate_microwave_soil_reflectivity(freq, p, COSINES)
    np.testing.assert_allclose(got, fresnel_rows(COSINES, eps), rtol=5e-5, atol=1e-7)


@pytest.mark.parametrize("sand,clay", [(0.3, 0.2), (0.0, 0.6), (0.9, 0.05)])
def test_semi_empirical_dry_limit_is_finite_and_continuous(sand, clay):
    dry = complex(((4.692144**0.65 - 1) * 1.28 / 2.66 + 1) ** (1 / 0.65), 0.0)
    p = soil_vector(sand=sand, clay=clay, mv=0.0, model=1.0)
    r0 = v._evaluate_microwave_soil_reflectivity(1.4e9, p, COSINES)
    assert np.all(np.isfinite(r0))
    np.testing.assert_allclose(r0, fresnel_rows(COSINES, dry), rtol=2e-5, atol=1e-7)
    # Negative moisture is dry soil.
    p[2] = -0.1
    np.testing.assert_array_equal(v._evaluate_microwave_soil_reflectivity(1.4e9, p, COSINES), r0)
    # The wet model approaches the dry value as the moisture goes to zero.
    previous = np.inf
    for mv in [1e-2, 1e-3, 1e-4, 1e-6, 1e-9, 1e-20, 1e-38, 1e-45]:
        p[2] = mv
        r = v._evaluate_microwave_soil_reflectivity(1.4e9, p, COSINES)
        assert np.all(np.isfinite(r))
        gap = np.max(np.abs(r - r0))
        assert gap <= previous + 1e-7
        previous = gap
    assert previous < 1e-6
    # The emission and backscatter models stay finite as well.
    p[2] = 0.0
    for active in (False, True):
        assert np.all(np.isfinite(v._evaluate_microwave_soil(1.4e9, p, COSINES, active=active)))


def test_sandy_soil_stays_finite_below_its_conductivity_threshold():
    # For sand fractions above ~0.37 the conductivity regression is negative; it is clamped at
    # zero, so the loss is the free-water term alone and never a fractional power of a negative.
    p = soil_vector(sand=0.8, clay=0.05, mv=0.1, model=1.0)
    got = v._evaluate_microwave_soil_reflectivity(1.4e9, p, COSINES)
    assert np.all(np.isfinite(got))
    eps = semi_empirical_eps(f32(1.4e9), f32(0.8), f32(0.05), f32(0.1), 295.0)
    assert eps.imag < 0  # still lossy
    np.testing.assert_allclose(got, fresnel_rows(COSINES, eps), rtol=5e-5, atol=1e-7)


# ----------------------------------------------------------------------------------------------
# Passive emission

def test_smooth_passive_emission_is_fresnel_times_effective_temperature():
    # Clay mixing permittivity does not depend on temperature, so the effective temperature can
    # be read off: T_B = (1 - R) T_eff with R the smooth reflectivity.
    for mv in [0.0, 0.05, 0.2, 0.3, 0.45]:
        p = soil_vector(clay=0.3, mv=mv, ts=300.0, td=285.0, model=0.0)
        rows = v._evaluate_microwave_soil(1.4e9, p, COSINES)
        smooth = v._evaluate_microwave_soil_reflectivity(1.4e9, p, COSINES)
        t_eff = effective_temperature(300.0, 285.0, f32(mv))
        np.testing.assert_allclose(rows[:, 2:], smooth, rtol=1e-6, atol=1e-7)
        np.testing.assert_allclose(rows[:, 0], (1 - smooth[:, 0]) * t_eff, rtol=1e-5)
        np.testing.assert_allclose(rows[:, 1], (1 - smooth[:, 1]) * t_eff, rtol=1e-5)


def test_passive_semi_empirical_uses_effective_temperature():
    p = soil_vector(sand=0.3, clay=0.2, mv=0.12, ts=303.0, td=283.0, model=2.9)  # passive: B
    t_eff = effective_temperature(303.0, 283.0, f32(0.12))
    eps = semi_empirical_eps(f32(1.4e9), f32(0.3), f32(0.2), f32(0.12), t_eff)
    rows = v._evaluate_microwave_soil(1.4e9, p, COSINES)
    ref = fresnel_rows(COSINES, eps)
    np.testing.assert_allclose(rows[:, 2:], ref, rtol=5e-5, atol=1e-7)
    np.testing.assert_allclose(rows[:, :2], (1 - ref) * t_eff, rtol=5e-5)


def test_rough_emission():
    h, q, nh, nv = 0.3, 0.1, 1.0, 2.0
    p = soil_vector(clay=0.25, mv=0.3, h=h, nv=nv, nh=nh, q=q, ts=290.0, td=290.0, model=0.0)
    rows = v._evaluate_microwave_soil(1.4e9, p, COSINES)
    smooth = fresnel_rows(COSINES, clay_mixing_eps(f32(1.4e9), f32(0.25), f32(0.3)))
    mu = np.maximum(np.abs(COSINES.astype(float)), 0.01)
    rh = np.exp(-h * mu**nh) * ((1 - q) * smooth[:, 0] + q * smooth[:, 1])
    rv = np.exp(-h * mu**nv) * ((1 - q) * smooth[:, 1] + q * smooth[:, 0])
    np.testing.assert_allclose(rows[:, 2], rh, rtol=5e-5)
    np.testing.assert_allclose(rows[:, 3], rv, rtol=5e-5)
    np.testing.assert_allclose(rows[:, 0], (1 - rows[:, 2]) * 290.0, rtol=1e-6)
    # Roughness lowers the total reflectivity (mixing only moves it between channels); a
    # strongly negative h (nonsense) is clamped to 1.
    assert np.all(rows[:, 2] + rows[:, 3] <= smooth.sum(axis=1) + 1e-6)
    p[3] = -50.0
    clamped = v._evaluate_microwave_soil(1.4e9, p, COSINES)
    assert np.all(clamped[:, 2:] <= 1.0) and np.all(clamped[:, 2] == 1.0)
    assert np.all(clamped[:, 0] == 0.0)


# ----------------------------------------------------------------------------------------------
# Active backscatter

def backscatter_ref(freq, p, cosines):
    sand, clay, mv, s = (float(p[i]) for i in (0, 1, 2, 10))
    eps = hallikainen_eps(f32(freq), sand, clay, mv)  # selector 2 in these cases
    r1 = fresnel_snell(1.0, eps)
    gamma0 = max(0.001, 0.5 * (r1[0] + r1[1]))
    ks = min(max(2 * math.pi * f32(freq) / C_LIGHT * s, 0.1), 6.0)
    out = []
    for c in cosines:
        mu = max(abs(float(c)), 0.001)
        rh, rv = fresnel_snell(mu, eps)
        theta = math.acos(mu)
        tilt = (2 * theta / math.pi) ** (1 / (3 * gamma0))
        sqrt_p = min(max(1 - tilt * math.exp(-ks), 0.05), 0.99)
        q = min(max(0.23 * math.sqrt(gamma0) * (1 - math.exp(-ks)), 0.0), 0.5)
        g = 0.7 * (1 - math.exp(-0.65 * ks**1.8))
        svv = max(0.0, g * mu**4 / sqrt_p * (rv + rh))
        out.append([sqrt_p**2 * svv, q * svv, q * svv, svv])
    return np.array(out)


@pytest.mark.parametrize("freq,mv,s", [(1.25e9, 0.2, 0.01), (5.3e9, 0.3, 0.005),
                                       (0.435e9, 0.1, 0.03), (9.6e9, 0.25, 0.5)])
def test_active_backscatter_matches_reference(freq, mv, s):
    p = soil_vector(sand=0.4, clay=0.2, mv=mv, model=2.0, s=s)
    rows = v._evaluate_microwave_soil(freq, p, COSINES, active=True)
    np.testing.assert_allclose(rows, backscatter_ref(freq, p, COSINES), rtol=2e-4, atol=1e-12)


def test_active_backscatter_properties():
    for model in (0.0, 1.0, 2.0):
        for s in (0.0, 0.005, 0.02, 1.0):
            p = soil_vector(mv=0.25, model=model, s=s)
            rows = v._evaluate_microwave_soil(1.4e9, p, COSINES, active=True)
            assert np.all(rows >= 0.0)
            np.testing.assert_array_equal(rows[:, 1], rows[:, 2])  # reciprocity: HV = VH
            assert np.all(rows[:, 0] <= rows[:, 3])  # p < 1: HH below VV
            assert np.all(rows[:, 1] <= 0.5 * rows[:, 3])  # q <= 0.5
            assert rows[0, 3] < 1e-3 * rows[-1, 3]  # cos^4: almost nothing near grazing
    # Selector 2.9 (empirical polynomial) is used unconditionally in active mode.
    p = soil_vector(sand=0.4, clay=0.2, mv=0.2, model=2.9, s=0.01)
    ref = backscatter_ref(1.4e9, p, COSINES)
    np.testing.assert_allclose(v._evaluate_microwave_soil(1.4e9, p, COSINES, True), ref, rtol=2e-4)


# ----------------------------------------------------------------------------------------------
# Trunk emission

@pytest.mark.parametrize("freq", [0.435e9, 1.4e9, 5e9, 10e9])
def test_dry_trunk_has_permittivity_one_and_a_half(freq):
    p = trunk_vector(moisture=0.0, temperature=280.0)
    rows = v._evaluate_microwave_trunk(freq, p, COSINES)
    ref = fresnel_rows(COSINES, 1.5 + 0j)
    np.testing.assert_allclose(rows[:, 2:], ref, rtol=1e-5, atol=1e-7)
    np.testing.assert_allclose(rows[:, :2], (1 - ref) * 280.0, rtol=1e-5)
    n = math.sqrt(1.5)
    assert rows[-1, 2] == pytest.approx(((n - 1) / (n + 1)) ** 2, rel=1e-5)


@pytest.mark.parametrize("moisture,temp,freq", [(0.2, 293.0, 1.4e9), (0.5, 300.0, 1.4e9),
                                                (0.8, 275.0, 5e9), (1.2, 290.0, 0.435e9)])
def test_trunk_emission_matches_vegetation_model(moisture, temp, freq):
    rows = v._evaluate_microwave_trunk(freq, trunk_vector(moisture=moisture, temperature=temp),
                                       COSINES)
    ref = fresnel_rows(COSINES, vegetation_eps(f32(freq), f32(moisture), f32(temp)))
    np.testing.assert_allclose(rows[:, 2:], ref, rtol=5e-5, atol=1e-7)
    np.testing.assert_allclose(rows[:, :2], (1 - ref) * temp, rtol=5e-5)
    assert np.all(rows[:, 2] >= rows[:, 3] - 1e-7)


# ----------------------------------------------------------------------------------------------
# Trunk-ground double bounce against the cylinder series with scipy Bessel functions

def cylinder_series_ref(f, a, eps, theta, phi, orders=30):
    ct = math.cos(theta)
    if abs(ct) < 1e-6:
        return 0j, 0j, 0j
    st = math.sin(theta)
    ka = 2 * math.pi * f / C_LIGHT * a
    x = ka * ct
    z = complex(eps.real - st * st, abs(eps.imag))
    root = np.sqrt(z)
    u = ka * root
    q = (1 / z - 1 / ct**2) * st / ka
    A, B = complex(eps.real, abs(eps.imag)) / root, 1 / root
    n = np.arange(orders + 2)
    jx, yx, ju = sp.jv(n, x), sp.yv(n, x), sp.jv(n, u)
    s1 = s2 = sx = 0j
    for k in range(orders + 1):
        J, Jd = jx[k], k / x * jx[k] - jx[k + 1]
        H, Hd = J + 1j * yx[k], Jd + 1j * (k / x * yx[k] - yx[k + 1])
        Ju, Jud = ju[k], k / u * ju[k] - ju[k + 1]
        t1 = A * Jud * J - Jd * Ju / ct
        t2 = B * Jud * H - Ju * Hd / ct
        t3 = A * Jud * H - Ju * Hd / ct
        t4 = B * Jud * J - Jd * Ju / ct
        nq = k * q
        det = t2 * t3 - (nq * Ju * H) ** 2
        K = nq * nq * Ju * Ju * J * H
        c1, c2 = (K - t1 * t2) / det, (K - t3 * t4) / det
        if k == 0:
            s1, s2 = s1 + c1, s2 + c2
            continue
        c3 = -(2 * nq / (math.pi * x)) * Ju * Ju / (det * ct)
        w = 2 * (-1) ** k
        s1 += w * math.cos(k * phi) * c1
        s2 += w * math.cos(k * phi) * c2
        sx += w * math.sin(k * phi) * c3
    return s1, s2, sx


def _unit(theta, phi):
    return np.array([math.sin(theta) * math.cos(phi), math.sin(theta) * math.sin(phi),
                     math.cos(theta)])


def _normalise(a):
    n = np.linalg.norm(a)
    return a / n if n > 0 else a


def finite_cylinder_ref(d1, d2, axis, f, a, length, eps, orders=30):
    """Amplitude matrix (vv, vh, hv, hh) of a finite cylinder from the infinite series."""
    def angles(d):
        return math.acos(max(-1.0, min(1.0, d[2]))), math.atan2(d[1], d[0])
    (t1, p1), (t2, p2) = angles(d1), angles(d2)
    tc = math.acos(max(-1.0, min(1.0, axis[2])))
    pc = math.atan2(axis[1], axis[0]) if math.sqrt(max(0.0, 1 - axis[2] ** 2)) >= 1e-6 else 0.0
    k1, k2 = _unit(t1, p1), _unit(t2, p2)
    h1 = np.array([-math.sin(p1), math.cos(p1), 0.0])
    h2 = np.array([-math.sin(p2), math.cos(p2), 0.0])
    v1, v2 = _normalise(np.cross(h1, k1)), _normalise(np.cross(h2, k2))
    c = _unit(tc, pc)
    xl = np.array([math.cos(tc) * math.cos(pc), math.cos(tc) * math.sin(pc), -math.sin(tc)])
    yl = np.array([-math.sin(pc), math.cos(pc), 0.0])
    h1l = _normalise(np.cross(c, k1))
    v1l = _normalise(np.cross(h1l, k1))
    h2l = _normalise(np.cross(c, k2))
    v2l = _normalise(np.cross(h2l, k2))
    beta = math.pi / 2 - math.acos(-max(-1.0, min(1.0, c @ k1)))
    psi = math.acos(max(-1.0, min(1.0, c @ k2)))
    q1 = _normalise(np.array([-(k1 @ xl), -(k1 @ yl)]))
    q2 = _normalise(np.array([k2 @ xl, k2 @ yl]))
    phi = math.acos(max(-1.0, min(1.0, q2 @ q1)))
    if q2[1] * q1[0] - q2[0] * q1[1] < 0:
        phi = -phi
    s1, s2, sx = cylinder_series_ref(f, a, eps, abs(beta), phi, orders)
    mismatch = math.cos(psi) + math.sin(beta)
    lam = 1.0
    if abs(mismatch) >= 0.01:
        arg = mismatch * 2 * math.pi * f / C_LIGHT * length / 2
        lam = math.sin(arg) / arg
    pre = -1j * length * math.sin(psi) * lam / (math.pi * math.cos(beta))
    T = np.array([[s1, 1j * sx], [-1j * sx, s2]])

    def m(p, qv):
        b = T @ np.array([p @ v1l, p @ h1l])
        return pre * ((qv @ v2l) * b[0] + (qv @ h2l) * b[1])

    return m(v1, v2), m(h1, v2), m(v1, h2), m(h1, h2)


def trunk_ground_ref(freq, soil, trunk, d_trunk, d_ground, normals):
    f = f32(freq)
    s = [float(x) for x in soil]
    t = [float(x) for x in trunk]
    eps_soil = hallikainen_eps(f, s[0], s[1], s[2])  # the cases below use selector 2
    eps_trunk = vegetation_eps(f, t[2], t[3])
    axis = _normalise(np.array(t[4:7]))
    k0 = 2 * math.pi * f / C_LIGHT
    out = []
    for dt, dg, n in zip(d_trunk, d_ground, normals):
        dt, dg, n = (_normalise(np.asarray(x, float)) for x in (dt, dg, n))
        mu = max(abs(dg @ n), 0.001)
        sin_g = math.sqrt(max(0.0, 1 - mu * mu))
        rh, rv = fresnel_snell(mu, eps_soil)
        coherent = math.exp(-((2 * k0 * s[10] * mu) ** 2))
        vv, _, _, hh = finite_cylinder_ref(dt, dg, axis, f, t[0], t[1], eps_trunk)
        area = max(2 * t[0] * t[1] * sin_g + 4 * t[0] ** 2 * mu, 1e-6)
        out.append([8 * math.pi / area * rh * coherent * abs(hh) ** 2,
                    8 * math.pi / area * rv * coherent * abs(vv) ** 2])
    return np.array(out)


def dihedral_geometry(n_rows, seed):
    """Directions of a trunk-ground corner: a ray towards the trunk and its mirror image in the
    ground, plus a few generic directions."""
    rng = np.random.default_rng(seed)
    theta = rng.uniform(0.2, 1.3, n_rows)
    phi = rng.uniform(-math.pi, math.pi, n_rows)
    d_trunk = np.stack([np.sin(theta) * np.cos(phi), np.sin(theta) * np.sin(phi),
                        -np.cos(theta)], axis=1)
    d_ground = d_trunk * np.array([1.0, 1.0, -1.0])
    d_ground[::3] = rng.normal(size=(len(d_ground[::3]), 3))
    normals = np.tile([0.0, 0.0, 1.0], (n_rows, 1))
    normals[1::4] = [0.1, -0.05, 1.0]
    return (d_trunk.astype(np.float32), d_ground.astype(np.float32), normals.astype(np.float32))


@pytest.mark.parametrize("freq,radius,length,moisture,axis", [
    (0.435e9, 0.2, 10.0, 0.6, (0.0, 0.0, 1.0)),
    (1.4e9, 0.15, 8.0, 0.5, (0.0, 0.0, 1.0)),
    (1.4e9, 0.3, 12.0, 0.9, (0.1, 0.05, 1.0)),
    (3.2e9, 0.1, 5.0, 0.4, (0.3, -0.2, 0.9)),
    (5.3e9, 0.05, 3.0, 0.7, (0.0, 0.0, 1.0)),
])
def test_trunk_ground_matches_cylinder_series_with_scipy(freq, radius, length, moisture, axis):
    soil = soil_vector(sand=0.3, clay=0.2, mv=0.2, model=2.0, s=0.01)
    trunk = trunk_vector(radius=radius, length=length, moisture=moisture, axis=axis)
    d_trunk, d_ground, normals = dihedral_geometry(24, seed=int(freq) % 1000)
    got = v._evaluate_microwave_trunk_ground(freq, soil, trunk, d_trunk, d_ground, normals)
    ref = trunk_ground_ref(freq, soil, trunk, d_trunk, d_ground, normals)
    assert got.shape == (24, 2) and got.dtype == np.float32
    assert np.all(got >= 0)
    # Single-precision geometry (angles, the sin(u)/u length factor with u up to ~100 rad) limits
    # the agreement; relative to the largest value of the batch the rows agree closely.
    scale = ref.max(axis=0)
    np.testing.assert_allclose(got / scale, ref / scale, rtol=2e-3, atol=2e-4)


def test_series_orders_beyond_thirty_are_negligible():
    # k0 a up to 10 (the regime the 31-order series is meant for): the coefficients fall off like
    # (x/2)^(2n)/(n!)^2, so orders 31..50 add nothing measurable.
    eps = vegetation_eps(1.4e9, 0.6, 293.0)
    for ka in [0.5, 3.0, 10.0]:
        a = ka / (2 * math.pi * 1.4e9 / C_LIGHT)
        for theta in [0.0, 0.4, 1.2]:
            full = np.array(cylinder_series_ref(1.4e9, a, eps, theta, 0.7, orders=50))
            cut = np.array(cylinder_series_ref(1.4e9, a, eps, theta, 0.7, orders=30))
            assert np.max(np.abs(full - cut)) <= 1e-9 * np.max(np.abs(full))


def test_trunk_ground_rows_are_independent_and_deterministic():
    soil = soil_vector(model=2.0)
    trunk = trunk_vector()
    d_trunk, d_ground, normals = dihedral_geometry(30, seed=5)
    all_rows = v._evaluate_microwave_trunk_ground(1.4e9, soil, trunk, d_trunk, d_ground, normals)
    again = v._evaluate_microwave_trunk_ground(1.4e9, soil, trunk, d_trunk, d_ground, normals)
    np.testing.assert_array_equal(all_rows, again)
    part = v._evaluate_microwave_trunk_ground(1.4e9, soil, trunk, d_trunk[7:9], d_ground[7:9],
                                              normals[7:9])
    np.testing.assert_array_equal(part, all_rows[7:9])
    # Unit and scaled vectors give the same rows (every vector is normalised).
    scaled = v._evaluate_microwave_trunk_ground(1.4e9, soil, trunk, 3 * d_trunk, 0.5 * d_ground,
                                                2 * normals)
    np.testing.assert_allclose(scaled, all_rows, rtol=2e-4, atol=1e-6 * all_rows.max())
    # An axis that is vertical to float precision has no azimuth.
    tilted = trunk_vector(axis=(1e-9, 1e-9, 1.0))
    np.testing.assert_array_equal(
        v._evaluate_microwave_trunk_ground(1.4e9, soil, tilted, d_trunk, d_ground, normals),
        all_rows)
    empty = np.zeros((0, 3), np.float32)
    none = v._evaluate_microwave_trunk_ground(1.4e9, soil, trunk, empty, empty, empty)
    assert none.shape == (0, 2)


def test_trunk_ground_roughness_removes_coherent_reflection():
    trunk = trunk_vector()
    d_trunk, d_ground, normals = dihedral_geometry(12, seed=2)
    smooth = v._evaluate_microwave_trunk_ground(1.4e9, soil_vector(model=2.0, s=0.0), trunk,
                                                d_trunk, d_ground, normals)
    rough = v._evaluate_microwave_trunk_ground(1.4e9, soil_vector(model=2.0, s=0.05), trunk,
                                               d_trunk, d_ground, normals)
    k0 = 2 * math.pi * f32(1.4e9) / C_LIGHT
    mu = np.maximum(np.abs(np.sum(d_ground / np.linalg.norm(d_ground, axis=1)[:, None]
                                  * normals / np.linalg.norm(normals, axis=1)[:, None], axis=1)),
                    0.001)
    expected = smooth * np.exp(-((2 * k0 * f32(0.05) * mu) ** 2))[:, None]
    np.testing.assert_allclose(rough, expected, rtol=1e-4, atol=1e-30)


# ----------------------------------------------------------------------------------------------
# Argument handling and messages

def test_signatures_and_defaults():
    p = soil_vector()
    c = np.array([0.5], np.float32)
    assert np.array_equal(v._evaluate_microwave_soil(1.4e9, p, c),
                          v._evaluate_microwave_soil(frequency=1.4e9, parameters=p, cosines=c,
                                                     active=False))
    assert np.array_equal(v._evaluate_microwave_soil_reflectivity(1.4e9, p, c),
                          v._evaluate_microwave_soil_reflectivity(
                              frequency=1.4e9, parameters=p, cosines=c, allow_hallikainen=False))
    t = trunk_vector()
    v._evaluate_microwave_trunk(frequency=1.4e9, parameters=t, cosines=c)
    d = np.array([[0.6, 0.0, -0.8]], np.float32)
    v._evaluate_microwave_trunk_ground(frequency=1.4e9, soil_parameters=p, trunk_parameters=t,
                                       directions_to_trunk=d, directions_to_ground=d,
                                       ground_normals=[[0, 0, 1]])
    for name in ("_evaluate_microwave_soil", "_evaluate_microwave_soil_reflectivity",
                 "_evaluate_microwave_trunk_ground", "_evaluate_microwave_trunk"):
        assert getattr(v, name).__doc__.startswith(name + "(")


def test_shapes_dtypes_and_conversions():
    p = soil_vector()
    for fn, width in ((v._evaluate_microwave_soil, 4),
                      (v._evaluate_microwave_soil_reflectivity, 2)):
        out = fn(1.4e9, p, COSINES)
        assert out.shape == (len(COSINES), width) and out.dtype == np.float32
        assert out.flags.c_contiguous and out.flags.owndata
        assert fn(1.4e9, p, np.zeros(0, np.float32)).shape == (0, width)
        # float64, lists, strided views and longer vectors are all accepted.
        np.testing.assert_array_equal(fn(1.4e9, p.astype(np.float64), COSINES.tolist()), out)
        np.testing.assert_array_equal(fn(1.4e9, np.append(p, 7.0), COSINES), out)
        wide = np.zeros(24, np.float32)
        wide[::2] = p
        np.testing.assert_array_equal(fn(1.4e9, wide[::2], np.repeat(COSINES, 2)[::2]), out)
    t = trunk_vector()
    out = v._evaluate_microwave_trunk(1.4e9, t, COSINES)
    assert out.shape == (len(COSINES), 4) and out.dtype == np.float32
    assert v._evaluate_microwave_trunk(1.4e9, t, []).shape == (0, 4)


@pytest.mark.parametrize("fn,params", [
    (v._evaluate_microwave_soil, soil_vector()),
    (v._evaluate_microwave_soil_reflectivity, soil_vector()),
    (v._evaluate_microwave_trunk, trunk_vector()),
])
def test_cosine_folding(fn, params):
    rows = fn(1.4e9, params, np.array([0.0, -0.0004, 0.001, 0.5, -0.5], np.float32))
    np.testing.assert_array_equal(rows[0], rows[2])  # mu = max(|c|, 0.001)
    np.testing.assert_array_equal(rows[1], rows[2])
    np.testing.assert_array_equal(rows[3], rows[4])


def test_soil_parameter_and_cosine_messages():
    good = soil_vector()
    c = np.array([0.5], np.float32)
    for fn in (v._evaluate_microwave_soil, v._evaluate_microwave_soil_reflectivity):
        for bad in (good[:11], good.reshape(3, 4), np.float32(1.0), []):
            with pytest.raises(ValueError,
                               match=r"^soil parameters must be a 1D array with 12 values$"):
                fn(1.4e9, bad, c)
        # The parameter check comes before the cosines are looked at.
        with pytest.raises(ValueError, match="soil parameters must be a 1D array with 12 values"):
            fn(1.4e9, good[:11], np.zeros((2, 2), np.float32))
        with pytest.raises(ValueError, match=r"^cosines must be a 1D array$"):
            fn(1.4e9, good, np.zeros((2, 2), np.float32))
        with pytest.raises(ValueError, match=r"^cosines must be a 1D array$"):
            fn(1.4e9, good, np.float32(0.5))


def test_trunk_parameter_messages():
    good = trunk_vector()
    c = np.array([0.5], np.float32)
    for bad in (good[:6], good.reshape(1, 7), []):
        with pytest.raises(ValueError,
                           match=r"^trunk parameters must be a 1D array with 7 values$"):
            v._evaluate_microwave_trunk(1.4e9, bad, c)
    with pytest.raises(ValueError, match="trunk parameters must be a 1D array with 7 values"):
        v._evaluate_microwave_trunk(1.4e9, good[:6], np.zeros((2, 2)))
    with pytest.raises(ValueError, match=r"^cosines must be a 1D array$"):
        v._evaluate_microwave_trunk(1.4e9, good, np.zeros((2, 2)))


def test_trunk_ground_messages_in_order():
    soil, trunk = soil_vector(), trunk_vector()
    d = np.tile(np.array([0.6, 0.0, -0.8], np.float32), (5, 1))
    n = np.tile(np.array([0.0, 0.0, 1.0], np.float32), (5, 1))
    call = v._evaluate_microwave_trunk_ground
    with pytest.raises(ValueError, match="^soil parameters must be a 1D array with 12 values$"):
        call(1.4e9, soil[:11], trunk[:6], d, d, n[:4])
    with pytest.raises(ValueError, match="^trunk parameters must be a 1D array with 7 values$"):
        call(1.4e9, soil, trunk[:6], d, d, n[:4])
    shape_message = r"^direction and normal arrays must all have shape \(N, 3\)$"
    for a, b, c in [(d, d, n[:4]), (d[:, :2], d[:, :2], n[:, :2]), (d[0], d[0], n[0]),
                    (d, d[:4], n), (d[None], d[None], n[None]), (d, d, n[:, :2])]:
        with pytest.raises(ValueError, match=shape_message):
            call(1.4e9, soil, trunk, a, b, c)


def test_non_finite_and_unphysical_inputs_are_refused():
    soil, trunk = soil_vector(), trunk_vector()
    c = np.array([0.5, 0.7], np.float32)
    d = np.tile(np.array([0.6, 0.0, -0.8], np.float32), (2, 1))
    n = np.tile(np.array([0.0, 0.0, 1.0], np.float32), (2, 1))
    soil_fns = (lambda f, p, cs: v._evaluate_microwave_soil(f, p, cs),
                lambda f, p, cs: v._evaluate_microwave_soil(f, p, cs, active=True),
                v._evaluate_microwave_soil_reflectivity)
    for bad in (math.nan, math.inf, -math.inf):
        for fn in soil_fns:
            for i in range(12):
                p = soil.copy()
                p[i] = bad
                with pytest.raises(ValueError, match="^soil parameters must be finite$"):
                    fn(1.4e9, p, c)
            with pytest.raises(ValueError, match="^cosines must be finite$"):
                fn(1.4e9, soil, [0.5, bad])
        for i in range(7):
            t = trunk.copy()
            t[i] = bad
            with pytest.raises(ValueError, match="^trunk parameters must be finite$"):
                v._evaluate_microwave_trunk(1.4e9, t, c)
            with pytest.raises(ValueError, match="^trunk parameters must be finite$"):
                v._evaluate_microwave_trunk_ground(1.4e9, soil, t, d, d, n)
        with pytest.raises(ValueError, match="^cosines must be finite$"):
            v._evaluate_microwave_trunk(1.4e9, trunk, [bad])
        for which in range(3):
            arrays = [d.copy(), d.copy(), n.copy()]
            arrays[which][1, 2] = bad
            with pytest.raises(ValueError, match="^direction and normal vectors must be finite"):
                v._evaluate_microwave_trunk_ground(1.4e9, soil, trunk, *arrays)
    # Frequency: finite and positive.
    for freq in (0.0, -1.4e9, math.nan, math.inf):
        with pytest.raises(ValueError, match=r"^frequency must be a finite positive value in Hz$"):
            v._evaluate_microwave_soil(freq, soil, c)
        with pytest.raises(ValueError, match=r"^frequency must be a finite positive value in Hz$"):
            v._evaluate_microwave_soil_reflectivity(freq, soil, c)
        with pytest.raises(ValueError, match=r"^frequency must be a finite positive value in Hz$"):
            v._evaluate_microwave_trunk(freq, trunk, c)
        with pytest.raises(ValueError, match=r"^frequency must be a finite positive value in Hz$"):
            v._evaluate_microwave_trunk_ground(freq, soil, trunk, d, d, n)
    # A trunk without size or axis, and zero vectors, cannot scatter meaningfully.
    for i, value in ((0, 0.0), (0, -0.1), (1, 0.0)):
        t = trunk.copy()
        t[i] = value
        with pytest.raises(ValueError, match="^trunk radius and length must be positive$"):
            v._evaluate_microwave_trunk_ground(1.4e9, soil, t, d, d, n)
    t = trunk.copy()
    t[4:7] = 0.0
    with pytest.raises(ValueError, match="^trunk axis must be a non-zero vector$"):
        v._evaluate_microwave_trunk_ground(1.4e9, soil, t, d, d, n)
    z = n.copy()
    z[0] = 0.0
    with pytest.raises(ValueError,
                       match="^direction and normal vectors must be finite and non-zero$"):
        v._evaluate_microwave_trunk_ground(1.4e9, soil, trunk, d, d, z)
    # A trunk vector needs no radius for its emission (only moisture and temperature).
    t = trunk.copy()
    t[0] = 0.0
    assert np.all(np.isfinite(v._evaluate_microwave_trunk(1.4e9, t, c)))


def test_semi_empirical_outside_its_range_is_refused_rather_than_nan():
    # A sand fraction far outside 0..1 with a moisture above 1 drives the base of the real
    # part's power law negative.
    p = soil_vector(sand=40.0, clay=0.0, mv=3.0, model=1.0)
    with pytest.raises(ValueError, match="^soil parameters give a non-finite permittivity$"):
        v._evaluate_microwave_soil_reflectivity(1.4e9, p, [0.5])
