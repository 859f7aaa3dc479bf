"""Procedural meshes: ground plane, icosphere and open cylinder."""

import math

import numpy as np
import pytest

import velm_gpu as velm

KEYS = ["vertices", "normals", "indices"]
F32_TWO_PI = np.float32(6.2831855)
GOLDEN = (1.0 + math.sqrt(5.0)) / 2.0
ICOSAHEDRON = np.array(
    [
        (-1, GOLDEN, 0), (1, GOLDEN, 0), (-1, -GOLDEN, 0), (1, -GOLDEN, 0),
        (0, -1, GOLDEN), (0, 1, GOLDEN), (0, -1, -GOLDEN), (0, 1, -GOLDEN),
        (GOLDEN, 0, -1), (GOLDEN, 0, 1), (-GOLDEN, 0, -1), (-GOLDEN, 0, 1),
    ]
)
ICOSAHEDRON /= np.linalg.norm(ICOSAHEDRON, axis=1, keepdims=True)
ICOSAHEDRON_FACES = np.array(
    [
        (0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11),
        (1, 5, 9), (5, 11, 4), (11, 10, 2), (10, 7, 6), (7, 1, 8),
        (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8), (3, 8, 9),
        (4, 9, 5), (2, 4, 11), (6, 2, 10), (8, 6, 7), (9, 8, 1),
    ]
)


def face_normals(mesh):
    """Unnormalised geometric normals (v1 - v0) x (v2 - v0), in double precision."""
    v = mesh["vertices"].astype(np.float64)
    t = mesh["indices"]
    return np.cross(v[t[:, 1]] - v[t[:, 0]], v[t[:, 2]] - v[t[:, 0]])


def check_record(mesh, nv, nt):
    assert list(mesh) == KEYS
    for key, dtype, n in (("vertices", np.float32, nv), ("normals", np.float32, nv),
                          ("indices", np.int32, nt)):
        a = mesh[key]
        assert a.dtype == dtype, key
        assert a.shape == (n, 3), key
        assert a.flags.c_contiguous and a.flags.owndata and a.flags.writeable, key


def ground_plane_expected(half_w, half_h, max_tri_edge):
    """Vertices and triangles of the grid, row by row, computed independently in float32."""
    f = np.float32
    nx = max(1, int(math.ceil(f(2) * f(half_w) / f(max_tri_edge))))
    ny = max(1, int(math.ceil(f(2) * f(half_h) / f(max_tri_edge))))
    verts = []
    for j in range(ny + 1):
        for i in range(nx + 1):
            x = f(i) / f(nx) * f(2) * f(half_w) - f(half_w)
            y = f(j) / f(ny) * f(2) * f(half_h) - f(half_h)
            verts.append((x, y, 0.0))
    tris = []
    for j in range(ny):
        for i in range(nx):
            a = j * (nx + 1) + i
            tris += [(a, a + 1, a + nx + 1), (a + 1, a + nx + 2, a + nx + 1)]
    return nx, ny, np.array(verts, np.float32), np.array(tris, np.int32)


class TestGroundPlane:
    def test_defaults(self):
        g = velm.make_ground_plane()
        check_record(g, 4, 2)
        np.testing.assert_array_equal(
            g["vertices"], [[-50, -50, 0], [50, -50, 0], [-50, 50, 0], [50, 50, 0]]
        )
        np.testing.assert_array_equal(g["indices"], [[0, 1, 2], [1, 3, 2]])
        np.testing.assert_array_equal(g["normals"], np.tile([0, 0, 1], (4, 1)))

    @pytest.mark.parametrize(
        "half_w, half_h, edge",
        [(10.0, 5.0, 3.0), (1.0, 1.0, 0.5), (7.5, 0.25, 1.0), (2.0, 3.0, 1.0), (3.3, 1.1, 0.7)],
    )
    def test_grid_cells_and_order(self, half_w, half_h, edge):
        g = velm.make_ground_plane(half_w, half_h, 0, edge)
        nx, ny, verts, tris = ground_plane_expected(half_w, half_h, edge)
        check_record(g, (nx + 1) * (ny + 1), 2 * nx * ny)
        np.testing.assert_allclose(g["vertices"], verts, rtol=1e-6, atol=1e-6)
        np.testing.assert_array_equal(g["indices"], tris)
        # every cell edge is at most max_tri_edge long
        assert 2 * half_w / nx <= edge * (1 + 1e-6) and 2 * half_h / ny <= edge * (1 + 1e-6)
        # the grid tiles the rectangle exactly
        area = 0.5 * np.linalg.norm(face_normals(g), axis=1).sum()
        assert area == pytest.approx(4 * half_w * half_h, rel=1e-5)

    def test_cell_count_for_exact_division(self):
        # 2 * 10 / 5 is exactly 4 cells; the ceiling adds none.
        g = velm.make_ground_plane(10.0, 10.0, max_tri_edge=5.0)
        assert g["vertices"].shape == (25, 3)
        assert g["indices"].shape == (32, 3)

    def test_triangles_wind_counter_clockwise_from_above(self):
        g = velm.make_ground_plane(4.0, 3.0, max_tri_edge=1.0)
        n = face_normals(g)
        assert np.all(n[:, 2] > 0)
        np.testing.assert_allclose(n[:, :2], 0.0, atol=1e-9)

    def test_edge_larger_than_plane_gives_one_cell(self):
        g = velm.make_ground_plane(3.0, 4.0, max_tri_edge=1000.0)
        check_record(g, 4, 2)
        np.testing.assert_array_equal(g["vertices"][[0, 3]], [[-3, -4, 0], [3, 4, 0]])

    def test_negative_half_sizes_give_one_cell_per_axis(self):
        g = velm.make_ground_plane(-3.0, -4.0, max_tri_edge=1.0)
        check_record(g, 4, 2)
        # x = i / nx * 2 * half_w - half_w runs from +3 to -3: the plane is mirrored
        np.testing.assert_array_equal(
            g["vertices"], [[3, 4, 0], [-3, 4, 0], [3, -4, 0], [-3, -4, 0]]
        )
        np.testing.assert_array_equal(g["indices"], [[0, 1, 2], [1, 3, 2]])

    def test_material_id_does_not_change_the_mesh(self):
        a = velm.make_ground_plane(5.0, 5.0, 0, 2.0)
        b = velm.make_ground_plane(5.0, 5.0, 7, 2.0)
        for k in KEYS:
            np.testing.assert_array_equal(a[k], b[k])

    def test_results_are_fresh_arrays(self):
        a = velm.make_ground_plane()
        a["vertices"][:] = 0
        a["indices"][:] = 0
        b = velm.make_ground_plane()
        assert b["vertices"][0, 0] == -50.0
        assert b["indices"][1, 1] == 3

    @pytest.mark.parametrize(
        "kwargs",
        [
            dict(max_tri_edge=0.0),                   # 100 / 0: unbounded grid
            dict(max_tri_edge=1e-6),                  # 1e8 cells per axis
            dict(max_tri_edge=float("nan")),
            dict(half_w=0.0, half_h=0.0, max_tri_edge=0.0),  # 0 / 0
            dict(half_w=float("inf"), max_tri_edge=float("inf")),
        ],
    )
    def test_unbounded_or_undefined_grids_are_refused(self, kwargs):
        with pytest.raises(ValueError, match="make_ground_plane"):
            velm.make_ground_plane(**kwargs)

    def test_infinite_edge_gives_one_cell(self):
        g = velm.make_ground_plane(2.0, 2.0, max_tri_edge=float("inf"))
        check_record(g, 4, 2)


class TestSphere:
    @pytest.mark.parametrize("s, nv, nt", [(0, 12, 20), (1, 72, 80), (2, 312, 320),
                                           (3, 1272, 1280)])
    def test_counts(self, s, nv, nt):
        assert nv == 12 + sum(3 * 20 * 4**k for k in range(s))
        assert nt == 20 * 4**s
        check_record(velm.make_sphere(1.0, [0, 0, 0], s), nv, nt)

    def test_default_subdivisions_is_two(self):
        check_record(velm.make_sphere(1.0, [0, 0, 0]), 312, 320)


    def test_icosahedron(self):
        c = np.array([1.0, -2.0, 3.5])
        r = 2.5
        m = velm.make_sphere(r, c, 0)
        np.testing.assert_allclose(m["vertices"], c + r * ICOSAHEDRON, rtol=0, atol=2e-6)
        np.testing.assert_allclose(m["normals"], ICOSAHEDRON, rtol=0, atol=1e-6)
        np.testing.assert_array_equal(m["indices"], ICOSAHEDRON_FACES)
        d = np.linalg.norm(m["vertices"].astype(np.float64) - c, axis=1)
        np.testing.assert_allclose(d, r, rtol=1e-6)

    @pytest.mark.parametrize("s", [0, 1, 2, 3])
    def test_vertices_lie_on_the_sphere_and_normals_point_out(self, s):
        c = np.array([10.0, 0.0, -4.0])
        r = 0.75
        m = velm.make_sphere(r, c, s)
        v = m["vertices"].astype(np.float64)
        np.testing.assert_allclose(np.linalg.norm(v - c, axis=1), r, rtol=2e-6)
        n = m["normals"].astype(np.float64)
        np.testing.assert_allclose(np.linalg.norm(n, axis=1), 1.0, rtol=2e-6)
        np.testing.assert_allclose(n, (v - c) / r, atol=2e-6)

    @pytest.mark.parametrize("s", [0, 1, 2, 3])
    def test_faces_wind_outward(self, s):
        c = np.array([1.0, 2.0, 3.0])
        m = velm.make_sphere(2.0, c, s)
        v = m["vertices"].astype(np.float64)
        centroid = v[m["indices"]].mean(axis=1)
        assert np.all(np.einsum("ij,ij->i", face_normals(m), centroid - c) > 0)
        # closed surface: the signed areas cancel
        np.testing.assert_allclose(face_normals(m).sum(axis=0), 0.0, atol=1e-4)

    def test_one_subdivision_duplicates_every_midpoint(self):
        m = velm.make_sphere(1.0, [0, 0, 0], 1)
        mids = m["vertices"][12:]
        assert len(mids) == 60
        _, counts = np.unique(np.round(mids.astype(np.float64), 5), axis=0, return_counts=True)
        assert len(counts) == 30 and np.all(counts == 2)  # 30 icosahedron edges, each twice
        corners = np.round(m["vertices"][:12].astype(np.float64), 5)
        assert not any((np.round(mids, 5) == c).all(axis=1).any() for c in corners)

    def test_one_subdivision_face_order(self):
        m = velm.make_sphere(1.0, [0, 0, 0], 1)
        v = m["vertices"].astype(np.float64)
        expected = []
        for k, (a, b, c) in enumerate(ICOSAHEDRON_FACES):
            ab, bc, ca = 12 + 3 * k, 13 + 3 * k, 14 + 3 * k
            for i, j, mid in ((a, b, ab), (b, c, bc), (c, a, ca)):
                want = (ICOSAHEDRON[i] + ICOSAHEDRON[j]) / 2
                np.testing.assert_allclose(v[mid], want / np.linalg.norm(want), atol=1e-6)
            expected += [(a, ab, ca), (b, bc, ab), (c, ca, bc), (ab, bc, ca)]
        np.testing.assert_array_equal(m["indices"], expected)

    def test_center_is_read_as_its_first_three_values(self):
        a = velm.make_sphere(1.0, np.array([1.0, 2.0, 3.0, 99.0]), 0)
        b = velm.make_sphere(1.0, (1, 2, 3), 0)
        c = velm.make_sphere(1.0, np.array([[1.0, 2.0, 3.0]], np.float64), 0)
        np.testing.assert_array_equal(a["vertices"], b["vertices"])
        np.testing.assert_array_equal(a["vertices"], c["vertices"])

    @pytest.mark.parametrize("center", [[1.0, 2.0], [], np.float32(1.0)])
    def test_short_center_is_refused(self, center):
        with pytest.raises(ValueError):
            velm.make_sphere(1.0, center, 1)

    def test_excessive_subdivision_is_refused(self):
        with pytest.raises(ValueError):
            velm.make_sphere(1.0, [0, 0, 0], 11)


class TestCylinder:
    def test_eight_segments(self):
        r, h = 0.3, 4.0
        m = velm.make_cylinder(r, h, 8)
        check_record(m, 18, 16)
        angle = np.arange(9, dtype=np.float32) * F32_TWO_PI / np.float32(8)
        cos, sin = np.cos(angle.astype(np.float64)), np.sin(angle.astype(np.float64))
        v = m["vertices"]
        np.testing.assert_allclose(v[0::2], np.c_[r * cos, r * sin, np.zeros(9)], atol=1e-6)
        np.testing.assert_allclose(v[1::2], np.c_[r * cos, r * sin, np.full(9, h)], atol=1e-6)
        n = np.c_[cos, sin, np.zeros(9)]
        np.testing.assert_allclose(m["normals"][0::2], n, atol=1e-6)
        np.testing.assert_allclose(m["normals"][1::2], n, atol=1e-6)
        # the ninth column closes the ring on the first
        np.testing.assert_allclose(v[16:18], v[0:2], atol=1e-6)
        b = 2 * np.arange(8)[:, None]
        expected = np.stack([b + [0, 2, 1], b + [1, 2, 3]], axis=1).reshape(-1, 3)
        np.testing.assert_array_equal(m["indices"], expected)

    def test_default_segments_is_eight(self):
        check_record(velm.make_cylinder(1.0, 2.0), 18, 16)

    @pytest.mark.parametrize("segments", [3, 8, 17])
    def test_faces_wind_outward_and_are_vertical(self, segments):
        m = velm.make_cylinder(1.0, 2.0, segments)
        fn = face_normals(m)
        v = m["vertices"].astype(np.float64)
        centroid = v[m["indices"]].mean(axis=1)
        radial = centroid.copy()
        radial[:, 2] = 0
        assert np.all(np.einsum("ij,ij->i", fn, radial) > 0)
        np.testing.assert_allclose(fn[:, 2], 0.0, atol=1e-5)


    def test_zero_segments_is_refused(self):
        with pytest.raises(ValueError):
            velm.make_cylinder(1.0, 2.0, 0)

    def test_excessive_segments_are_refused(self):
        with pytest.raises(ValueError):
            velm.make_cylinder(1.0, 2.0, 2**31 - 1)


class TestProceduralMeshesFeedAddMesh:
    def test_all_three_are_accepted_as_they_come(self):
        s = velm.EmbreeSceneManager()
        meshes = [velm.make_ground_plane(10, 10, 0, 5), velm.make_sphere(1.0, [0, 0, 2], 2),
                  velm.make_cylinder(0.2, 1.5, 6)]
        ids = [s.add_mesh(m["vertices"], m["normals"], m["indices"]) for m in meshes]
        assert ids == [0, 1, 2]
        assert s.total_triangles() == 32 + 320 + 12


# Counts below their minimum and values that are not finite would give empty or NaN meshes
# that add_mesh then refuses far from the cause; the generators refuse them themselves.
@pytest.mark.parametrize("call, message", [
    (lambda: velm.make_cylinder(1.0, 2.0, -1), "segments must be at least 1"),
    (lambda: velm.make_cylinder(float("nan"), 2.0), "radius and height must be finite"),
    (lambda: velm.make_cylinder(1.0, float("inf")), "radius and height must be finite"),
    (lambda: velm.make_sphere(1.0, [0, 0, 0], -1), "subdivisions must not be negative"),
    (lambda: velm.make_sphere(float("nan"), [0, 0, 0]), "radius and center must be finite"),
    (lambda: velm.make_sphere(1.0, [0, float("nan"), 0]), "radius and center must be finite"),
    (lambda: velm.make_ground_plane(float("inf"), 1.0), "finite cell count"),
])
def test_bad_counts_and_values_are_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call()
