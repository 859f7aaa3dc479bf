"""VulkanSceneManager.trace_closest against answers that do not come from our code: hand-placed
instances, spectra and normals, and an independent numpy Moller-Trumbore reference on a random
scene of turned, scaled instances (distances, ids, faces and normals)."""

import numpy as np
import pytest

import scenes
import velm_gpu as velm
from conftest import seconds_to_stop

pytestmark = pytest.mark.vulkan

DOWN = np.array([0.0, 0.0, -1.0], np.float32)


def rays(origins, directions):
    o = np.asarray(origins, np.float32).reshape(-1, 3)
    return o, np.broadcast_to(np.asarray(directions, np.float32), o.shape).copy()


def test_instances_materials_and_reflectance(vk_scene):
    # Leaf square (2 triangles) at z = 1 over a soil square (2 triangles) at z = 0, 3 bands.
    info = scenes.leaf_slab(vk_scene, [0.1, 0.2, 0.3], [0.4, 0.5, 0.6], [0.7, 0.8, 0.9],
                            [1.0, 1.0, 1.0], [0.0, 0.0, 1.0], half=2.0, sensor=None,
                            ground_reflectance=[0.05, 0.15, 0.25])
    vk_scene.build()
    o, d = rays([[0.5, -0.5, 5.0], [0.5, -0.5, 0.5], [-0.5, 0.7, 0.5], [9.0, 9.0, 0.5]],
                [[0, 0, -1], [0, 0, 1], [0, 0, -1], [0, 0, -1]])
    r = vk_scene.trace_closest(o, d)
    np.testing.assert_array_equal(r["hit"], [True, True, True, False])
    np.testing.assert_array_equal(r["instance_id"][:3], [0, 0, 1])
    np.testing.assert_array_equal(r["material_id"], [info["materials"]["leaf"]] * 2 + [
        info["materials"]["ground"], -1])
    np.testing.assert_array_equal(r["is_back_face"][:3], [False, True, False])
    assert r["global_primitive_id"][2] == 2 + r["primitive_id"][2]
    assert r["global_primitive_id"][3] == -1
    np.testing.assert_allclose(r["t"][:3], [4.0, 0.5, 0.5])
    np.testing.assert_allclose(r["reflectance"], [[0.1, 0.2, 0.3], [0.4, 0.5, 0.6],
                                                  [0.05, 0.15, 0.25], [0, 0, 0]], rtol=1e-6)
    np.testing.assert_allclose(r["normal"][3], [0, 0, 1])
    assert r["t"][3] == np.float32(1e30)
    vk_scene.set_num_bands(7)  # a block running past the spectral buffer
    with pytest.raises(IndexError, match="^Vulkan LiDAR material spectrum is invalid$"):
        vk_scene.trace_closest(o, d)


def test_shading_normals_and_their_fallbacks(vk_scene):
    tilted = np.tile([1.0, 0.0, 1.0], (3, 1)) / np.sqrt(2)
    quad_v = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], np.float32)
    vk_scene.add_mesh(quad_v, tilted, [[0, 1, 2]])
    vk_scene.add_mesh(quad_v, np.zeros((0, 3)), [[0, 1, 2]])
    vk_scene.add_instance_xform(0, [2, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0])  # stretched in x
    vk_scene.add_instance(1, 0.0, 0.0, 5.0)
    vk_scene.add_instance_xform(0, [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 9])  # flattened, z = 9
    vk_scene.build()
    o, d = rays([[0.2, 0.2, -1.0], [1.5, 0.2, 3.0], [0.2, 0.2, 6.0]], DOWN)
    d[0] = -DOWN
    r = vk_scene.trace_closest(o, d)
    # Normals take the inverse transpose: (1, 0, 1) under x-stretch 2 becomes (0.5, 0, 1); both
    # normals face the ray (the first hits the back face, the second the front).
    n = np.array([0.5, 0, 1]) / np.sqrt(1.25)
    np.testing.assert_allclose(r["normal"][:2], [-n, n], atol=1e-6)
    np.testing.assert_allclose(r["geometric_normal"][:2], [[0, 0, -1], [0, 0, 1]])
    np.testing.assert_array_equal(r["normal"][2], r["geometric_normal"][2])  # no vertex normals
    with pytest.raises(ValueError,
                       match="^Vulkan: instance transform has a singular linear component$"):
        vk_scene.trace_closest(*rays([[0.2, 0.2, 10.0]], DOWN))


def test_ray_interval_misses_empty_and_unusable_rays(vk_scene):
    g = velm.make_ground_plane(1.0, 1.0)
    vk_scene.add_mesh(g["vertices"], g["normals"], g["indices"])
    vk_scene.set_num_bands(2)
    vk_scene.build()
    o, d = rays([[0, 0, 5]], DOWN)
    for t_min, t_max, hit in [(0.0, 4.9, False), (5.1, 10.0, False), (4.9, 5.1, True)]:
        assert vk_scene.trace_closest(o, d, t_min, t_max)["hit"][0] == hit
    nan = np.float32(np.nan)
    o, d = rays([[0, 0, 5], [nan, 0, 5], [0, 0, 5]], [[0, 0, -1], [0, 0, -1], [0, 0, np.inf]])
    np.testing.assert_array_equal(vk_scene.trace_closest(o, d)["hit"], [True, False, False])
    empty = vk_scene.trace_closest(np.zeros((0, 3)), np.zeros((0, 3)))
    assert {k: v.shape for k, v in empty.items()} == {
        "t": (0,), "instance_id": (0,), "primitive_id": (0,), "global_primitive_id": (0,),
        "hit": (0,), "is_back_face": (0,), "normal": (0, 3), "geometric_normal": (0, 3),
        "material_id": (0,), "reflectance": (0, 2)}


def moller_trumbore(tris, o, d, t_min, t_max):
    """Closest hit of each ray over all triangles (float64): (t, triangle index, barycentric
    margin of the hit, gap to the next-closest hit); t = inf and index -1 on a miss."""
    v0, e1, e2 = tris[:, 0], tris[:, 1] - tris[:, 0], tris[:, 2] - tris[:, 0]
    out = np.full((len(o), 4), np.inf)
    out[:, 1] = -1
    for s in range(0, len(o), 200):
        oc, dc = o[s:s + 200, None], d[s:s + 200, None]
        p = np.cross(dc, e2)
        det = np.einsum("rtk,tk->rt", p, e1)
        with np.errstate(divide="ignore", invalid="ignore"):
            inv = 1.0 / det
            sv = oc - v0
            u = np.einsum("rtk,rtk->rt", sv, p) * inv
            q = np.cross(sv, e1)
            v = np.einsum("rtk,rtk->rt", np.broadcast_to(dc, q.shape), q) * inv
            t = np.einsum("rtk,tk->rt", q, e2) * inv
        ok = (np.abs(det) > 1e-12) & (u >= 0) & (v >= 0) & (u + v <= 1) & (t >= t_min) & (
            t <= t_max)
        t = np.where(ok, t, np.inf)
        best = np.argmin(t, axis=1)
        rows = np.arange(len(best))
        tb = t[rows, best]
        t[rows, best] = np.inf
        margin = np.minimum(np.minimum(u, v), 1 - u - v)[rows, best]
        with np.errstate(invalid="ignore"):
            gap = t.min(axis=1) - tb
        out[s:s + 200] = np.c_[tb, np.where(np.isfinite(tb), best, -1), margin, gap]
    return out


def test_random_scene_matches_an_independent_reference(vk_scene):
    rng = np.random.default_rng(5)
    # Mesh 0: 300 random triangles in the unit cube; mesh 1: an icosphere. Instances turn, scale
    # and move them.
    soup = rng.uniform(0, 1, (300, 3, 3)).astype(np.float32)
    sphere = velm.make_sphere(0.5, np.zeros(3, np.float32), 2)
    meshes = [(soup.reshape(-1, 3), np.arange(900).reshape(-1, 3)),
              (sphere["vertices"], sphere["indices"])]
    for m, (v, i) in enumerate(meshes):
        vk_scene.add_mesh(v, np.zeros((0, 3)), i, material_id=m)
    world, owners = [], []
    for k in range(9):
        mesh = k % 2
        a = rng.uniform(0, 2 * np.pi)
        rot = np.array([[np.cos(a), -np.sin(a), 0], [np.sin(a), np.cos(a), 0], [0, 0, 1]])
        lin = rot @ np.diag(rng.uniform(0.5, 2.0, 3))
        xf = np.c_[lin, rng.uniform(-3, 3, 3)].astype(np.float32)
        vk_scene.add_instance_xform(mesh, xf)
        v, i = meshes[mesh]
        world.append(v[i].astype(np.float64) @ xf[:, :3].T.astype(np.float64) + xf[:, 3])
        owners += [(k, t) for t in range(len(i))]
    vk_scene.build()
    tris = np.concatenate(world)
    owners = np.array(owners)
    assert len(tris) == vk_scene.n_primitives() == 5 * 300 + 4 * 320

    o = rng.uniform(-6, 6, (10_000, 3)).astype(np.float32)
    d = (rng.uniform(-3, 3, (10_000, 3)) - o).astype(np.float32)  # towards the instances
    r = vk_scene.trace_closest(o, d, 0.01, 20.0)
    ref = moller_trumbore(tris, o.astype(np.float64), d.astype(np.float64), 0.01, 20.0)
    # Rays grazing an edge or with two hits at almost one distance may go either way.
    clear = (ref[:, 2] > 1e-4) & (ref[:, 3] > 1e-4) | (ref[:, 1] < 0)
    assert clear.mean() > 0.98
    hit = ref[:, 1] >= 0
    assert 0.15 < hit.mean() < 0.9  # some 2000 hits compared
    np.testing.assert_array_equal(r["hit"][clear], hit[clear])
    sel = clear & hit
    idx = ref[sel, 1].astype(int)
    np.testing.assert_array_equal(r["global_primitive_id"][sel], idx)
    np.testing.assert_array_equal(r["instance_id"][sel], owners[idx, 0])
    np.testing.assert_array_equal(r["primitive_id"][sel], owners[idx, 1])
    np.testing.assert_array_equal(r["material_id"][sel], owners[idx, 0] % 2)
    np.testing.assert_allclose(r["t"][sel], ref[sel, 0], rtol=1e-4, atol=1e-4)
    # Faces by winding (the soup is hit on both sides); without vertex normals both normals are
    # the world-space geometric one, turned towards the ray.
    n = np.cross(tris[idx, 1] - tris[idx, 0], tris[idx, 2] - tris[idx, 0])
    n /= np.linalg.norm(n, axis=1)[:, None]
    back = np.einsum("ij,ij->i", n, d[sel]) > 0
    assert 0.2 < back.mean() < 0.8
    np.testing.assert_array_equal(r["is_back_face"][sel], back)
    np.testing.assert_allclose(r["geometric_normal"][sel], np.where(back[:, None], -n, n),
                               atol=1e-4)
    np.testing.assert_array_equal(r["normal"][sel], r["geometric_normal"][sel])
    # The same rays again give the same answers, bit for bit.
    again = vk_scene.trace_closest(o, d, 0.01, 20.0)
    for key, value in r.items():
        np.testing.assert_array_equal(again[key], value)


def test_ctrl_c_stops_a_long_trace_within_a_second(vk_scene):
    # 6 million rays take about 2.5 s on lavapipe; traced in parts, the call stops at the next
    # part after Ctrl-C, and the scene traces again afterwards.
    g = velm.make_ground_plane(0.5, 0.5)
    vk_scene.add_mesh(g["vertices"], g["normals"], g["indices"])
    vk_scene.add_instance(0, 0.0, 0.0, 0.0)
    vk_scene.build()
    n = 6_000_000
    down = rays(np.tile(np.float32([0.1, 0.2, 5.0]), (n, 1)), DOWN)
    assert seconds_to_stop(lambda: vk_scene.trace_closest(*down), after=0.3) < 1.0
    del down
    hits = vk_scene.trace_closest(*rays([0.1, 0.2, 5.0], DOWN))
    assert hits["hit"][0] and hits["t"][0] == pytest.approx(5.0)
