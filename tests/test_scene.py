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
EMPTY = np.zeros((0, 3))
# A tetrahedron whose mesh-space box is the unit cube [0, 1]^3.
TETRA_V = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], np.float32)
TETRA_I = np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]], np.int32)
TRI_V = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], np.float32)
TRI_I = np.array([[0, 1, 2]], np.int32)
UNIT_BOX = ((0.0, 0.0, 0.0), (1.0, 1.0, 1.0))

NO_VERTEX = "mesh must contain at least one vertex"
NO_TRIANGLE = "mesh must contain at least one triangle"
BAD_NORMALS = "mesh normals must be empty or have one entry per vertex"
BAD_COLUMNS = "vertices, normals, and indices must have shape (N, 3)"
NOT_12 = "transform must contain 12 floats"
BAD_ROWS = "add_instances_xform: expected (N, 12) float32 array"
BAD_ID = "update_instance_transform: id out of range"
NOT_FINITE = "instance transform must be finite"
NAN, INF = math.nan, math.inf


def with_value(values, index, value):
    a = np.array(values, np.float32)
    a.flat[index] = value
    return a


def dims(n, expected):
    return f"array has incorrect number of dimensions: {n}; expected {expected}"


def outside(triangle):
    return f"mesh triangle {triangle} references a vertex outside the vertex buffer"


def mesh_count(scene):
    """Reads the mesh count without changing anything: the mesh id check names it."""
    with pytest.raises(IndexError) as e:
        scene.add_instance(-1)
    return int(re.fullmatch(r"instance mesh id -1 is outside \[0, (\d+)\)", str(e.value))[1])


def snapshot(scene):
    # repr() keeps a NaN bound comparable with itself
    return (mesh_count(scene), scene.num_instances(), scene.total_triangles(),
            scene.has_meshes(), scene.is_built(), repr(scene.aabb()))


def refused(scene, exc, message, fn, *args):
    """fn(*args) raises exactly `exc` with exactly `message` and leaves the scene as it was."""
    before = snapshot(scene)
    with pytest.raises(exc) as e:
        fn(*args)
    assert (type(e.value), str(e.value)) == (exc, message)
    assert snapshot(scene) == before


@pytest.fixture
def scene():
    return velm.EmbreeSceneManager()


@pytest.fixture
def tetra_scene(scene):
    scene.add_mesh(TETRA_V, NO_NORMALS, TETRA_I)
    return scene


@pytest.fixture
def placed(tetra_scene):
    """Two meshes (tetrahedron, triangle), two identity instances of the tetrahedron, built."""
    tetra_scene.add_mesh(TRI_V, NO_NORMALS, TRI_I)
    tetra_scene.add_instance(0)
    tetra_scene.add_instance(0)
    tetra_scene.build()
    return tetra_scene


def test_new_and_empty_scenes(scene):
    assert snapshot(scene) == (0, 0, 0, False, False, repr(((0.0,) * 3, (0.0,) * 3)))
    assert scene.min_height() == 0.0 and scene.max_height() == 0.0
    refused(scene, RuntimeError, BAD_ID, scene.update_instance_transform, 0, IDENTITY)
    scene.build()
    assert scene.is_built() and scene.aabb() == ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0))
    # meshes without instances build to all-zero bounds too
    scene.add_mesh(TRI_V + 5, NO_NORMALS, TRI_I)
    scene.build()
    assert scene.aabb() == ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0))
    assert scene.min_height() == 0.0 and scene.max_height() == 0.0
    assert all(type(x) is float for corner in scene.aabb() for x in corner)


def test_mesh_ids_and_triangle_count(scene):
    g = velm.make_ground_plane(5.0, 2.5, 0, 1.0)  # 10 x 5 cells
    assert len(g["indices"]) == 100
    assert scene.add_mesh(TRI_V, NO_NORMALS, TRI_I) == 0
    # the material id is not checked when the mesh is added
    assert scene.add_mesh(TRI_V, np.tile([0, 0, 1.0], (3, 1)), TRI_I, material_id=12345) == 1
    assert scene.add_mesh(g["vertices"], g["normals"], g["indices"], -1) == 2
    assert scene.add_mesh(TRI_V, NO_NORMALS, np.float64(TRI_I)) == 3  # integral floats are indices
    scene.add_instance(2)
    scene.add_instance(2, 20.0)
    scene.add_instances_xform(2, np.tile(IDENTITY, (7, 1)))
    # each mesh counts once, instanced or not
    assert (mesh_count(scene), scene.num_instances(), scene.total_triangles()) == (4, 9, 103)
    assert scene.has_meshes()


def test_mesh_rows_are_copied_and_extra_columns_ignored(scene):
    v = np.c_[TRI_V * 2, np.full(3, 100.0)]
    assert scene.add_mesh(v, NO_NORMALS, np.c_[TRI_I, [99]]) == 0
    v *= 10  # changing the caller's array afterwards changes nothing
    scene.add_instance(0)
    scene.build()
    assert scene.aabb() == ((0.0, 0.0, 0.0), (2.0, 2.0, 0.0))


def mesh(vertices, normals, indices, message):
    return "add_mesh", (vertices, normals, indices), ValueError, message


def ids(mesh_id):
    """The three instance-adding calls with an invalid mesh id (the scene holds two meshes)."""
    msg = f"instance mesh id {mesh_id} is outside [0, 2)"
    return [("add_instance", (mesh_id, 1.0, 2.0, 3.0), IndexError, msg),
            ("add_instance_xform", (mesh_id, IDENTITY), IndexError, msg),
            ("add_instances_xform", (mesh_id, np.tile(IDENTITY, (3, 1))), IndexError, msg)]


@pytest.mark.parametrize(
    "method, args, exc, message",
    [
        mesh(EMPTY, NO_NORMALS, EMPTY, NO_VERTEX),
        # checked in order: vertices, triangles, normals, then the triangle walk
        mesh(EMPTY, NO_NORMALS, TRI_I, NO_VERTEX),
        mesh(EMPTY, np.zeros((2, 3)), EMPTY, NO_VERTEX),
        mesh(TRI_V, NO_NORMALS, EMPTY, NO_TRIANGLE),
        mesh(TRI_V, np.zeros((5, 3)), EMPTY, NO_TRIANGLE),
        mesh(TRI_V, np.zeros((2, 3)), TRI_I, BAD_NORMALS),
        mesh(TRI_V, np.zeros((4, 3)), TRI_I, BAD_NORMALS),
        mesh(TRI_V, np.zeros((2, 3)), [[0, 1, 9]], BAD_NORMALS),
        mesh(TRI_V, NO_NORMALS, [[0, 1, 2]] * 5 + [[0, 1, 3]], outside(5)),
        mesh(TRI_V, NO_NORMALS, [[0, 1, 2], [0, -1, 2]], outside(1)),
        mesh(TRI_V, NO_NORMALS, [[3, 1, 2], [0, 1, 2], [0, 1, 7]], outside(0)),
        mesh(TRI_V, NO_NORMALS, [[0, 1, 2]] * 7 + [[0, 1, -2**31]], outside(7)),
        # every mesh array is 2-D ("no normals" too) with at least three columns
        mesh(np.zeros(9), NO_NORMALS, TRI_I, dims(1, 2)),
        mesh(np.zeros((1, 3, 3)), NO_NORMALS, TRI_I, dims(3, 2)),
        mesh(np.float32(1.0), NO_NORMALS, TRI_I, dims(0, 2)),
        mesh(TRI_V, np.zeros(0), TRI_I, dims(1, 2)),
        mesh(TRI_V, np.zeros((3, 3, 1)), TRI_I, dims(3, 2)),
        mesh(TRI_V, NO_NORMALS, np.array([0, 1, 2]), dims(1, 2)),
        mesh(TRI_V, NO_NORMALS, np.zeros((1, 1, 3)), dims(3, 2)),
        mesh(np.zeros((3, 2)), NO_NORMALS, TRI_I, BAD_COLUMNS),
        mesh(np.zeros((3, 0)), NO_NORMALS, TRI_I, BAD_COLUMNS),
        mesh(TRI_V, np.zeros((3, 2)), TRI_I, BAD_COLUMNS),
        mesh(TRI_V, NO_NORMALS, np.array([[0, 1]]), BAD_COLUMNS),
        mesh(TRI_V, NO_NORMALS, np.zeros((1, 0)), BAD_COLUMNS),
        # values are checked where they enter; indices are range-checked before any narrowing,
        # so that no value wraps onto a valid index
        mesh(with_value(TRI_V, 4, INF), NO_NORMALS, TRI_I, "mesh vertex 1 is not finite"),
        mesh(TRI_V, with_value(np.ones((3, 3)), 8, NAN), TRI_I, "mesh normal 2 is not finite"),
        mesh(TRI_V, NO_NORMALS, np.array([[0, 1, 2**32 + 1]], np.int64), outside(0)),
        mesh(TRI_V, NO_NORMALS, np.array([[2**63, 1, 2]], np.uint64), outside(0)),
        mesh(TRI_V, NO_NORMALS, np.array([[0, 1.7, 2]]), "indices must hold integers"),
        mesh(TRI_V, NO_NORMALS, np.array([[0, NAN, 2]]), "indices must hold integers"),
        ("add_instance", (0, NAN), ValueError, NOT_FINITE),
        ("add_instance", (0, 0, 0, 0, INF), ValueError, NOT_FINITE),
        ("add_instance_xform", (0, with_value(IDENTITY, 3, NAN)), ValueError, NOT_FINITE),
        ("add_instances_xform", (0, np.stack([IDENTITY, with_value(IDENTITY, 0, NAN)])),
         ValueError, NOT_FINITE),
        ("update_instance_transform", (0, with_value(IDENTITY, 11, NAN)), ValueError, NOT_FINITE),
        *[row for mesh_id in (5, 2, -1, -(2**31), 2**31 - 1) for row in ids(mesh_id)],
        ("add_instance_xform", (0, np.zeros(11)), ValueError, NOT_12),
        ("add_instance_xform", (0, np.zeros(0)), ValueError, NOT_12),
        ("add_instance_xform", (0, np.zeros((3, 4))), ValueError, dims(2, 1)),
        ("add_instance_xform", (0, np.zeros((1, 12))), ValueError, dims(2, 1)),
        ("add_instance_xform", (0, np.float32(1)), ValueError, dims(0, 1)),
        *[("add_instances_xform", (0, np.zeros(shape)), RuntimeError, BAD_ROWS)
          for shape in [(5, 11), (2, 13), (12,), (0,), (0, 11), (1, 12, 1), (1, 1, 12), ()]],
        *[("update_instance_transform", (i, IDENTITY), RuntimeError, BAD_ID)
          for i in [-1, 2, 100, -(2**31)]],
        ("update_instance_transform", (0, np.zeros(11)), ValueError, NOT_12),
        ("update_instance_transform", (0, np.zeros((3, 4))), ValueError, dims(2, 1)),
        ("upload_spectral_params", (np.zeros((2, 3)),), ValueError, dims(2, 1)),
        ("set_emitter", (0, np.zeros((1, 3)), 0), ValueError, dims(2, 1)),
        ("set_emitter", (0, [0.0, 1.0], 0), ValueError, "direction must contain 3 floats"),
        ("update_emitter_direction", (np.float32(1),), ValueError, dims(0, 1)),
        ("update_emitter_direction", ([],), ValueError, "direction must contain 3 floats"),
        ("set_sensor", (0, 4, 4, 1.0, 1.0, np.eye(4)), ValueError, dims(2, 1)),
    ],
)
def test_refusals(placed, method, args, exc, message):
    refused(placed, exc, message, getattr(placed, method), *args)
    placed.build()
    assert placed.aabb() == UNIT_BOX  # no transform changed either


def test_instance_ids(placed):
    s = placed
    assert s.add_instance(0) == 2
    assert s.add_instance_xform(0, IDENTITY) == 3
    assert s.add_instances_xform(0, np.tile(IDENTITY, (5, 1))) == 4  # the first new id
    assert s.add_instance(1, 1.0) == 9
    # with no rows nothing is validated or added, not even the mesh id
    for mesh_id in (0, 99, -1):
        assert s.add_instances_xform(mesh_id, np.zeros((0, 12), np.float32)) == 10
    assert s.num_instances() == 10


C45 = math.sqrt(0.5)
ROWS = np.tile(IDENTITY, (5, 1))
ROWS[:, 3] = np.arange(5) * 10.0  # x translation per row
STRIDED = np.zeros((2, 24))
STRIDED[:, ::2] = IDENTITY
STRIDED[1, 22] = 5.0  # z translation of the second row


@pytest.mark.parametrize(
    "place, box",
    [
        (lambda s: s.add_instance(0), UNIT_BOX),
        # uniform scale about the mesh origin, then translation (integers are floats)
        (lambda s: s.add_instance(0, 1, 2, 3, 2), ((1, 2, 3), (3, 4, 5))),
        (lambda s: s.add_instance_xform(0, [2, 0, 0, 1, 0, 2, 0, 2, 0, 0, 2, 3]),
         ((1, 2, 3), (3, 4, 5))),
        # row-major: x' = x + 2y + 10, y' = 3z + 20, z' = -x + 30
        (lambda s: s.add_instance_xform(0, [1, 2, 0, 10, 0, 0, 3, 20, -1, 0, 0, 30]),
         ((10, 20, 29), (13, 23, 30))),
        (lambda s: s.add_instance_xform(0, np.r_[IDENTITY, 99.0, 99.0]), UNIT_BOX),
        # 45 degrees about z: the box corner (1, 1, z) lands at (0, 1.414, z), beyond any vertex
        (lambda s: s.add_instance_xform(0, [C45, -C45, 0, 0, C45, C45, 0, 0, 0, 0, 1, 0]),
         ((-C45, 0, 0), (C45, 2 * C45, 1))),
        (lambda s: s.add_instances_xform(0, ROWS), ((0, 0, 0), (41, 1, 1))),
        # float64 read through its strides, and integer lists
        (lambda s: (s.add_instances_xform(0, STRIDED[:, ::2]),
                    s.add_instances_xform(0, [list(map(int, IDENTITY))])),
         ((0, 0, 0), (1, 1, 6))),
    ],
)
def test_placement(tetra_scene, place, box):
    place(tetra_scene)
    tetra_scene.build()
    np.testing.assert_allclose(tetra_scene.aabb(), box, rtol=1e-6, atol=1e-7)


def shifted(z=0.0, scale=1.0):
    xf = IDENTITY * scale
    xf[11] = z
    return xf


def test_bounds_follow_builds(tetra_scene):
    s = tetra_scene
    s.add_instance(0)
    s.update_instance_transform(0, shifted(z=-4.0))  # before the first build: the record only
    assert not s.is_built()
    # With no structure ever built there is nothing to reuse or refit: both say so, and the
    # scene does not claim to be built (every simulation would trace nothing).
    refused(s, RuntimeError, "build_reuse_geometry: there is no Embree scene to reuse. Call "
            "build() first.", s.build_reuse_gas)
    refused(s, RuntimeError, "refit_ias: scene not built. Call build() first.", s.refit_ias)
    assert not s.is_built()
    s.build()
    s.build()
    assert s.aabb() == ((0.0, 0.0, -4.0), (1.0, 1.0, -3.0))
    # added geometry keeps a built scene built; the bounds wait for the next build
    s.add_instance(0, 5.0)
    s.add_mesh(TRI_V, NO_NORMALS, TRI_I)
    assert s.is_built() and s.aabb() == ((0.0, 0.0, -4.0), (1.0, 1.0, -3.0))
    s.build()
    assert s.aabb() == ((0.0, 0.0, -4.0), (6.0, 1.0, 1.0))
    # an update keeps the scene built and its bounds; the refit that makes it visible moves them
    s.update_instance_transform(1, shifted(scale=3.0))
    assert s.is_built() and s.aabb() == ((0.0, 0.0, -4.0), (6.0, 1.0, 1.0))
    s.refit_ias()
    assert s.aabb() == ((0.0, 0.0, -4.0), (3.0, 3.0, 3.0))
    s.build_reuse_geometry()
    assert s.aabb() == ((0.0, 0.0, -4.0), (3.0, 3.0, 3.0))
    # an instance added after the build can be updated before the next one
    s.update_instance_transform(s.add_instance(0), shifted(z=5.0))
    s.refit_instances()
    s.build()
    assert s.aabb() == ((0.0, 0.0, -4.0), (3.0, 3.0, 6.0))
    assert (s.min_height(), s.max_height()) == (-4.0, 6.0)


def test_materials_and_clear_for_reuse(placed):
    s = placed
    assert s.add_material(0, 5) == 0
    assert s.add_material(13, 0, [0.3, 0.7]) == 1
    assert s.add_material(0, 0, [0.5] * 10) == 2  # scalars past the eighth are ignored
    assert s.add_material(99, 2**31 - 1, []) == 3  # type and offset are not checked
    assert s.add_material(-1, -1) == 4
    s.set_num_bands(2)
    s.upload_spectral_params([0.1, 0.2, 1.0, 1.0])
    s.set_emitter(0, np.array([0, 0, 1.0]), 2)
    s.set_sky(2)
    s.set_hw_sky(0, 0.0, 0.0, 1.0)
    before = snapshot(s)
    s.clear_for_reuse()
    # geometry, built state and bounds stay; the material list starts again
    assert snapshot(s) == before and s.add_material(0, 0) == 0
    s.build_reuse_gas()
    assert snapshot(s) == before


def test_setters_take_any_values_and_leave_geometry_alone(placed):
    s = placed
    before = snapshot(s)
    for n in (0, 1, 3, 128, 129, 1000):  # no band limit on the CPU
        s.set_num_bands(n)
    for params in ([], np.arange(1000, dtype=np.float64), (1, 2, 3)):
        s.upload_spectral_params(params)
    s.set_emitter(0, np.array([0.3, 0.1, 0.9]), 7)
    s.set_emitter(3, [0, 0, 2], 0)  # unnormalised, any type code
    s.update_emitter_direction(np.array([1.0, 0.0, 0.0, 5.0]))  # the first three are used
    for n in (0, 3, 12, 16, 20):  # up to sixteen matrix values are read, never past the end
        s.set_sensor(0, 64, 48, 10.0, 7.5, np.arange(n, dtype=np.float32))
    s.set_sensor(4, 32, 32, 0.0, 0.0, np.eye(4).ravel(), 180.0, 3, True)
    s.set_sensor(99, 0, 0, -1.0, -1.0, [])
    s.set_sky(-1)
    s.set_hw_sky(-1, 0.0, 0.0, 0.0)
    s.set_thermal_mode(True, [10000.0, 11000.0])
    s.set_thermal_mode(False, [])
    s.set_repetitive(0, -1.0, 0.0)
    s.set_measurement_plane(-3.0)
    assert snapshot(s) == before


@pytest.mark.parametrize(
    "describe, offsets, bounds",
    [
        (lambda s: scenes.lambertian_plane(s, [0.2, 0.4], [1.0, 2.0], [0, 0, 1.0], half=5.0,
                                           sky_radiance_per_band=[0.1, 0.1]),
         {"reflectance": 0, "sun": 2, "sky": 4}, ((-5, -5, 0), (5, 5, 0))),
        (lambda s: scenes.leaf_slab(s, [0.1, 0.4], [0.15, 0.35], [0.05, 0.45], [1.0, 1.0],
                                    scenes.sun_direction(20.0, 0.0), half=3.0, height=2.0,
                                    ground_reflectance=[0.2, 0.3]),
         {"front": 0, "back": 2, "transmittance": 4, "sun": 6, "ground": 8, "sky": None},
         ((-3, -3, 0), (3, 3, 2))),
        (lambda s: scenes.procedural_forest(s, 0, seed=0, sky=False, sensor=None),
         {"soil": 0, "leaf": 3, "bark": 12, "sun": 15, "sky": None}, ((-20, -20, 0), (20, 20, 0))),
    ],
)
def test_shared_scene_layouts(scene, describe, offsets, bounds):
    info = describe(scene)
    assert info["offsets"] == offsets
    scene.build()
    assert scene.aabb() == info["bounds"] == bounds


@pytest.mark.parametrize("bands", [1, 5])
def test_procedural_forest(scene, bands):
    n = 12
    info = scenes.procedural_forest(scene, n_trees=n, seed=3, bands=bands, sensor=(16, 16))
    assert info["materials"] == {"soil": 0, "leaf": 1, "bark": 2}
    assert info["offsets"] == {"soil": 0, "leaf": bands, "bark": 4 * bands,
                               "sun": 5 * bands, "sky": 6 * bands}
    assert info["instances"] == {"ground": 0, "trunks": 1, "crowns": 1 + n}
    # ground 4 x 4 cells, trunk 8 segments, crown subdivided twice; each mesh counted once
    assert (scene.num_instances(), scene.total_triangles()) == (1 + 2 * n, 32 + 16 + 320)
    scene.build()
    np.testing.assert_allclose(scene.aabb(), info["bounds"], rtol=1e-6, atol=1e-5)
    lo, hi = info["bounds"]
    assert lo[:2] == (-20.0, -20.0) and hi[:2] == (20.0, 20.0)  # crowns stay inside
    assert lo[2] == 0.0 and 5.0 < hi[2] < 6.0 + 2 * 2.5 + 1e-3
    assert np.linalg.norm(info["sun_direction"]) == pytest.approx(1.0, rel=1e-6)
    # the seed alone decides the trees
    same, other = (scenes.procedural_forest(velm.EmbreeSceneManager(), n, seed, bands)["bounds"]
                   for seed in (3, 4))
    assert same == info["bounds"] != other


def test_scene_helpers():
    np.testing.assert_array_equal(scenes.band_values([0.1, 0.2, 0.5], 3),
                                  np.float32([0.1, 0.2, 0.5]))
    np.testing.assert_allclose(scenes.band_values([0.1, 0.2, 0.5], 5),
                               [0.1, 0.15, 0.2, 0.35, 0.5], rtol=1e-6)
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
special_floats = st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 3.0, 1e30, -1e30, 3.5e38, math.nan,
                                  math.inf, -math.inf, 1e-40])
any_float = st.one_of(special_floats, st.floats(-1e6, 1e6))
# mostly small ids and counts, sometimes values at and beyond the 32-bit limits
any_int = st.sampled_from([-1, 0, 0, 0, 0, 1, 1, 1, 2, 2, 3, 4, 16, 2**31 - 1, -(2**31), 2**31,
                           2**70])
ODD = st.sampled_from([None, "x"])
DTYPES = {"f32": np.float32, "f64": np.float64, "i32": np.int32, "i64": np.int64, "u8": np.uint8,
          "bool": np.bool_}


def arrays(*hints):
    """Array-likes of every kind the conversion layer may meet: most take one of the hinted
    shapes (so that calls also get past the shape checks), the others a random shape of 0 to 3
    dimensions; some are nested lists, transposed views or object arrays."""
    random_shape = st.lists(st.integers(0, 5), max_size=3).map(tuple)

    @st.composite
    def build(draw):
        shape = draw(st.one_of(st.sampled_from(hints), st.sampled_from(hints), random_shape))
        kind = draw(st.sampled_from(["f32", "f32", "f64", "i32", "i64", "bool", "object", "u8"]))
        if kind in ("f32", "f64"):  # drawn in double, then cast: overflow to inf included
            a = draw(hnp.arrays(np.float64, shape, elements=any_float)).astype(DTYPES[kind])
        elif kind == "object":
            a = np.empty(shape, dtype=object)
            flat = a.reshape(-1)
            for k in range(flat.size):
                flat[k] = draw(st.one_of(any_float, st.integers(-1, 4), ODD))
        else:
            elements = st.booleans() if kind == "bool" else st.integers(-2 * (kind != "u8"), 5)
            a = draw(hnp.arrays(DTYPES[kind], shape, elements=elements))
        form = draw(st.integers(0, 7))
        return a.tolist() if a.ndim > 0 and form == 0 else a.T if a.ndim > 1 and form == 1 else a

    return st.one_of(build(), build(), build(), st.sampled_from([None, "text", [], 1.5, {}]))


MESHES = {"tri": (TRI_V, NO_NORMALS, TRI_I), "tetra": (TETRA_V, NO_NORMALS, TETRA_I),
          "plane": tuple(velm.make_ground_plane(3, 2, 0, 1).values()),
          "sphere": tuple(velm.make_sphere(1, [0, 0, 1], 1).values())}

operations = st.one_of(
    st.tuples(st.just("add_mesh"), arrays((3, 3), (4, 3), (0, 3)), arrays((3, 3), (0, 3)),
              arrays((1, 3), (2, 3), (0, 3)), any_int),
    st.tuples(st.just("add_valid_mesh"), st.sampled_from(list(MESHES)), any_int),
    st.tuples(st.just("add_instance"), any_int, any_float, any_float, any_float, any_float),
    st.tuples(st.just("add_instance_xform"), any_int, arrays((12,), (11,), (13,))),
    st.tuples(st.just("add_instances_xform"), any_int, arrays((1, 12), (3, 12), (0, 12), (2, 11))),
    st.tuples(st.just("update_instance_transform"), any_int, arrays((12,), (11,))),
    st.tuples(st.just("set_emitter"), any_int, arrays((3,), (2,)), any_int),
    st.tuples(st.just("update_emitter_direction"), arrays((3,), (4,))),
    st.tuples(st.just("upload_spectral_params"), arrays((6,), (0,))),
    st.tuples(st.just("set_sensor"), any_int, any_int, any_int, any_float, any_float,
              arrays((16,), (12,), (20,)), any_float, any_int, st.booleans()),
    st.tuples(st.just("add_material"), any_int, any_int,
              st.lists(st.one_of(any_float, st.just("x")), max_size=10)),
    st.tuples(st.just("set_thermal_mode"), st.booleans(), st.lists(any_float, max_size=4)),
    st.tuples(st.just("set_num_bands"), any_int),
    st.tuples(st.just("set_sky"), any_int),
    st.tuples(st.just("set_hw_sky"), any_int, any_float, any_float, any_float),
    st.tuples(st.just("set_repetitive"), any_int, any_float, any_float),
    st.tuples(st.just("set_measurement_plane"), any_float),
    *[st.tuples(st.just(name))
      for name in ("refit_ias", "build", "build_reuse_geometry", "clear_for_reuse")],
    st.tuples(st.just("make_ground_plane"), special_floats, special_floats, any_int,
              st.sampled_from([0.0, -1.0, 1.0, 10.0, 1e-30, 1e30, math.nan, math.inf])),
    st.tuples(st.just("make_sphere"), any_float, arrays((3,), (2,)),
              st.sampled_from([-2, 0, 1, 2, 11])),
    st.tuples(st.just("make_cylinder"), any_float, any_float,
              st.one_of(st.integers(-3, 40), st.sampled_from([2**24 + 1, 2**31 - 1]))),
)


def apply(scene, op):
    name, args = op[0], op[1:]
    if name == "add_valid_mesh":
        return scene.add_mesh(*MESHES[args[0]], args[1])
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
