"""Microwave soil and trunk models: the four _evaluate_microwave_* module functions.

The physics is checked against models written independently here in double precision: Fresnel
through Snell's law with complex angles, the published polynomial table, the dielectric mixing
models, and the dielectric-cylinder series with scipy.special Bessel functions summed to
convergence, on a double-precision scattering geometry.
"""

import math

import numpy as np
import pytest
import scipy.special as sp

import velm_gpu as v

C_LIGHT = 2.998e8
COSINES = np.linspace(0.02, 1.0, 50).astype(np.float32)


def f32(x):
    return float(np.float32(x))


def soil_vector(sand=0.3, clay=0.2, mv=0.25, h=0.0, nv=0.0, nh=0.0, q=0.0, ts=295.0, td=290.0,
                model=1.0, s=0.01, extra=0.04):
    return np.array([sand, clay, mv, h, nv, nh, q, ts, td, model, s, extra], np.float32)


def trunk_vector(radius=0.15, length=8.0, moisture=0.5, temperature=293.0, axis=(0.0, 0.0, 1.0)):
    return np.array([radius, length, moisture, temperature, *axis], np.float32)


# ----------------------------------------------------------------------------------------------
# Independent reference models (double precision; permittivities are eps' - j eps'')

def fresnel_snell(mu, eps):
    """Fresnel power reflectivities (H, V) from air via Snell's law with a complex angle."""
    n2 = np.sqrt(complex(eps))
    sin_i = math.sqrt(max(0.0, 1.0 - mu * mu))
    cos_t = np.sqrt(1.0 - (sin_i / n2) ** 2)
    if (n2 * cos_t).real < 0:  # the transmitted wave must decay into the medium
        cos_t = -cos_t
    r_s = (mu - n2 * cos_t) / (mu + n2 * cos_t)
    r_p = (n2 * mu - cos_t) / (n2 * mu + cos_t)
    return abs(r_s) ** 2, abs(r_p) ** 2


def fresnel_rows(cosines, eps):
    return np.array([fresnel_snell(max(abs(float(c)), 0.001), eps) for c in cosines])


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


def hallikainen_eps(f, sand, clay, mv):
    """Empirical polynomial model, linear in frequency between the published rows (extended
    below 1.4 GHz, the 18 GHz row above)."""
    g = f / 1e9
    i = 0 if g <= 1.4 else min(max(k for k in range(9) if HALLIKAINEN_GHZ[k] < g), 7)
    w = 1.0 if g >= 18 else (g - HALLIKAINEN_GHZ[i]) / (HALLIKAINEN_GHZ[i + 1] - HALLIKAINEN_GHZ[i])
    s, c = 100 * sand, 100 * clay

    def evaluate(table):
        k = [lo + (hi - lo) * w for lo, hi in zip(table[i], table[i + 1])]
        return (k[0] + k[1] * s + k[2] * c) + (k[3] + k[4] * s + k[5] * c) * mv + \
            (k[6] + k[7] * s + k[8] * c) * mv**2
    return complex(evaluate(HALLIKAINEN_REAL), -max(0.0, evaluate(HALLIKAINEN_LOSS)))


def water_relaxation(t):
    return 1.1109e-10 - 3.824e-12 * t + 6.938e-14 * t**2 - 5.096e-16 * t**3


def semi_empirical_eps(f, sand, clay, mv, temperature, rho_b=1.28):
    """Dobson-Peplinski type mixing model (alpha = 0.65) with the free-water Debye terms."""
    alpha, t = 0.65, temperature - 273.15
    b = 2.282e-5 * 0.65 * t + 1 - 0.00049646996 - 3.2785997e-6 + 3.034606e-9
    x = water_relaxation(t) * b * f
    a = 1.613e-5 * 0.65 * t + 1 - 0.0023764 + 1.35622495e-5 - 1.16221294e-7
    delta = (87.134 - 0.1949 * t - 0.01276 * t**2 + 0.0002491 * t**3) * a - 4.9
    fw_re, fw_loss = 4.9 + delta / (1 + x * x), delta * x / (1 + x * x)
    sigma = max(0.0, 1.939 * rho_b - 1.645 - 2.256 * sand + 1.594 * clay)
    dry = (4.692144**alpha - 1) * rho_b / 2.66 + 1
    if mv <= 0:
        return complex(dry ** (1 / alpha), 0.0)
    beta_re = 1.275 - 0.519 * sand - 0.152 * clay
    re = (mv**beta_re * (fw_re**alpha - 1) + dry - mv) ** (1 / alpha)
    cond = sigma * (2.66 - rho_b) / (2 * math.pi * f * 8.854e-12 * 2.66 * mv)
    loss = ((cond + fw_loss) ** alpha * mv ** (1.338 - 0.603 * sand - 0.166 * clay)) ** (1 / alpha)
    return complex(re, -loss)


def clay_mixing_eps(f, clay, mv):
    w = 2 * math.pi * f
    nd, kd = 1.634 - 0.539 * clay + 0.2748 * clay**2, 0.03952 - 0.04038 * clay
    mt = 0.02863 + 0.30673 * clay
    db, tb = 79.8 - 85.4 * clay + 32.7 * clay**2 - 4.9, 1.062e-11 + 3.45e-12 * clay
    eb = complex(4.9 + db / (1 + (w * tb) ** 2),
                 -(db * w * tb / (1 + (w * tb) ** 2) + (0.3112 + 0.467 * clay) / (w * 8.854e-12)))
    tu = 8.837e-12
    eu = complex(4.9 + 95.1 / (1 + (w * tu) ** 2), -(95.1 * w * tu / (1 + (w * tu) ** 2)))
    nb, nu = np.sqrt(eb), np.sqrt(eu)  # n - jk
    bound, free = min(mv, mt), max(mv - mt, 0.0)
    n = nd + (nb.real - 1) * bound + (nu.real - 1) * free
    k = kd - nb.imag * bound - nu.imag * free
    return complex(n * n - k * k, -2 * n * k)


def vegetation_eps(f, moisture, temperature):
    vb, vf = min(0.5 * moisture, 0.12), max(0.5 * moisture - 0.12, 0.0)
    t, w = temperature - 273.15, 2 * math.pi * f
    yf, yb = water_relaxation(t) * w, w * 4e-11
    dw = 88.045 - 0.4147 * t + 0.0006295 * t**2 + 1.075e-5 * t**3 - 4.9
    re = 1.5 + vb * (4.9 + 52.8 / (1 + yb * yb) - 1.5) + vf * (4.9 + dw / (1 + yf * yf) - 1)
    return complex(re, -(vf * dw * yf / (1 + yf * yf) + vb * 52.8 * yb / (1 + yb * yb)))


def effective_temperature(p):
    ts, td, mv = f32(p[7]), f32(p[8]), max(f32(p[2]), 0.0)
    return td + (ts - td) * min(min(mv / 0.3, 10.0) ** 0.3, 1.0)


def soil_eps(freq, p, temperature, empirical_allowed):
    """The model the selector names: 0 clay mixing, 2 (when allowed) the empirical polynomial,
    anything else the semi-empirical model at the given temperature."""
    f, sand, clay, mv = f32(freq), f32(p[0]), f32(p[1]), max(f32(p[2]), 0.0)
    model = math.trunc(float(p[9]))
    if model == 0:
        return clay_mixing_eps(f, clay, mv)
    if model == 2 and empirical_allowed:
        return hallikainen_eps(f, sand, clay, mv)
    return semi_empirical_eps(f, sand, clay, mv, temperature)


# ----------------------------------------------------------------------------------------------
# Soil surface models

def emission_ref(freq, p):
    t_eff = effective_temperature(p)
    smooth = fresnel_rows(COSINES, soil_eps(freq, p, t_eff, False))
    mu = np.maximum(np.abs(COSINES.astype(float)), 0.01)
    h, nv, nh, q = (float(p[i]) for i in (3, 4, 5, 6))
    rh = np.clip(np.exp(-h * mu**nh) * ((1 - q) * smooth[:, 0] + q * smooth[:, 1]), 0, 1)
    rv = np.clip(np.exp(-h * mu**nv) * ((1 - q) * smooth[:, 1] + q * smooth[:, 0]), 0, 1)
    return np.stack([(1 - rh) * t_eff, (1 - rv) * t_eff, rh, rv], axis=1)


def backscatter_ref(freq, p):
    eps = soil_eps(freq, p, effective_temperature(p), True)
    gamma0 = max(0.001, 0.5 * sum(fresnel_snell(1.0, eps)))
    ks = min(max(2 * math.pi * f32(freq) / C_LIGHT * f32(p[10]), 0.1), 6.0)
    q = min(max(0.23 * math.sqrt(gamma0) * (1 - math.exp(-ks)), 0.0), 0.5)
    g = 0.7 * (1 - math.exp(-0.65 * ks**1.8))
    out = []
    for c in COSINES:
        mu = max(abs(float(c)), 0.001)
        tilt = (2 * math.acos(mu) / math.pi) ** (1 / (3 * gamma0))
        sqrt_p = min(max(1 - tilt * math.exp(-ks), 0.05), 0.99)
        svv = max(0.0, g * mu**4 / sqrt_p * sum(fresnel_snell(mu, eps)))
        out.append([sqrt_p**2 * svv, q * svv, q * svv, svv])
    return np.array(out)


SOIL_MODELS = {  # function under test, reference, rtol, atol
    "smooth": (lambda f, p: v._evaluate_microwave_soil_reflectivity(f, p, COSINES),
               lambda f, p: fresnel_rows(COSINES, soil_eps(f, p, f32(p[7]), False)), 5e-5, 1e-7),
    "smooth C": (lambda f, p: v._evaluate_microwave_soil_reflectivity(f, p, COSINES, True),
                 lambda f, p: fresnel_rows(COSINES, soil_eps(f, p, f32(p[7]), True)), 5e-5, 1e-7),
    "passive": (lambda f, p: v._evaluate_microwave_soil(f, p, COSINES), emission_ref, 5e-5, 1e-4),
    "active": (lambda f, p: v._evaluate_microwave_soil(f, p, COSINES, active=True),
               backscatter_ref, 2e-4, 1e-12),
}
SOIL_CASES = [  # model, frequency, soil vector arguments
    # The empirical polynomial: real permittivities (negative loss clamped to zero), lossy soils,
    # every published node, between nodes, extrapolated below 1.4 GHz, the 18 GHz row above.
    *[("smooth C", f, dict(sand=0.0, clay=0.0, mv=mv, model=2.0)) for f, mv in [
        (6e9, 0.0), (8e9, 0.015), (1.4e9, 0.05), (1.4e9, 0.35), (5e9, 0.2), (10e9, 0.3),
        (16e9, 0.12)]],
    *[("smooth C", g * 1e9, dict(sand=0.05, clay=0.5, mv=0.4, model=2.0)) for g in HALLIKAINEN_GHZ],
    *[("smooth C", f, dict(mv=0.2, model=2.0)) for f in (0.7e9, 2.7e9, 7.3e9, 13.9e9, 25e9, 40e9)],
    # Selector 2.9 truncates to 2, which the smooth reflectivity uses only when allowed (else the
    # semi-empirical model at the surface temperature), the active model always, the passive
    # model never (semi-empirical at the effective temperature). Selectors truncating to 0 pick
    # clay mixing, all others semi-empirical.
    *[(m, 5e9, dict(mv=0.2, ts=300.0, td=280.0, model=2.9, s=0.01)) for m in SOIL_MODELS],
    *[("smooth", 1.4e9, dict(mv=0.2, model=m)) for m in (0.7, -0.7, -2.0, 3.0, 1e30, -1e30)],
    # Semi-empirical, including a sandy soil whose conductivity regression is clamped at zero,
    # dry soil (negative moisture is dry) and the approach to it, and clay mixing below and
    # above the transition moisture.
    *[("smooth", f, dict(sand=s, clay=c, mv=mv, ts=t, model=1.0)) for s, c, mv, t, f in [
        (0.3, 0.2, 0.25, 295.0, 1.4e9), (0.1, 0.5, 0.4, 280.0, 0.435e9),
        (0.2, 0.1, 0.05, 310.0, 5e9), (0.6, 0.1, 0.3, 293.0, 1.4e9),
        (0.3, 0.3, 0.15, 273.15, 10e9), (0.8, 0.05, 0.1, 295.0, 1.4e9)]],
    *[(m, 1.4e9, dict(sand=s, clay=c, mv=mv, model=1.0)) for m in SOIL_MODELS
      for s, c in [(0.3, 0.2), (0.0, 0.6), (0.9, 0.05)] for mv in (0.0, -0.1, 1e-6, 1e-20, 1e-45)],
    *[("smooth", f, dict(clay=c, mv=mv, model=0.0)) for c, mv, f in [
        (0.2, 0.02, 1.4e9), (0.2, 0.3, 1.4e9), (0.5, 0.1, 0.435e9), (0.0, 0.45, 5e9)]],
    # Rough emission at the effective temperature; nonsense roughness clamps reflectivities at 1.
    *[("passive", 1.4e9, dict(clay=0.3, mv=mv, ts=300.0, td=285.0, model=0.0))
      for mv in (0.0, 0.05, 0.2, 0.3, 0.45)],
    ("passive", 1.4e9, dict(clay=0.25, mv=0.3, h=0.3, nv=2.0, nh=1.0, q=0.1, ts=290.0, model=0.0)),
    ("passive", 1.4e9, dict(clay=0.25, mv=0.3, h=-50.0, model=0.0)),
    # Backscatter, with ks clamped to 0.1 (s = 0) and to 6.
    *[("active", f, dict(sand=0.4, mv=mv, model=m, s=s)) for f, mv, s, m in [
        (1.25e9, 0.2, 0.01, 2.0), (5.3e9, 0.3, 0.005, 2.0), (0.435e9, 0.1, 0.03, 2.0),
        (9.6e9, 0.25, 0.5, 2.0), (1.4e9, 0.25, 0.0, 0.0), (1.4e9, 0.25, 0.02, 1.0)]],
]


@pytest.mark.parametrize("model,freq,soil", SOIL_CASES)
def test_soil_models(model, freq, soil):
    evaluate, reference, rtol, atol = SOIL_MODELS[model]
    p = soil_vector(**soil)
    np.testing.assert_allclose(evaluate(freq, p), reference(freq, p), rtol=rtol, atol=atol)


# ----------------------------------------------------------------------------------------------
# Trunk emission

@pytest.mark.parametrize("moisture,temp,freq", [
    (0.0, 280.0, 0.435e9), (0.0, 280.0, 10e9), (-1.0, 280.0, 1.4e9),  # dry wood: eps = 1.5
    (0.2, 293.0, 1.4e9), (0.5, 300.0, 1.4e9), (0.8, 275.0, 5e9), (1.2, 290.0, 0.435e9)])
def test_trunk_emission(moisture, temp, freq):
    rows = v._evaluate_microwave_trunk(freq, trunk_vector(moisture=moisture, temperature=temp),
                                       COSINES)
    ref = fresnel_rows(COSINES, vegetation_eps(f32(freq), max(f32(moisture), 0.0), f32(temp)))
    np.testing.assert_allclose(rows[:, 2:], ref, rtol=5e-5, atol=1e-7)
    np.testing.assert_allclose(rows[:, :2], (1 - ref) * temp, rtol=5e-5)


# ----------------------------------------------------------------------------------------------
# Trunk-ground double bounce against the converged cylinder series with scipy Bessel functions

def cylinder_series_ref(f, a, eps, theta, phi, orders=None):
    """S1, S2, X of an infinite cylinder; by default summed well past convergence."""
    ct, st = math.cos(theta), math.sin(theta)
    if abs(ct) < 1e-6:
        return 0j, 0j, 0j
    ka = 2 * math.pi * f / C_LIGHT * a
    x = ka * ct
    orders = orders or int(x + 10 * x ** (1 / 3) + 40)
    z = complex(eps.real - st * st, abs(eps.imag))
    root = np.sqrt(z)
    u = ka * root
    q = (1 / z - 1 / ct**2) * st / ka
    A, B = complex(eps.real, abs(eps.imag)) / root, 1 / root
    n = np.arange(orders + 2)
    jx, yx, ju = sp.jv(n, x), sp.yv(n, x), sp.jve(n, u)  # e^-|Im u| cancels in every ratio
    s1 = s2 = sx = 0j
    for k in range(orders + 1):
        if not abs(yx[k + 1]) < 1e100:  # J_n/Y_n below 1e-200: nothing left to add
            break
        J, Jd = jx[k], k / x * jx[k] - jx[k + 1]
        H, Hd = J + 1j * yx[k], Jd + 1j * (k / x * yx[k] - yx[k + 1])
        Ju, Jud = ju[k], k / u * ju[k] - ju[k + 1]
        t1, t2 = A * Jud * J - Jd * Ju / ct, B * Jud * H - Ju * Hd / ct
        t3, t4 = A * Jud * H - Ju * Hd / ct, B * Jud * J - Jd * Ju / ct
        nq = k * q
        det = t2 * t3 - (nq * Ju * H) ** 2
        K = nq * nq * Ju * Ju * J * H
        c1, c2 = (K - t1 * t2) / det, (K - t3 * t4) / det
        c3 = -(2 * nq / (math.pi * x)) * Ju * Ju / (det * ct)
        w = 1 if k == 0 else 2 * (-1) ** k
        s1, s2 = s1 + w * math.cos(k * phi) * c1, s2 + w * math.cos(k * phi) * c2
        sx += w * math.sin(k * phi) * c3
    return s1, s2, sx


def unit(a):
    a = np.asarray(a, float)
    return a / np.linalg.norm(a)


def finite_cylinder_ref(k1, k2, c, f, a, length, eps, orders=None):
    """Amplitudes (vv, hh) of a finite cylinder with unit axis c for unit propagation
    directions k1 (incident) and k2 (scattered), from vectors rather than angles."""
    def horizontal(k):
        return unit([-k[1], k[0], 0.0]) if math.hypot(k[0], k[1]) > 0 else np.array([0, 1.0, 0])
    h1, h2 = horizontal(k1), horizontal(k2)
    v1, v2 = unit(np.cross(h1, k1)), unit(np.cross(h2, k2))
    yl = horizontal(c) if math.hypot(c[0], c[1]) >= 1e-6 else np.array([0.0, 1.0, 0.0])
    xl = np.cross(yl, c)
    h1l, h2l = unit(np.cross(c, k1)), unit(np.cross(c, k2))
    v1l, v2l = unit(np.cross(h1l, k1)), unit(np.cross(h2l, k2))
    cos_beta, sin_beta = np.linalg.norm(np.cross(c, k1)), -(c @ k1)
    q1, q2 = unit([-(k1 @ xl), -(k1 @ yl)]), unit([k2 @ xl, k2 @ yl])
    phi = math.atan2(q1[0] * q2[1] - q1[1] * q2[0], q1 @ q2)
    s1, s2, sx = cylinder_series_ref(f, a, eps, abs(math.atan2(sin_beta, cos_beta)), phi, orders)
    mismatch = c @ k2 - c @ k1
    arg = mismatch * math.pi * f / C_LIGHT * length
    lam = math.sin(arg) / arg if abs(mismatch) >= 0.01 else 1.0
    pre = -1j * length * np.linalg.norm(np.cross(c, k2)) * lam / (math.pi * cos_beta)
    T = np.array([[s1, 1j * sx], [-1j * sx, s2]])

    def m(p, qv):
        b = T @ np.array([p @ v1l, p @ h1l])
        return pre * ((qv @ v2l) * b[0] + (qv @ h2l) * b[1])
    return m(v1, v2), m(h1, h2)


def trunk_ground_ref(freq, soil, trunk, d_trunk, d_ground, normals, orders=None):
    f, s, t = f32(freq), soil.astype(float), trunk.astype(float)
    eps_soil = soil_eps(freq, soil, s[7], True)
    eps_trunk = vegetation_eps(f, t[2], t[3])
    k0 = 2 * math.pi * f / C_LIGHT
    out = []
    for dt, dg, n in zip(d_trunk, d_ground, normals):
        dt, dg, n = unit(dt), unit(dg), unit(n)
        mu = max(abs(dg @ n), 0.001)
        rh, rv = fresnel_snell(mu, eps_soil)
        coherent = math.exp(-((2 * k0 * s[10] * mu) ** 2))
        vv, hh = finite_cylinder_ref(dt, dg, unit(t[4:7]), f, t[0], t[1], eps_trunk, orders)
        area = max(2 * t[0] * t[1] * math.sqrt(1 - mu * mu) + 4 * t[0] ** 2 * mu, 1e-6)
        scale = 8 * math.pi / area * coherent
        out.append([scale * rh * abs(hh) ** 2, scale * rv * abs(vv) ** 2])
    return np.array(out)


def dihedral_geometry(n_rows, seed):
    """A ray towards the trunk and its mirror image in the ground, with every third ground
    direction random and every fourth ground normal tilted."""
    rng = np.random.default_rng(seed)
    theta, phi = rng.uniform(0.2, 1.3, n_rows), rng.uniform(-math.pi, math.pi, n_rows)
    d_trunk = np.stack([np.sin(theta) * np.cos(phi), np.sin(theta) * np.sin(phi),
                        -np.cos(theta)], axis=1)
    d_ground = d_trunk * np.array([1.0, 1.0, -1.0])
    d_ground[::3] = rng.normal(size=(len(d_ground[::3]), 3))
    normals = np.tile([0.0, 0.0, 1.0], (n_rows, 1))
    normals[1::4] = [0.1, -0.05, 1.0]
    return d_trunk.astype(np.float32), d_ground.astype(np.float32), normals.astype(np.float32)


SOIL_C = soil_vector(sand=0.3, clay=0.2, mv=0.2, model=2.0, s=0.01)


@pytest.mark.parametrize("freq,radius,length,moisture,axis", [
    (0.435e9, 0.2, 10.0, 0.6, (0.0, 0.0, 1.0)),
    (1.4e9, 0.15, 8.0, 0.5, (0.0, 0.0, 1.0)),
    (1.4e9, 0.3, 12.0, 0.9, (0.1, 0.05, 1.0)),
    (3.2e9, 0.1, 5.0, 0.4, (0.3, -0.2, 0.9)),
    (5.3e9, 0.05, 3.0, 0.7, (0.0, 0.0, 1.0)),
    # Thick trunks, x = k0 a cos(beta) up to 33 (C band) and 63 (X band): orders 0..30 leave
    # errors of tens of percent (checked below); the series must run to about x + 4.6 x^(1/3).
    (5.3e9, 0.3, 12.0, 0.5, (0.0, 0.0, 1.0)),
    (5.3e9, 0.3, 12.0, 0.5, (0.2, 0.1, 1.0)),
    (10e9, 0.3, 12.0, 0.5, (0.0, 0.0, 1.0)),
    (10e9, 0.3, 8.0, 0.8, (-0.3, 0.2, 1.0)),
])
def test_trunk_ground_matches_converged_cylinder_series(freq, radius, length, moisture, axis):
    trunk = trunk_vector(radius=radius, length=length, moisture=moisture, axis=axis)
    geometry = dihedral_geometry(24, seed=int(freq) % 1000)
    got = v._evaluate_microwave_trunk_ground(freq, SOIL_C, trunk, *geometry)
    ref = trunk_ground_ref(freq, SOIL_C, trunk, *geometry)
    assert got.shape == (24, 2) and got.dtype == np.float32
    # Row by row, down to the length factor's nulls (the geometry is double precision).
    np.testing.assert_allclose(got, ref, rtol=1e-3, atol=1e-6 * ref.max())
    if radius == 0.3 and freq > 5e9:
        truncated = trunk_ground_ref(freq, SOIL_C, trunk, *geometry, orders=30)
        assert np.max(np.abs(truncated / ref - 1)) > 0.1


def trunk_ground_checked(freq, trunk, d_trunk, d_ground):
    d_trunk, d_ground = np.float32(d_trunk), np.float32(d_ground)
    normals = np.tile(np.float32([0.0, 0.0, 1.0]), (len(d_trunk), 1))
    got = v._evaluate_microwave_trunk_ground(freq, SOIL_C, trunk, d_trunk, d_ground, normals)
    ref = trunk_ground_ref(freq, SOIL_C, trunk, d_trunk, d_ground, normals)
    np.testing.assert_allclose(got, ref, rtol=1e-3)
    return got


def test_trunk_ground_near_end_on_incidence():
    # Within 3.5e-4 rad of the axis a single-precision angle rounds to end-on, where the series
    # vanishes; the double bounce actually grows as the incidence nears the axis.
    d_trunk = [[math.sin(o), 0.0, -math.cos(o)] for o in (3e-3, 1e-3, 3e-4, 1e-4)]
    for freq in (1.4e9, 5.3e9, 10e9):
        rows = trunk_ground_checked(freq, trunk_vector(), d_trunk, [[0.6, 0.3, 0.74]] * 4)
        assert np.all(rows[-1] >= rows.max(axis=0))


def test_trunk_ground_nearly_vertical_trunk():
    # Tilted by 0.01 degrees, a single-precision axis rounds to vertical, but the length factor's
    # phase (k0 L/2 = 1250 rad for 12 m at X band) sees the tilt in non-mirror geometries: tens
    # of percent at X band, under 1% in the rows chosen at L band (6 m).
    d_trunk = [[0.5, 0.0, -0.866], [0.6, 0.2, -0.77], [0.0, 0.5, -0.866], [0.5, 0.0, -0.866]]
    d_ground = [[-0.3, 0.4, 0.866], [0.1, -0.5, 0.86], [0.3, -0.2, 0.93], [0.5, 0.3, 0.81]]
    tilt = math.radians(0.01)
    (l_vertical, l_tilted), (x_vertical, x_tilted) = (
        [trunk_ground_checked(freq, trunk_vector(length=length, axis=axis), d_trunk, d_ground)
         for axis in ((0.0, 0.0, 1.0), (math.sin(tilt), 0.0, math.cos(tilt)))]
        for freq, length in ((1.4e9, 6.0), (10e9, 12.0)))
    np.testing.assert_allclose(l_tilted[[0, 2, 3]], l_vertical[[0, 2, 3]], rtol=1e-2)
    assert np.max(np.abs(x_tilted / x_vertical - 1)) > 0.2


def test_trunk_ground_rows_are_independent_deterministic_and_scale_free():
    soil, trunk = soil_vector(model=2.0), trunk_vector()
    d_trunk, d_ground, normals = dihedral_geometry(30, seed=5)
    rows = v._evaluate_microwave_trunk_ground(1.4e9, soil, trunk, d_trunk, d_ground, normals)
    np.testing.assert_array_equal(
        v._evaluate_microwave_trunk_ground(1.4e9, soil, trunk, d_trunk, d_ground, normals), rows)
    np.testing.assert_array_equal(v._evaluate_microwave_trunk_ground(
        1.4e9, soil, trunk, d_trunk[7:9], d_ground[7:9], normals[7:9]), rows[7:9])
    # Every vector is normalised, in double precision: exact power-of-two scalings, far beyond
    # where a single-precision squared length overflows (1.8e19) or underflows, change nothing.
    for scale in (2.0**64, 2.0**-80, 0.5):
        scaled = [(scale * a).astype(np.float32) for a in (d_trunk, d_ground, normals)]
        np.testing.assert_array_equal(
            v._evaluate_microwave_trunk_ground(1.4e9, soil, trunk, *scaled), rows)
    # An axis within 1e-6 rad of vertical has no azimuth.
    tilted = trunk_vector(axis=(1e-9, 1e-9, 1.0))
    np.testing.assert_allclose(v._evaluate_microwave_trunk_ground(
        1.4e9, soil, tilted, d_trunk, d_ground, normals), rows, rtol=1e-5)
    empty = np.zeros((0, 3), np.float32)
    assert v._evaluate_microwave_trunk_ground(1.4e9, soil, trunk, empty, empty, empty).shape == \
        (0, 2)


# ----------------------------------------------------------------------------------------------
# Argument handling and messages

def test_shapes_and_conversions():
    p, t = soil_vector(), trunk_vector()
    for fn, params, width in ((v._evaluate_microwave_soil, p, 4),
                              (v._evaluate_microwave_soil_reflectivity, p, 2),
                              (v._evaluate_microwave_trunk, t, 4)):
        out = fn(1.4e9, params, COSINES)
        assert out.shape == (len(COSINES), width) and out.dtype == np.float32
        assert out.flags.c_contiguous and out.flags.owndata
        assert fn(1.4e9, params, np.zeros(0, np.float32)).shape == (0, width)
        # float64, lists, strided views and longer vectors are all accepted.
        np.testing.assert_array_equal(fn(1.4e9, params.astype(np.float64), COSINES.tolist()), out)
        np.testing.assert_array_equal(fn(1.4e9, np.append(params, 7.0), COSINES), out)
        wide = np.zeros(2 * len(params), np.float32)
        wide[::2] = params
        np.testing.assert_array_equal(fn(1.4e9, wide[::2], np.repeat(COSINES, 2)[::2]), out)
        # mu = max(|cosine|, 0.001)
        rows = fn(1.4e9, params, np.array([0.0, -0.0004, 0.001, 0.5, -0.5], np.float32))
        np.testing.assert_array_equal(rows[[0, 1, 3]], rows[[2, 2, 4]])


SOIL, TRUNK, C2 = soil_vector(), trunk_vector(), np.array([0.5, 0.7], np.float32)
D, N = np.tile(np.float32([0.6, 0.0, -0.8]), (5, 1)), np.tile(np.float32([0.0, 0.0, 1.0]), (5, 1))
PER_COSINE = {
    "soil": lambda f, p, c: v._evaluate_microwave_soil(f, p, c),
    "active": lambda f, p, c: v._evaluate_microwave_soil(f, p, c, active=True),
    "reflectivity": lambda f, p, c: v._evaluate_microwave_soil_reflectivity(f, p, c),
    "trunk": lambda f, p, c: v._evaluate_microwave_trunk(f, p, c),
}
SOILS, BAD = ("soil", "active", "reflectivity"), (math.nan, math.inf, -math.inf)


def with_value(vector, i, value):
    out = vector.copy()
    out[i] = value
    return out


def per_cosine(name, p=None, c=C2, f=1.4e9):
    p = (TRUNK if name == "trunk" else SOIL) if p is None else p
    return lambda: PER_COSINE[name](f, p, c)


def trunk(t=TRUNK, f=1.4e9):
    return per_cosine("trunk", p=t, f=f)


def ground(t=TRUNK, d_trunk=D[:2], d_ground=D[:2], normals=N[:2], f=1.4e9, soil=SOIL):
    return lambda: v._evaluate_microwave_trunk_ground(f, soil, t, d_trunk, d_ground, normals)


M_SOIL, M_TRUNK = ("soil parameters must be a 1D array with 12 values",
                   "trunk parameters must be a 1D array with 7 values")
M_FREQ, M_VECTORS = ("frequency must be a finite positive value in Hz",
                     "direction and normal vectors must be finite and non-zero")
M_SOIL_EPS, M_TRUNK_EPS = ("soil parameters give a non-finite permittivity",
                           "trunk parameters give a non-finite permittivity")
MESSAGES = [  # (call, message); listed in the order each function checks
    *[(per_cosine(n, p=bad), M_SOIL)
      for n in SOILS for bad in (SOIL[:11], SOIL.reshape(3, 4), np.float32(1), [])],
    *[(trunk(t=bad), M_TRUNK) for bad in (TRUNK[:6], TRUNK.reshape(1, 7), [])],
    *[(per_cosine(n, p=(TRUNK if n == "trunk" else SOIL)[:6], c=np.zeros((2, 2))),
       M_TRUNK if n == "trunk" else M_SOIL) for n in PER_COSINE],  # before the cosines
    *[(per_cosine(n, c=bad), "cosines must be a 1D array")
      for n in PER_COSINE for bad in (np.zeros((2, 2)), np.float32(0.5))],
    *[(per_cosine(n, f=f), M_FREQ) for n in PER_COSINE for f in (0.0, -1.4e9, math.nan, math.inf)],
    *[(ground(f=f), M_FREQ) for f in (0.0, math.nan)],
    *[(per_cosine(n, p=with_value(SOIL, i, bad)), "soil parameters must be finite")
      for n in SOILS for i in range(12) for bad in BAD],
    *[(call(t=with_value(TRUNK, i, bad)), "trunk parameters must be finite")
      for call in (trunk, ground) for i in range(7) for bad in BAD],
    *[(per_cosine(n, c=[0.5, bad]), "cosines must be finite") for n in PER_COSINE for bad in BAD],
    *[(per_cosine(n, c=[0.5, bad]), "cosines must lie between -1 and 1")
      for n in PER_COSINE for bad in (1.0001, -1.5, 3e38)],
    # Values far outside any physical range, which would give NaN rows, are refused.
    *[(call(t=with_value(TRUNK, i, x)), M_TRUNK_EPS) for call in (trunk, ground)
      for i, x in ((2, 1e30), (3, -1e30))],
    (trunk(f=3e38), M_TRUNK_EPS), (ground(f=3e38), M_TRUNK_EPS),
    (per_cosine("soil", p=soil_vector(mv=1e15, model=0.0)), M_SOIL_EPS),
    (per_cosine("reflectivity", p=soil_vector(sand=40.0, mv=3.0)), M_SOIL_EPS),
    # Trunk-ground: parameter vectors, then shapes, then values.
    (ground(soil=SOIL[:11], t=TRUNK[:6], normals=N[:1]), M_SOIL),
    (ground(t=TRUNK[:6], normals=N[:1]), M_TRUNK),
    *[(ground(d_trunk=a, d_ground=b, normals=c),
       r"direction and normal arrays must all have shape \(N, 3\)") for a, b, c in [
        (D, D, N[:4]), (D[:, :2], D[:, :2], N[:, :2]), (D[0], D[0], N[0]), (D, D[:4], N),
        (D[None], D[None], N[None]), (D, D, N[:, :2])]],
    *[(ground(**{name: with_value(D[:2] if name[0] == "d" else N[:2], (1, 2), bad)}), M_VECTORS)
      for name in ("d_trunk", "d_ground", "normals") for bad in BAD],
    (ground(normals=with_value(N[:2], 0, 0.0)), M_VECTORS),
    *[(ground(t=with_value(TRUNK, i, x)), "trunk radius and length must be positive")
      for i, x in ((0, 0.0), (0, -0.1), (1, 0.0))],
    (ground(t=with_value(TRUNK, slice(4, 7), 0.0)), "trunk axis must be a non-zero vector"),
]


@pytest.mark.parametrize("call,message", MESSAGES, ids=[f"{i}:{m[:24]}" for i, (_, m) in
                                                        enumerate(MESSAGES)])
def test_bad_input_is_refused_with_its_message(call, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        call()
