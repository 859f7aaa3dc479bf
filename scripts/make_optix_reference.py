"""Writes tests/data/optix_reference.json: what the GPU checks compare the OptiX scene against,
computed here with the CPU backend (scene bounds of its build) and numpy (triangle counts, areas
and material ids in global primitive order).

Run from the repository root after `make build`: .venv/bin/python scripts/make_optix_reference.py
"""

import json
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import scenes  # noqa: E402
import velm_gpu as velm  # noqa: E402

N_TREES, SEED = 20, 7


class Recorder:
    """Stands in for a scene class and remembers the meshes and instances it is given."""

    def __init__(self, scene):
        self.scene, self.meshes, self.instances = scene, [], []

    def __getattr__(self, name):
        return getattr(self.scene, name)

    def add_mesh(self, v, n, i, material_id=0):
        self.meshes.append((np.asarray(v, np.float64), np.asarray(i), material_id))
        return self.scene.add_mesh(v, n, i, material_id)

    def add_instance(self, mesh_id, x, y, z, scale=1.0):
        xf = np.array([[scale, 0, 0, x], [0, scale, 0, y], [0, 0, scale, z]], np.float64)
        self.instances.append((mesh_id, xf))
        return self.scene.add_instance(mesh_id, x, y, z, scale)

    def add_instances_xform(self, mesh_id, xforms):
        for row in np.asarray(xforms, np.float64):
            self.instances.append((mesh_id, row.reshape(3, 4)))
        return self.scene.add_instances_xform(mesh_id, xforms)


def forest_reference():
    rec = Recorder(velm.EmbreeSceneManager())
    scenes.procedural_forest(rec, N_TREES, SEED)
    rec.scene.build()
    areas, mats = [], []
    for mesh_id, xf in rec.instances:
        v, tri, material = rec.meshes[mesh_id]
        w = v @ xf[:, :3].T + xf[:, 3]
        a, b, c = w[tri[:, 0]], w[tri[:, 1]], w[tri[:, 2]]
        areas.append(0.5 * np.linalg.norm(np.cross(b - a, c - a), axis=1))
        mats.append(np.full(len(tri), material))
    mats = np.concatenate(mats)
    return {
        "n_trees": N_TREES,
        "seed": SEED,
        "aabb": [list(corner) for corner in rec.scene.aabb()],
        "num_instances": rec.scene.num_instances(),
        "n_primitives": int(len(mats)),
        "total_area": float(np.concatenate(areas).sum()),
        "material_counts": np.bincount(mats).tolist(),
    }


def main():
    out = os.path.join(os.path.dirname(__file__), "..", "tests", "data", "optix_reference.json")
    with open(out, "w") as f:
        json.dump({"forest": forest_reference()}, f, indent=1)
        f.write("\n")
    print("wrote", os.path.normpath(out))


if __name__ == "__main__":
    main()
