"""The include graph of src/ follows the layers of the design: physics includes only itself, no
backend includes another backend or the Python glue, and no two directories include each other
(directly or round a longer cycle)."""

import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
BACKENDS = {"cpu", "vulkan", "optix"}


def directory_edges():
    """{(from, to): an example file} over the top-level directories of src/."""
    edges = {}
    for f in SRC.rglob("*"):
        if f.suffix not in {".h", ".hpp", ".cpp", ".cu", ".inl"}:
            continue
        here = f.relative_to(SRC).parts[0]
        for target in re.findall(r'#include\s+"([^"]+)"', f.read_text(errors="replace")):
            top = target.split("/")[0]
            if "/" in target and top != here and (SRC / top).is_dir():
                edges.setdefault((here, top), str(f.relative_to(SRC)))
    return edges


def test_layers_hold():
    edges = directory_edges()
    wrong = [f"{a} -> {b} ({f})" for (a, b), f in edges.items()
             if a == "physics" or (a in BACKENDS and b in BACKENDS | {"module"})]
    assert not wrong, "includes across the layers: " + ", ".join(sorted(wrong))
    # No cycle: repeatedly drop directories that include nothing left.
    graph = {}
    for a, b in edges:
        graph.setdefault(a, set()).add(b)
        graph.setdefault(b, set())
    while graph:
        leaves = [d for d, out in graph.items() if not out]
        assert leaves, "directories include each other in a cycle: " + ", ".join(
            f"{a} -> {b}" for (a, b) in edges if a in graph and b in graph)
        for d in leaves:
            del graph[d]
        for out in graph.values():
            out.difference_update(leaves)
