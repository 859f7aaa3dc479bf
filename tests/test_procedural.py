"""Procedural meshes: ground plane, icosphere and open cylinder."""

import math

import numpy as np
import pytest

import velm_gpu as velm

GOLDEN = (1.0 + math.sqrt(5.0)) / 2.0
ICOSAHEDRON = np.array(
    [(-1, GOLDEN, 0), (1, GOLDEN, 0), (-1, -GOLDEN, 0), (1, -GOLDEN, 0),
     (0, -1, GOLDEN), (0, 1, GOLDEN), (0, -1, -GOLDEN), (0, 1, -GOLDEN),
     (GOLDEN, 0, -1), (GOLDEN, 0, 1), (-GOLDEN, 0, -1), (-GOLDEN, 0, 1)])
ICOSAHEDRON /= np.linalg.norm(ICOSAHEDRON, axis=1, keepdims=True)
ICOSAHEDRON_FACES = np.array(
    [(0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11), (1, 5, 9), (5, 11, 4),
     (11, 10, 2), (10, 7, 6), (7, 1, 8), (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8), (3, 8, 9),
     (4, 9, 5), (2, 4, 11), (6, 2, 10), (8, 6, 7), (9, 8, 1)])


def face_normals(mesh):
    """Unnormalised geometric normals (v1 - v0) x (v2 - v0), in double precision."""
    v, t = mesh["vertices"].astype(np.float64), mesh["indices"]
    return np.cross(v[t[:, 1]] - v[t[:, 0]], v[t[:, 2]] - v[t[:, 0]])


def check_record(mesh, nv, nt):
    """Exactly the three keys in order, fresh C-contiguous float32/int32 arrays of (n, 3)."""
    assert list(mesh) == ["vertices", "normals", "indices"]
    for key, dtype, n in (("vertices", np.float32, nv), ("normals", np.float32, nv),
                          ("indices", np.int32, nt)):
        a = mesh[key]
        assert a.dtype == dtype and a.shape == (n, 3), key
        assert a.flags.c_contiguous and a.flags.owndata and a.flags.writeable, key


def ground_plane_expected(half_w, half_h, max_tri_edge):
    """Vertices and triangles of the grid, row by row, computed independently in float32."""
    f = np.float32
    nx = max(1, int(math.ceil(f(2) * f(half_w) / f(max_tri_edge))))
    ny = max(1, int(math.ceil(f(2) * f(half_h) / f(max_tri_edge))))
    verts = [(f(i) / f(nx) * f(2) * f(half_w) - f(half_w),
              f(j) / f(ny) * f(2) * f(half_h) - f(half_h), 0.0)
             for j in range(ny + 1) for i in range(nx + 1)]
    tris = []
    for a in (j * (nx + 1) + i for j in range(ny) for i in range(nx)):
        tris += [(a, a + 1, a + nx + 1), (a + 1, a + nx + 2, a + nx + 1)]
    return nx, ny, np.array(verts, np.float32), np.array(tris, np.int32)


@pytest.mark.parametrize(
    "half_w, half_h, edge",
    [
        (50.0, 50.0, 100.0),  # the defaults: one cell
        (10.0, 5.0, 3.0), (7.5, 0.25, 1.0), (3.3, 1.1, 0.7),
        (10.0, 10.0, 5.0),    # exact division: the ceiling adds no cell
        (3.0, 4.0, 1000.0),   # edge longer than the plane: one cell
        (2.0, 2.0, math.inf),
        (-3.0, -4.0, 1.0),    # negative half sizes: one cell per axis, mirrored corners
    ],
)
def test_ground_plane_grid(half_w, half_h, edge):
    defaults = (half_w, half_h, edge) == (50.0, 50.0, 100.0)
    g = velm.make_ground_plane(*(() if defaults else (half_w, half_h, 0, edge)))
    nx, ny, verts, tris = ground_plane_expected(half_w, half_h, edge)
    check_record(g, (nx + 1) * (ny + 1), 2 * nx * ny)
    np.testing.assert_allclose(g["vertices"], verts, rtol=1e-6, atol=1e-6)
    np.testing.assert_array_equal(g["indices"], tris)
    np.testing.assert_array_equal(g["normals"], np.tile([0, 0, 1], (len(verts), 1)))
    # counter-clockwise from above, and the cells tile the rectangle exactly
    n = face_normals(g)
    assert np.all(n[:, 2] > 0) and np.allclose(n[:, :2], 0.0, atol=1e-9)
    assert 0.5 * n[:, 2].sum() == pytest.approx(4 * half_w * half_h, rel=1e-5)
    # the material id changes nothing, and every call returns new arrays
    g["vertices"][:] = 0
    again = velm.make_ground_plane(half_w, half_h, 7, edge)
    np.testing.assert_allclose(again["vertices"], verts, rtol=1e-6, atol=1e-6)
    np.testing.assert_array_equal(again["indices"], tris)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: velm.make_ground_plane(max_tri_edge=0.0), "the grid would exceed 16777216"),
        (lambda: velm.make_ground_plane(max_tri_edge=1e-6), "the grid would exceed 16777216"),
        (lambda: velm.make_ground_plane(max_tri_edge=math.nan), "must give a finite cell count"),
        (lambda: velm.make_ground_plane(0.0, 0.0, 0, 0.0), "must give a finite cell count"),
        (lambda: velm.make_ground_plane(math.inf, 1.0, 0, math.inf),
         "must give a finite cell count"),
        (lambda: velm.make_sphere(1.0, [1.0, 2.0], 1), "center must contain 3 floats"),
        (lambda: velm.make_sphere(1.0, [], 1), "center must contain 3 floats"),
        (lambda: velm.make_sphere(1.0, np.float32(1.0), 1), "center must contain 3 floats"),
        (lambda: velm.make_sphere(1.0, [0, 0, 0], 11), "subdivisions must be at most 10"),
        (lambda: velm.make_cylinder(1.0, 2.0, 0), "segments must be at least 1"),
        (lambda: velm.make_cylinder(1.0, 2.0, -1), "segments must be at least 1"),
        (lambda: velm.make_cylinder(math.nan, 2.0), "radius and height must be finite"),
        (lambda: velm.make_cylinder(1.0, math.inf), "radius and height must be finite"),
        (lambda: velm.make_sphere(1.0, [0, 0, 0], -1), "subdivisions must not be negative"),
        (lambda: velm.make_sphere(math.nan, [0, 0, 0]), "radius and center must be finite"),
        (lambda: velm.make_sphere(1.0, [0, math.nan, 0]), "radius and center must be finite"),
        (lambda: velm.make_cylinder(1.0, 2.0, 2**31 - 1), "segments must be at most 16777216"),
    ],
)
def test_unbuildable_meshes_are_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_icosahedron_and_center():
    c, r = np.array([1.0, -2.0, 3.5]), 2.5
    m = velm.make_sphere(r, c, 0)
    np.testing.assert_allclose(m["vertices"], c + r * ICOSAHEDRON, rtol=0, atol=2e-6)
    np.testing.assert_allclose(m["normals"], ICOSAHEDRON, rtol=0, atol=1e-6)
    np.testing.assert_array_equal(m["indices"], ICOSAHEDRON_FACES)
    # the centre is read as the first three values of any array-like
    for center in (np.r_[c, 99.0], tuple(c), c[None, :]):
        np.testing.assert_array_equal(velm.make_sphere(r, center, 0)["vertices"], m["vertices"])


@pytest.mark.parametrize("s, nv, nt", [(0, 12, 20), (1, 72, 80), (None, 312, 320),
                                       (3, 1272, 1280)])  # None: the default, 2
def test_sphere_surface(s, nv, nt):
    c, r = np.array([10.0, 0.0, -4.0]), 0.75
    m = velm.make_sphere(r, c) if s is None else velm.make_sphere(r, c, s)
    check_record(m, nv, nt)
    v, n = m["vertices"].astype(np.float64), m["normals"].astype(np.float64)
    np.testing.assert_allclose(np.linalg.norm(v - c, axis=1), r, rtol=2e-6)
    np.testing.assert_allclose(n, (v - c) / r, atol=2e-6)
    np.testing.assert_allclose(np.linalg.norm(n, axis=1), 1.0, rtol=2e-6)
    # faces wind outward, and the closed surface's signed areas cancel
    fn = face_normals(m)
    assert np.all(np.einsum("ij,ij->i", fn, v[m["indices"]].mean(axis=1) - c) > 0)
    np.testing.assert_allclose(fn.sum(axis=0), 0.0, atol=1e-5)


def test_subdivision_appends_three_midpoints_per_face():
    m = velm.make_sphere(1.0, [0, 0, 0], 1)
    v = m["vertices"].astype(np.float64)
    expected = []
    for k, (a, b, c) in enumerate(ICOSAHEDRON_FACES):
        ab, bc, ca = 12 + 3 * k, 13 + 3 * k, 14 + 3 * k
        for i, j, mid in ((a, b, ab), (b, c, bc), (c, a, ca)):
            want = ICOSAHEDRON[i] + ICOSAHEDRON[j]
            np.testing.assert_allclose(v[mid], want / np.linalg.norm(want), atol=1e-6)
        expected += [(a, ab, ca), (b, bc, ab), (c, ca, bc), (ab, bc, ca)]
    np.testing.assert_array_equal(m["indices"], expected)


@pytest.mark.parametrize("segments", [None, 3, 17])
def test_cylinder(segments):
    r, h, n = 0.3, 4.0, segments or 8
    m = velm.make_cylinder(r, h) if segments is None else velm.make_cylinder(r, h, segments)
    check_record(m, 2 * n + 2, 2 * n)
    # column i at angle i * 2 pi / n (2 pi in single precision); the last repeats the first
    angle = np.arange(n + 1, dtype=np.float32) * np.float32(6.2831855) / np.float32(n)
    cos, sin = np.cos(angle.astype(np.float64)), np.sin(angle.astype(np.float64))
    ring = np.c_[r * cos, r * sin]
    np.testing.assert_allclose(m["vertices"][0::2], np.c_[ring, np.zeros(n + 1)], atol=1e-6)
    np.testing.assert_allclose(m["vertices"][1::2], np.c_[ring, np.full(n + 1, h)], atol=1e-6)
    for half in (m["normals"][0::2], m["normals"][1::2]):
        np.testing.assert_allclose(half, np.c_[cos, sin, np.zeros(n + 1)], atol=1e-6)
    b = 2 * np.arange(n)[:, None]
    np.testing.assert_array_equal(m["indices"],
                                  np.stack([b + [0, 2, 1], b + [1, 2, 3]], 1).reshape(-1, 3))
    # faces are vertical and wind outward
    fn = face_normals(m)
    radial = m["vertices"].astype(np.float64)[m["indices"]].mean(axis=1) * [1, 1, 0]
    assert np.all(np.einsum("ij,ij->i", fn, radial) > 0)
    np.testing.assert_allclose(fn[:, 2], 0.0, atol=1e-5)
