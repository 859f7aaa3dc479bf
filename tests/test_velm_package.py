"""The package: the build without a CUDA toolkit, the README's snippets, and (opt-in, it
rebuilds the module) a wheel installed into a fresh venv running an example elsewhere."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def test_configure_without_cuda_builds_without_optix(tmp_path):
    cmake = Path(sys.executable).parent / "cmake"
    import pybind11
    out = subprocess.run(
        [str(cmake), "-S", str(ROOT), "-B", str(tmp_path), "-G", "Ninja",
         "-DCMAKE_DISABLE_FIND_PACKAGE_CUDAToolkit=ON", "-DVELM_BUILD_TESTS=OFF",
         "-DVELM_BUILD_BENCH=OFF", f"-DPython_EXECUTABLE={sys.executable}",
         f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"],
        capture_output=True, text=True, env={**os.environ, "CUDAToolkit_ROOT": "/nonexistent"})
    assert out.returncode == 0, out.stderr[-2000:]
    lines = [s for s in out.stdout.splitlines() if "CUDA" in s]
    assert lines == ["-- VELM: no CUDA toolkit found, building without the OptiX backend"]
    cache = (tmp_path / "CMakeCache.txt").read_text()
    assert "velm_optix" not in (tmp_path / "build.ninja").read_text()
    assert "CMAKE_CUDA_COMPILER" not in cache


def readme_snippets():
    text = (ROOT / "README.md").read_text()
    head = text.split("\n## The native module")[0]
    return re.findall(r"```python\n(.*?)```", head, re.S)


def test_readme_snippets_run_as_written(tmp_path, monkeypatch):
    snippets = readme_snippets()
    assert snippets
    monkeypatch.chdir(tmp_path)
    namespace = {}
    for code in snippets:
        exec(compile(code, "README.md", "exec"), namespace)  # noqa: S102


WHEEL = os.environ.get("VELM_TEST_WHEEL", "")


@pytest.mark.skipif(WHEEL not in ("1", "quick"),
                    reason="builds the module again: set VELM_TEST_WHEEL=1 (the full wheel) or "
                           "quick (no OptiX, this venv's build tools, the build-wheel/ tree)")
def test_wheel_installs_into_a_fresh_venv_and_runs_the_demo(tmp_path):
    # quick: what `make test` runs. The build tree sits beside build/ so that ccache (when
    # CMAKE_CXX_COMPILER_LAUNCHER names it) finds the development build's objects under the same
    # relative paths, and without the CUDA toolkit the OptiX classes must say why they fail.
    wheels = tmp_path / "wheels"
    quick = WHEEL == "quick"
    options = ["--no-build-isolation", "-C", f"build-dir={ROOT / 'build-wheel'}",
               "-C", "cmake.define.VELM_WITH_OPTIX=OFF"] if quick else []
    built = subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", str(wheels),
                            *options, str(ROOT)], capture_output=True, text=True)
    assert built.returncode == 0, built.stdout[-3000:] + built.stderr[-3000:]
    (wheel,) = wheels.glob("velm_gpu-*.whl")
    import zipfile
    names = zipfile.ZipFile(wheel).namelist()
    assert "velm/shaders/trace_closest.spv" in names and "velm/__init__.py" in names
    assert "velm/examples/microwave_image.py" in names
    assert not any(n.startswith(("shaders/", "ptx/")) for n in names)
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    py = venv / "bin" / "python"
    subprocess.run([str(py), "-m", "pip", "install", "-q", str(wheel)], check=True)
    run = tmp_path / "elsewhere"
    run.mkdir()
    for backend in ("cpu", "vulkan"):
        subprocess.run([str(py), "-m", "velm.examples.demo", "--pixels", "16", "--spp", "1",
                        "--trees", "4", "--backends", backend], cwd=run, check=True)
    assert (run / "out" / "demo_forest.png").stat().st_size > 0
    if quick:
        probe = ("import velm_gpu\nassert not velm_gpu.HAS_OPTIX\ntry:\n"
                 "    velm_gpu.Simulator(None, 'ptx')\nexcept RuntimeError as e:\n    print(e)")
        out = subprocess.run([str(py), "-c", probe], cwd=run, capture_output=True, text=True,
                             check=True)
        assert out.stdout.strip() == ("built without the OptiX backend: no CUDA toolkit was "
                                      "found at build time; rebuild with one")
