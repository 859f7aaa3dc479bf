"""EmbreeSceneManager: scene description, validation messages, bounds and build state."""

import math
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import scenes
import velm_gpu as velm

IDENTITY = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0], np.float32)
NO_NORMALS = np.zeros((0, 3), np.float32)
# A tetrahedron whose mesh-space box is the unit cube corner [0, 1]^3.
TETRA_V = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], np.float32)
TETRA_I = np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]], np.int32)
TRI_V = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], np.float32)
TRI_I = np.array([[0, 1, 2]], np.int32)

NO_VERTEX = "mesh must contain at least one vertex"
NO_TRIANGLE = "mesh must contain at least one triangle"
BAD_NORMALS = "mesh normals must be empty or have one entry per vertex"
NOT_1D = "array has incorrect number of dimensions: 2; expected 1"


def mesh_count(scene):
    """Reads the mesh count without changing anything: the mesh id check names it."""
    with pytest.raises(IndexError) as e:
        scene.add_instance(-1)
    return int(re.fullmatch(r"instance mesh id -1 is outside \[0, (\d+)\)", str(e.value))[1])


def snapshot(scene):
    # repr() keeps a NaN bound comparable with itself
    return (mesh_count(scene), scene.num_instances(), scene.total_triangles(),
            scene.has_meshes(), scene.is_built(), repr(scene.aabb()))


def raises_exactly(exc, message, fn, *args):
    """Calls fn expecting exactly the exception class exc with exactly `message`."""
    with pytest.raises(exc) as e:
        fn(*args)
    assert type(e.value) is exc
    assert str(e.value) == message


@pytest.fixture
def scene():
    return velm.EmbreeSceneManager()


@pytest.fixture
def tetra_scene():
    s = velm.EmbreeSceneManager()
    s.add_mesh(TETRA_V, NO_NORMALS, TETRA_I)
    return s


class TestInitialState:
    def test_new_scene(self, scene):
        assert scene.is_built() is False
        assert scene.has_meshes() is False
        assert scene.num_instances() == 0
        assert scene.total_triangles() == 0
        assert scene.aabb() == ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0))
        assert scene.min_height() == 0.0 and scene.max_height() == 0.0
        assert mesh_count(scene) == 0

    def test_empty_scene_builds(self, scene):
        scene.build()
        assert scene.is_built()
        assert scene.aabb() == ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0))


class TestAddMesh:
    def test_returns_consecutive_ids(self, scene):
        assert scene.add_mesh(TRI_V, NO_NORMALS, TRI_I) == 0
        assert scene.add_mesh(TRI_V, np.tile([0, 0, 1.0], (3, 1)), TRI_I, material_id=3) == 1
        assert scene.add_mesh(TETRA_V, NO_NORMALS, TETRA_I, 7) == 2
        assert mesh_count(scene) == 3
        assert scene.has_meshes() and scene.total_triangles() == 6

    @pytest.mark.parametrize(
        "vertices, normals, indices, message",
        [
            (np.zeros((0, 3)), NO_NORMALS, np.zeros((0, 3)), NO_VERTEX),
            # the vertex check comes first, whatever the triangles hold
            (np.zeros((0, 3)), NO_NORMALS, TRI_I, NO_VERTEX),
            (np.zeros((0, 3)), np.zeros((2, 3)), np.zeros((0, 3)), NO_VERTEX),
            (TRI_V, NO_NORMALS, np.zeros((0, 3)), NO_TRIANGLE),
            (TRI_V, np.zeros((5, 3)), np.zeros((0, 3)), NO_TRIANGLE),
            (TRI_V, np.zeros((2, 3)), TRI_I, BAD_NORMALS),
            (TRI_V, np.zeros((4, 3)), TRI_I, BAD_NORMALS),
            # the normals check comes before the triangle walk
            (TRI_V, np.zeros((2, 3)), [[0, 1, 9]], BAD_NORMALS),
            (TRI_V, NO_NORMALS, [[0, 1, 2]] * 5 + [[0, 1, 3]],
             "mesh triangle 5 references a vertex outside the vertex buffer"),
            (TRI_V, NO_NORMALS, [[0, 1, 2], [0, -1, 2]],
             "mesh triangle 1 references a vertex outside the vertex buffer"),
            (TRI_V, NO_NORMALS, [[3, 1, 2], [0, 1, 2], [0, 1, 7]],
             "mesh triangle 0 references a vertex outside the vertex buffer"),
            (TRI_V, NO_NORMALS, [[0, 1, 2]] * 7 + [[0, 1, -2**31]],
             "mesh triangle 7 references a vertex outside the vertex buffer"),
        ],
    )
    def test_validation_messages_in_order(self, tetra_scene, vertices, normals, indices, message):
        before = snapshot(tetra_scene)
        raises_exactly(ValueError, message, tetra_scene.add_mesh, vertices, normals, indices)
        assert snapshot(tetra_scene) == before

    @pytest.mark.parametrize(
        "which, array, ndim",
        [
            (0, np.zeros(9), 1),
            (0, np.zeros((1, 3, 3)), 3),
            (0, np.float32(1.0), 0),
            (1, np.zeros(0), 1),           # "no normals" must still be 2-D
            (1, np.zeros((3, 3, 1)), 3),
            (2, np.array([0, 1, 2]), 1),
            (2, np.zeros((1, 1, 3)), 3),
        ],
    )
    def test_dimension_check(self, tetra_scene, which, array, ndim):
        args = [TRI_V, NO_NORMALS, TRI_I]
        args[which] = array
        before = snapshot(tetra_scene)
        raises_exactly(ValueError, f"array has incorrect number of dimensions: {ndim}; expected 2",
                       tetra_scene.add_mesh, *args)
        assert snapshot(tetra_scene) == before

    @pytest.mark.parametrize(
        "which, array",
        [(0, np.zeros((3, 2))), (0, np.zeros((3, 0))), (1, np.zeros((3, 2))),
         (2, np.array([[0, 1]])), (2, np.zeros((1, 0)))],
    )
    def test_too_few_columns_are_refused(self, tetra_scene, which, array):
        args = [TRI_V, NO_NORMALS, TRI_I]
        args[which] = array
        before = snapshot(tetra_scene)
        raises_exactly(ValueError, "vertices, normals, and indices must have shape (N, 3)",
                       tetra_scene.add_mesh, *args)
        assert snapshot(tetra_scene) == before

    def test_extra_columns_are_ignored(self, scene):
        v = np.c_[TRI_V * 2, np.full(3, 100.0)]
        i = np.c_[TRI_I, [99]]
        assert scene.add_mesh(v, NO_NORMALS, i) == 0
        scene.add_instance(0)
        scene.build()
        assert scene.aabb() == ((0.0, 0.0, 0.0), (2.0, 2.0, 0.0))

    def test_caller_arrays_are_copied(self, scene):
        v = TETRA_V.copy()
        scene.add_mesh(v, NO_NORMALS, TETRA_I)
        v *= 10  # changing the caller's array afterwards changes nothing
        scene.add_instance(0)
        scene.build()
        assert scene.aabb() == ((0.0, 0.0, 0.0), (1.0, 1.0, 1.0))

    def test_material_id_is_not_checked(self, scene):
        assert scene.add_mesh(TRI_V, NO_NORMALS, TRI_I, material_id=12345) == 0
        assert scene.add_mesh(TRI_V, NO_NORMALS, TRI_I, material_id=-1) == 1


class TestInstances:
    @pytest.mark.parametrize("mesh_id", [5, 2, -1, -(2**31), 2**31 - 1])
    def test_mesh_id_check(self, scene, mesh_id):
        scene.add_mesh(TRI_V, NO_NORMALS, TRI_I)
        scene.add_mesh(TRI_V, NO_NORMALS, TRI_I)
        scene.add_instance(0)
        before = snapshot(scene)
        msg = f"instance mesh id {mesh_id} is outside [0, 2)"
        raises_exactly(IndexError, msg, scene.add_instance, mesh_id, 1.0, 2.0, 3.0)
        raises_exactly(IndexError, msg, scene.add_instance_xform, mesh_id, IDENTITY)
        raises_exactly(IndexError, msg, scene.add_instances_xform, mesh_id,
                       np.tile(IDENTITY, (3, 1)))
        assert snapshot(scene) == before

    def test_instance_ids_are_consecutive(self, tetra_scene):
        s = tetra_scene
        assert s.add_instance(0) == 0
        assert s.add_instance_xform(0, IDENTITY) == 1
        assert s.add_instance(0, 1.0) == 2
        assert s.num_instances() == 3

    def test_add_instances_xform_returns_previous_count(self, tetra_scene):
        s = tetra_scene
        for _ in range(3):
            s.add_instance(0)
        rows = np.tile(IDENTITY, (5, 1))
        rows[:, 3] = np.arange(5) * 10.0  # x translation per row
        assert s.add_instances_xform(0, rows) == 3
        assert s.num_instances() == 8
        assert s.add_instance(0) == 8  # ids continue after the batch
        s.build()
        # rows are placed in order; the last one reaches x = 40 + 1
        assert s.aabb() == ((0.0, 0.0, 0.0), (41.0, 1.0, 1.0))

    @pytest.mark.parametrize("mesh_id", [0, 99, -1])
    def test_add_instances_xform_with_no_rows(self, tetra_scene, mesh_id):
        s = tetra_scene
        s.add_instance(0)
        s.add_instance(0)
        # nothing is validated or added, not even the mesh id
        assert s.add_instances_xform(mesh_id, np.zeros((0, 12), np.float32)) == 2
        assert s.num_instances() == 2

    @pytest.mark.parametrize(
        "shape", [(5, 11), (2, 13), (12,), (0,), (0, 11), (1, 12, 1), (1, 1, 12), ()]
    )
    def test_add_instances_xform_shape(self, tetra_scene, shape):
        s = tetra_scene
        s.add_instance(0)
        before = snapshot(s)
        raises_exactly(RuntimeError, "add_instances_xform: expected (N, 12) float32 array",
                       s.add_instances_xform, 0, np.zeros(shape))
        assert snapshot(s) == before

    def test_add_instances_xform_casts_and_reads_strides(self, tetra_scene):
        s = tetra_scene
        rows = np.zeros((2, 24), np.float64)
        rows[:, ::2] = np.tile(IDENTITY, (2, 1))
        rows[1, 2 * 11] = 5.0  # z translation of the second row
        assert s.add_instances_xform(0, rows[:, ::2]) == 0
        assert s.add_instances_xform(0, [list(map(int, IDENTITY))]) == 2
        s.build()
        assert s.aabb() == ((0.0, 0.0, 0.0), (1.0, 1.0, 6.0))

    def test_add_instance_transform(self, tetra_scene):
        s = tetra_scene
        s.add_instance(0, 1, 2, 3, 2.0)
        s.build()
        # transform 2 0 0 1 / 0 2 0 2 / 0 0 2 3 on the unit box
        assert s.aabb() == ((1.0, 2.0, 3.0), (3.0, 4.0, 5.0))
        t = velm.EmbreeSceneManager()
        t.add_mesh(TETRA_V, NO_NORMALS, TETRA_I)
        t.add_instance_xform(0, [2, 0, 0, 1, 0, 2, 0, 2, 0, 0, 2, 3])
        t.build()
        assert t.aabb() == s.aabb()

    def test_add_instance_xform_is_row_major(self, tetra_scene):
        s = tetra_scene
        # x' = x + 2y + 10, y' = 3z + 20, z' = -x + 30: rows, translation in column 3
        xf = [1, 2, 0, 10, 0, 0, 3, 20, -1, 0, 0, 30]
        s.add_instance_xform(0, xf)
        s.build()
        assert s.aabb() == ((10.0, 20.0, 29.0), (13.0, 23.0, 30.0))

    def test_add_instance_xform_uses_first_twelve_values(self, tetra_scene):
        s = tetra_scene
        s.add_instance_xform(0, np.r_[IDENTITY, 99.0, 99.0])
        s.build()
        assert s.aabb() == ((0.0, 0.0, 0.0), (1.0, 1.0, 1.0))

    @pytest.mark.parametrize(
        "transform, exc, message",
        [
            (np.zeros(11), ValueError, "transform must contain 12 floats"),
            (np.zeros(0), ValueError, "transform must contain 12 floats"),
            (np.zeros((3, 4)), ValueError, NOT_1D),
            (np.zeros((1, 12)), ValueError, NOT_1D),
            (np.float32(1), ValueError, "array has incorrect number of dimensions: 0; expected 1"),
        ],
    )
    def test_add_instance_xform_refuses(self, tetra_scene, transform, exc, message):
        s = tetra_scene
        before = snapshot(s)
        raises_exactly(exc, message, s.add_instance_xform, 0, transform)
        assert snapshot(s) == before

    def test_total_triangles_counts_each_mesh_once(self, scene):
        g = velm.make_ground_plane(5.0, 2.5, 0, 1.0)  # 10 x 5 cells
        assert len(g["indices"]) == 100
        m = scene.add_mesh(g["vertices"], g["normals"], g["indices"])
        scene.add_instance(m)
        scene.add_instance(m, 20.0)
        assert scene.total_triangles() == 100
        assert scene.num_instances() == 2
        scene.add_mesh(TRI_V, NO_NORMALS, TRI_I)  # never instanced, still counted
        scene.add_instances_xform(m, np.tile(IDENTITY, (7, 1)))
        assert scene.total_triangles() == 101
        assert scene.num_instances() == 9


class TestBoundsAndBuild:
    def test_meshes_without_instances(self, tetra_scene):
        s = tetra_scene
        s.add_mesh(TRI_V + 5, NO_NORMALS, TRI_I)
        s.build()
        assert s.is_built()
        assert s.aabb() == ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0))
        assert s.min_height() == 0.0 and s.max_height() == 0.0

    def test_bounds_use_the_transformed_corners_of_the_mesh_box(self, scene):
        scene.add_mesh(TRI_V, NO_NORMALS, TRI_I)
        c = s_ = math.sqrt(0.5)
        xf = [c, -s_, 0, 0, s_, c, 0, 0, 0, 0, 1, 0]  # 45 degrees about z
        scene.add_instance_xform(0, xf)
        scene.build()
        (x0, y0, z0), (x1, y1, z1) = scene.aabb()
        # The triangle itself only reaches y = 0.707; the corner (1, 1, 0) of its box lands at
        # (0, 1.414, 0).
        assert y1 == pytest.approx(math.sqrt(2.0), rel=1e-6)
        assert x0 == pytest.approx(-c, rel=1e-6) and x1 == pytest.approx(c, rel=1e-6)
        assert y0 == pytest.approx(0.0, abs=1e-7)
        assert z0 == z1 == 0.0

    def test_bounds_of_random_affine_instances(self, scene):
        rng = np.random.default_rng(7)
        sphere = velm.make_sphere(1.5, [0.3, -0.2, 2.0], 1)
        m = scene.add_mesh(sphere["vertices"], sphere["normals"], sphere["indices"])
        xforms = rng.normal(size=(20, 12)).astype(np.float32)
        xforms[:, [3, 7, 11]] *= 50
        scene.add_instances_xform(m, xforms)
        scene.add_instance(m, -100.0, 0.0, 7.0, 3.0)
        all_xf = list(xforms) + [[3, 0, 0, -100, 0, 3, 0, 0, 0, 0, 3, 7]]
        scene.build()
        lo, hi = scenes.corner_bounds(sphere["vertices"], all_xf)
        got_lo, got_hi = scene.aabb()
        np.testing.assert_allclose(got_lo, lo, rtol=1e-5, atol=1e-4)
        np.testing.assert_allclose(got_hi, hi, rtol=1e-5, atol=1e-4)
        assert scene.min_height() == got_lo[2] and scene.max_height() == got_hi[2]

    def test_aabb_is_a_tuple_of_two_float_triples(self, tetra_scene):
        tetra_scene.add_instance(0)
        tetra_scene.build()
        box = tetra_scene.aabb()
        assert isinstance(box, tuple) and len(box) == 2
        for corner in box:
            assert isinstance(corner, tuple) and len(corner) == 3
            assert all(type(x) is float for x in corner)

    def test_adding_geometry_keeps_a_built_scene_built(self, tetra_scene):
        s = tetra_scene
        s.add_instance(0)
        s.build()
        s.add_instance(0, 10.0)
        s.add_mesh(TRI_V, NO_NORMALS, TRI_I)
        assert s.is_built()
        # bounds are those of the last computation until the next build
        assert s.aabb() == ((0.0, 0.0, 0.0), (1.0, 1.0, 1.0))
        s.build()
        assert s.aabb() == ((0.0, 0.0, 0.0), (11.0, 1.0, 1.0))

    def test_build_can_be_repeated(self, tetra_scene):
        s = tetra_scene
        s.add_instance(0)
        for _ in range(3):
            s.build()
        assert s.is_built() and s.aabb() == ((0.0, 0.0, 0.0), (1.0, 1.0, 1.0))


class TestUpdateAndRefit:
    @pytest.mark.parametrize("bad_id", [-1, 2, 100, -(2**31)])
    def test_id_out_of_range(self, tetra_scene, bad_id):
        s = tetra_scene
        s.add_instance(0)
        s.add_instance(0)
        before = snapshot(s)
        raises_exactly(RuntimeError, "update_instance_transform: id out of range",
                       s.update_instance_transform, bad_id, IDENTITY)
        assert snapshot(s) == before

    def test_no_instances(self, scene):
        raises_exactly(RuntimeError, "update_instance_transform: id out of range",
                       scene.update_instance_transform, 0, IDENTITY)

    @pytest.mark.parametrize(
        "transform, message",
        [
            (np.zeros(11), "transform must contain 12 floats"),
            (np.zeros((3, 4)), "array has incorrect number of dimensions: 2; expected 1"),
        ],
    )
    def test_transform_shape(self, tetra_scene, transform, message):
        s = tetra_scene
        s.add_instance(0)
        s.build()
        raises_exactly(ValueError, message, s.update_instance_transform, 0, transform)
        s.build_reuse_geometry()
        assert s.aabb() == ((0.0, 0.0, 0.0), (1.0, 1.0, 1.0))

    def test_update_before_build_is_used_by_the_build(self, tetra_scene):
        s = tetra_scene
        s.add_instance(0)
        xf = IDENTITY.copy()
        xf[11] = -4.0
        s.update_instance_transform(0, xf)
        assert not s.is_built()
        s.build()
        assert s.aabb() == ((0.0, 0.0, -4.0), (1.0, 1.0, -3.0))

    def test_update_after_build(self, tetra_scene):
        s = tetra_scene
        s.add_instance(0)
        s.add_instance(0, 5.0)
        s.build()
        xf = IDENTITY.copy()
        xf[[0, 5, 10]] = 3.0
        s.update_instance_transform(1, xf)
        assert s.is_built()
        # the update alone leaves the bounds; the refit that makes it visible recomputes them
        assert s.aabb() == ((0.0, 0.0, 0.0), (6.0, 1.0, 1.0))
        s.refit_ias()
        assert s.aabb() == ((0.0, 0.0, 0.0), (3.0, 3.0, 3.0))
        s.build_reuse_geometry()
        assert s.aabb() == ((0.0, 0.0, 0.0), (3.0, 3.0, 3.0))
        s.build()
        assert s.aabb() == ((0.0, 0.0, 0.0), (3.0, 3.0, 3.0))

    def test_update_of_an_instance_added_after_the_build(self, tetra_scene):
        s = tetra_scene
        s.add_instance(0)
        s.build()
        new = s.add_instance(0)
        s.update_instance_transform(new, np.r_[IDENTITY[:11], 2.0])
        s.refit_instances()
        s.build()
        assert s.aabb() == ((0.0, 0.0, 0.0), (1.0, 1.0, 3.0))

    def test_reuse_build_needs_a_full_build_first(self, tetra_scene):
        # With no structure ever built there is nothing to reuse: the scene must not claim to be
        # built (every simulation would trace an empty scene and return zeros).
        s = tetra_scene
        s.add_instance(0)
        raises_exactly(RuntimeError, "build_reuse_geometry: there is no Embree scene to reuse. "
                       "Call build() first.", s.build_reuse_gas)
        assert not s.is_built()
        raises_exactly(RuntimeError, "refit_ias: scene not built. Call build() first.",
                       s.refit_ias)
        s.update_instance_transform(0, IDENTITY)
        s.build()
        s.refit_ias()

    @pytest.mark.parametrize("name", ["refit_ias", "refit_instances"])
    def test_refit_before_build(self, tetra_scene, name):
        s = tetra_scene
        s.add_instance(0)
        raises_exactly(RuntimeError, "refit_ias: scene not built. Call build() first.",
                       getattr(s, name))
        assert not s.is_built()


class TestOpticalDescription:
    def test_materials_get_consecutive_ids(self, scene):
        assert scene.add_material(0, 5) == 0
        assert scene.add_material(13, 0, [0.3, 0.7]) == 1
        assert scene.add_material(1, 12, [float(k) for k in range(8)]) == 2
        # more than eight scalars: the rest are ignored, the call succeeds
        assert scene.add_material(0, 0, [0.5] * 10) == 3
        # type and offset are stored as given, without checks
        assert scene.add_material(99, 2**31 - 1, []) == 4
        assert scene.add_material(-1, -1) == 5

    def test_failed_add_material_adds_nothing(self, scene):
        assert scene.add_material(0, 0) == 0
        with pytest.raises(TypeError):
            scene.add_material(0, 0, ["not a number"])
        with pytest.raises(TypeError):
            scene.add_material(0.5, 0)
        assert scene.add_material(0, 0) == 1

    def test_clear_for_reuse(self, tetra_scene):
        s = tetra_scene
        s.add_instance(0, 2.0)
        s.set_num_bands(2)
        s.upload_spectral_params([0.1, 0.2, 1.0, 1.0])
        assert s.add_material(0, 0) == 0
        assert s.add_material(0, 0) == 1
        s.set_emitter(0, np.array([0, 0, 1.0]), 2)
        s.set_sky(2)
        s.set_hw_sky(0, 0.0, 0.0, 1.0)
        s.set_sensor(0, 4, 4, 1.0, 1.0, np.eye(4).ravel())
        s.build()
        before = snapshot(s)
        s.clear_for_reuse()
        # geometry, built state and bounds stay; the material list starts again
        assert snapshot(s) == before
        assert s.add_material(0, 0) == 0
        s.build_reuse_gas()
        assert snapshot(s) == before

    @pytest.mark.parametrize("n", [0, 1, 3, 128, 129, 1000])
    def test_set_num_bands_has_no_limit_on_the_cpu(self, scene, n):
        scene.set_num_bands(n)

    def test_spectral_params(self, scene):
        scene.upload_spectral_params([])
        scene.upload_spectral_params(np.arange(1000, dtype=np.float64))
        scene.upload_spectral_params((1, 2, 3))
        raises_exactly(ValueError, "array has incorrect number of dimensions: 2; expected 1",
                       scene.upload_spectral_params, np.zeros((2, 3)))

    def test_emitter(self, scene):
        scene.set_emitter(0, np.array([0.3, 0.1, 0.9]), 7)
        scene.set_emitter(3, [0, 0, 2], 0)  # stored unnormalised, any type code
        scene.update_emitter_direction([0.0, 0.6, 0.8])
        scene.update_emitter_direction(np.array([1.0, 0.0, 0.0, 5.0]))  # first three used
        raises_exactly(ValueError, "array has incorrect number of dimensions: 2; expected 1",
                       scene.set_emitter, 0, np.zeros((1, 3)), 0)
        raises_exactly(ValueError, "array has incorrect number of dimensions: 0; expected 1",
                       scene.update_emitter_direction, np.float32(1))
        with pytest.raises(ValueError):
            scene.set_emitter(0, [0.0, 1.0], 0)  # fewer than three values
        with pytest.raises(ValueError):
            scene.update_emitter_direction([])

    @pytest.mark.parametrize("n", [0, 3, 12, 16, 20])
    def test_sensor_takes_up_to_sixteen_matrix_values(self, scene, n):
        scene.set_sensor(0, 64, 48, 10.0, 7.5, np.arange(n, dtype=np.float32))
        scene.set_sensor(1, 640, 480, 0, 0, np.eye(4).ravel(), 45.0)
        scene.set_sensor(4, 32, 32, 0.0, 0.0, np.eye(4).ravel(), 180.0, 3, True)
        scene.set_sensor(99, 0, 0, -1.0, -1.0, [])  # nothing is validated

    def test_sensor_matrix_must_be_flat(self, scene):
        raises_exactly(ValueError, "array has incorrect number of dimensions: 2; expected 1",
                       scene.set_sensor, 0, 4, 4, 1.0, 1.0, np.eye(4))

    def test_other_settings_are_stored_without_checks(self, tetra_scene):
        s = tetra_scene
        s.add_instance(0)
        s.build()
        before = snapshot(s)
        s.set_sky(0)
        s.set_sky(-1)
        s.set_hw_sky(10, 0.0, 0.5, 0.866)
        s.set_hw_sky(-1, 0.0, 0.0, 0.0)
        s.set_thermal_mode(True, [10000.0, 11000.0])
        s.set_thermal_mode(False, [])
        s.set_repetitive(2, 30.0, 40.0)
        s.set_repetitive(0, -1.0, 0.0)
        s.set_measurement_plane(12.5)
        s.set_measurement_plane(-3.0)
        s.set_num_bands(4)
        assert snapshot(s) == before


class TestSharedScenes:
    def test_lambertian_plane(self, scene):
        info = scenes.lambertian_plane(scene, [0.2, 0.4], [1.0, 2.0], [0.0, 0.0, 1.0], half=5.0,
                                       sky_radiance_per_band=[0.1, 0.1])
        assert info["bands"] == 2
        assert info["offsets"] == {"reflectance": 0, "sun": 2, "sky": 4}
        assert (info["material"], info["mesh"], info["instance"]) == (0, 0, 0)
        scene.build()
        assert scene.aabb() == info["bounds"] == ((-5.0, -5.0, 0.0), (5.0, 5.0, 0.0))

    def test_leaf_slab(self, scene):
        info = scenes.leaf_slab(scene, [0.1, 0.4], [0.15, 0.35], [0.05, 0.45], [1.0, 1.0],
                                scenes.sun_direction(20.0, 0.0), half=3.0, height=2.0,
                                ground_reflectance=[0.2, 0.3])
        assert info["offsets"] == {"front": 0, "back": 2, "transmittance": 4, "sun": 6,
                                   "ground": 8, "sky": None}
        assert info["materials"] == {"leaf": 0, "ground": 1}
        assert scene.num_instances() == 2
        scene.build()
        assert scene.aabb() == info["bounds"] == ((-3.0, -3.0, 0.0), (3.0, 3.0, 2.0))

    @pytest.mark.parametrize("bands", [1, 3, 5])
    def test_procedural_forest(self, scene, bands):
        n = 12
        info = scenes.procedural_forest(scene, n_trees=n, seed=3, bands=bands, sensor=(16, 16))
        assert info["bands"] == bands
        assert info["materials"] == {"soil": 0, "leaf": 1, "bark": 2}
        assert info["offsets"] == {"soil": 0, "leaf": bands, "bark": 4 * bands,
                                   "sun": 5 * bands, "sky": 6 * bands}
        assert info["instances"] == {"ground": 0, "trunks": 1, "crowns": 1 + n}
        assert scene.num_instances() == 1 + 2 * n
        # ground 4 x 4 cells, trunk 8 segments, crown subdivided twice; each mesh counted once
        assert scene.total_triangles() == 32 + 16 + 320
        scene.build()
        np.testing.assert_allclose(scene.aabb(), info["bounds"], rtol=1e-6, atol=1e-5)
        lo, hi = info["bounds"]
        assert lo[:2] == (-20.0, -20.0) and hi[:2] == (20.0, 20.0)  # crowns stay inside
        assert lo[2] == 0.0 and 5.0 < hi[2] < 6.0 + 2 * 2.5 + 1e-3
        assert np.linalg.norm(info["sun_direction"]) == pytest.approx(1.0, rel=1e-6)

    def test_procedural_forest_is_seeded(self):
        boxes = []
        for seed in (1, 1, 2):
            s = velm.EmbreeSceneManager()
            boxes.append(scenes.procedural_forest(s, 30, seed)["bounds"])
        assert boxes[0] == boxes[1]
        assert boxes[0] != boxes[2]

    def test_procedural_forest_without_trees(self, scene):
        info = scenes.procedural_forest(scene, 0, seed=0, sky=False, sensor=None)
        assert info["offsets"]["sky"] is None
        assert scene.num_instances() == 1
        scene.build()
        assert scene.aabb() == info["bounds"] == ((-20.0, -20.0, 0.0), (20.0, 20.0, 0.0))

    def test_band_values(self):
        np.testing.assert_array_equal(scenes.band_values([0.1, 0.2, 0.5], 3),
                                      np.float32([0.1, 0.2, 0.5]))
        np.testing.assert_allclose(scenes.band_values([0.1, 0.2, 0.5], 5),
                                   [0.1, 0.15, 0.2, 0.35, 0.5], rtol=1e-6)

    def test_sun_direction_and_camera(self):
        np.testing.assert_allclose(scenes.sun_direction(0.0, 77.0), [0, 0, 1], atol=1e-7)
        np.testing.assert_allclose(scenes.sun_direction(90.0, 90.0), [0, 1, 0], atol=1e-7)
        cam = scenes.nadir_camera(1.0, 2.0, 30.0).reshape(4, 4)
        # looks along its -z axis (column 2), which is straight down; column 3 is its position
        np.testing.assert_array_equal(-cam[:3, 2], [0, 0, -1])
        np.testing.assert_array_equal(cam[:3, 3], [1, 2, 30])


# ---- fuzzing the public surface --------------------------------------------------------------
#
# Random shapes, dtypes and values go into every scene method and procedural function. The only
# acceptable outcomes are success or one of the clean exceptions below; a failed call must
# leave the scene as it was. Under the sanitizer build this is also a memory-safety check.

CLEAN = (ValueError, TypeError, IndexError, RuntimeError)

special_floats = st.sampled_from(
    [0.0, -0.0, 1.0, -1.0, 0.5, 3.0, 1e30, -1e30, 3.5e38, float("nan"), float("inf"),
     float("-inf"), 1e-40]
)
any_float = st.one_of(special_floats, st.floats(-1e6, 1e6))
small_int = st.integers(-1, 4)
# mostly small ids and counts, sometimes values at and beyond the 32-bit limits
any_int = st.sampled_from(
    [-1, 0, 0, 0, 0, 1, 1, 1, 2, 2, 3, 4, 16, 2**31 - 1, -(2**31), 2**31, 2**70]
)
odd_values = st.sampled_from([None, "text", [], 1.5, {}])


def arrays(*hints):
    """Array-likes of every kind the conversion layer may meet. Most arrays take one of the
    hinted shapes (so that calls also get past the shape checks), the others a random shape of
    0 to 3 dimensions."""
    hinted = st.sampled_from(hints) if hints else st.nothing()
    random_shape = st.lists(st.integers(0, 5), max_size=3).map(tuple)

    @st.composite
    def build(draw):
        shape = draw(st.one_of(hinted, hinted, random_shape))
        kind = draw(st.sampled_from(["f32", "f32", "f64", "i32", "i64", "bool", "object", "u8"]))
        if kind in ("f32", "f64"):
            a = draw(hnp.arrays(np.float64, shape, elements=any_float))
            a = a.astype(np.float32 if kind == "f32" else np.float64)
        elif kind in ("i32", "i64", "u8"):
            dtype = {"i32": np.int32, "i64": np.int64, "u8": np.uint8}[kind]
            lo = 0 if kind == "u8" else -2
            a = draw(hnp.arrays(dtype, shape, elements=st.integers(lo, 5)))
        elif kind == "bool":
            a = draw(hnp.arrays(np.bool_, shape))
        else:
            a = np.empty(shape, dtype=object)
            flat = a.reshape(-1)
            for k in range(flat.size):
                flat[k] = draw(st.one_of(any_float, small_int))
            if flat.size and draw(st.booleans()):
                flat[draw(st.integers(0, flat.size - 1))] = draw(st.sampled_from([None, "x"]))
        if a.ndim > 0 and draw(st.integers(0, 3)) == 0:
            return a.tolist()  # nested lists
        if a.ndim > 1 and draw(st.integers(0, 3)) == 0:
            return a.T  # a non-contiguous view
        return a

    return st.one_of(build(), build(), build(), odd_values)


valid_meshes = st.sampled_from(["tri", "tetra", "plane", "sphere"])


def mesh_arrays(name):
    if name == "tri":
        return TRI_V, NO_NORMALS, TRI_I
    if name == "tetra":
        return TETRA_V, NO_NORMALS, TETRA_I
    m = velm.make_ground_plane(3, 2, 0, 1) if name == "plane" else velm.make_sphere(1, [0, 0, 1], 1)
    return m["vertices"], m["normals"], m["indices"]


operations = st.one_of(
    st.tuples(st.just("add_mesh"), arrays((3, 3), (4, 3), (0, 3)), arrays((3, 3), (0, 3)),
              arrays((1, 3), (2, 3), (0, 3)), any_int),
    st.tuples(st.just("add_valid_mesh"), valid_meshes, any_int),
    st.tuples(st.just("add_instance"), any_int, any_float, any_float, any_float, any_float),
    st.tuples(st.just("add_instance_xform"), any_int, arrays((12,), (11,), (13,))),
    st.tuples(st.just("add_instances_xform"), any_int, arrays((1, 12), (3, 12), (0, 12), (2, 11))),
    st.tuples(st.just("update_instance_transform"), any_int, arrays((12,), (11,))),
    st.tuples(st.just("set_emitter"), any_int, arrays((3,), (2,)), any_int),
    st.tuples(st.just("update_emitter_direction"), arrays((3,), (4,))),
    st.tuples(st.just("upload_spectral_params"), arrays((6,), (0,))),
    st.tuples(st.just("set_sensor"), any_int, any_int, any_int, any_float, any_float,
              arrays((16,), (12,), (20,)),
              any_float, any_int, st.booleans()),
    st.tuples(st.just("add_material"), any_int, any_int,
              st.lists(st.one_of(any_float, st.just("x")), max_size=10)),
    st.tuples(st.just("set_thermal_mode"), st.booleans(), st.lists(any_float, max_size=4)),
    st.tuples(st.just("set_num_bands"), any_int),
    st.tuples(st.just("set_sky"), any_int),
    st.tuples(st.just("set_hw_sky"), any_int, any_float, any_float, any_float),
    st.tuples(st.just("set_repetitive"), any_int, any_float, any_float),
    st.tuples(st.just("set_measurement_plane"), any_float),
    st.tuples(st.just("refit_ias")),
    st.tuples(st.just("build")),
    st.tuples(st.just("build_reuse_geometry")),
    st.tuples(st.just("clear_for_reuse")),
    st.tuples(st.just("make_ground_plane"), special_floats, special_floats, any_int,
              st.sampled_from([0.0, -1.0, 1.0, 10.0, 1e-30, 1e30, float("nan"), float("inf")])),
    st.tuples(st.just("make_sphere"), any_float, arrays((3,), (2,)),
              st.sampled_from([-2, 0, 1, 2, 11])),
    st.tuples(st.just("make_cylinder"), any_float, any_float,
              st.one_of(st.integers(-3, 40), st.sampled_from([2**24 + 1, 2**31 - 1]))),
)


def apply(scene, op):
    name, args = op[0], op[1:]
    if name == "add_valid_mesh":
        v, n, i = mesh_arrays(args[0])
        return scene.add_mesh(v, n, i, args[1])
    if name.startswith("make_"):
        mesh = getattr(velm, name)(*args)
        # whatever a generator returns is a valid add_mesh argument, unless it is empty
        if len(mesh["indices"]):
            scene.add_mesh(mesh["vertices"], mesh["normals"], mesh["indices"])
        return mesh
    return getattr(scene, name)(*args)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # numpy's warnings on NaN/overflow casts
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(operations, min_size=1, max_size=12))
def test_fuzz_public_surface(ops):
    scene = velm.EmbreeSceneManager()
    scene.add_mesh(TETRA_V, NO_NORMALS, TETRA_I)  # so that mesh id 0 is valid from the start
    for op in ops:
        before = snapshot(scene)
        try:
            apply(scene, op)
        except CLEAN:
            assert snapshot(scene) == before, op[0]
    try:
        scene.build()
    except ValueError as e:  # finite instances placed beyond what a ray tracer can take
        assert "beyond 1e18" in str(e)
        return
    assert scene.is_built()
    lo, hi = scene.aabb()
    assert len(lo) == len(hi) == 3
    assert scene.total_triangles() >= 0
