"""The parts of scripts/gpu_check.sh that are easier in Python. Never imports velm_gpu, so it
works whatever state the build is in:

    gpu_check_report.py preflight    what the machine offers before anything is built: driver,
                                     the driver's CUDA version, nvcc and the PTX ISA it writes,
                                     Python and pybind11, and what the driver's OptiX library
                                     answers for ABI 118 and 105 (loaded with ctypes). Exits 2
                                     when the build cannot work (pybind11 < 3, no Python headers).
    gpu_check_report.py summary DIR  one screen from the logs in DIR: device, driver, ABI, each
                                     test group's counts, the throughput beside the CPU figures
                                     and its ratio to the 100x target.
"""

import ctypes
import glob
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import xml.etree.ElementTree as ET

# OptiX function-table sizes of the two ABIs the backend speaks (60 and 52 entries).
ABI_TABLE_BYTES = {118: 60 * 8, 105: 52 * 8}
OPTIX_RESULT_NAMES = {
    0: "OPTIX_SUCCESS", 7801: "OPTIX_ERROR_UNSUPPORTED_ABI_VERSION",
    7802: "OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH",
    7803: "OPTIX_ERROR_INVALID_ENTRY_FUNCTION_OPTIONS", 7804: "OPTIX_ERROR_LIBRARY_NOT_FOUND",
    7805: "OPTIX_ERROR_ENTRY_SYMBOL_NOT_FOUND",
}
# The newest PTX ISA of each CUDA release (the PTX ISA release history); 12.6 kept 8.5.
PTX_ISA_OF_CUDA = [
    ((11, 8), (7, 8)), ((12, 0), (8, 0)), ((12, 1), (8, 1)), ((12, 2), (8, 2)),
    ((12, 3), (8, 3)), ((12, 4), (8, 4)), ((12, 5), (8, 5)), ((12, 7), (8, 6)),
    ((12, 8), (8, 7)), ((12, 9), (8, 8)), ((13, 0), (9, 0)), ((13, 1), (9, 1)),
    ((13, 2), (9, 2)), ((13, 3), (9, 3)), ((13, 4), (9, 4)), ((13, 5), (9, 5)),
]
TARGET = 100.0  # the GPU backend's throughput goal, in multiples of the CPU backend's


def say(label, value):
    print(f"{label:<22}{value}")


def newest_isa(cuda):
    if cuda > PTX_ISA_OF_CUDA[-1][0]:
        return None  # newer than we know: no limit
    best = None
    for release, isa in PTX_ISA_OF_CUDA:
        if release <= cuda:
            best = isa
    return best


def kernel_module_version():
    try:
        with open("/proc/driver/nvidia/version") as f:
            m = re.search(r"Kernel Module\s+(\S+)", f.readline())
            return m.group(1) if m else None
    except OSError:
        return None


def cuda_driver():
    """(CUDA version as (major, minor), device names) from libcuda.so.1, or a reason string."""
    try:
        cuda = ctypes.CDLL("libcuda.so.1")
    except OSError as e:
        return f"libcuda.so.1 not loadable ({e})", []
    v = ctypes.c_int(0)
    if cuda.cuDriverGetVersion(ctypes.byref(v)) != 0:
        return "cuDriverGetVersion failed", []
    version = (v.value // 1000, v.value % 1000 // 10)
    names = []
    r = cuda.cuInit(0)
    if r != 0:
        return version, [f"cuInit failed ({r})"]
    n = ctypes.c_int(0)
    cuda.cuDeviceGetCount(ctypes.byref(n))
    for i in range(n.value):
        dev = ctypes.c_int(0)
        name = ctypes.create_string_buffer(256)
        cuda.cuDeviceGet(ctypes.byref(dev), i)
        cuda.cuDeviceGetName(name, 256, dev)
        major, minor = ctypes.c_int(0), ctypes.c_int(0)
        cuda.cuDeviceGetAttribute(ctypes.byref(major), 75, dev)  # compute capability major
        cuda.cuDeviceGetAttribute(ctypes.byref(minor), 76, dev)  # compute capability minor
        names.append(f"{i}: {name.value.decode()} (sm_{major.value}{minor.value})")
    return version, names


def optix_answers():
    """What the driver's OptiX library answers for each ABI, as text."""
    try:
        lib = ctypes.CDLL("libnvoptix.so.1")
    except OSError as e:
        return f"libnvoptix.so.1 not loadable ({e})"
    try:
        query = lib.optixQueryFunctionTable
    except AttributeError:
        return "libnvoptix.so.1 exports no optixQueryFunctionTable (driver too old)"
    query.restype = ctypes.c_int
    query.argtypes = [ctypes.c_int, ctypes.c_uint, ctypes.c_void_p, ctypes.c_void_p,
                      ctypes.c_void_p, ctypes.c_size_t]
    out = []
    for abi, size in ABI_TABLE_BYTES.items():
        table = ctypes.create_string_buffer(size)
        r = query(abi, 0, None, None, table, size)
        out.append(f"ABI {abi}: {r} ({OPTIX_RESULT_NAMES.get(r, 'other')})")
    return "; ".join(out)


def nvcc_version_and_isa():
    nvcc = shutil.which("nvcc") or "/usr/local/cuda/bin/nvcc"
    if not os.path.exists(nvcc):
        return None, None, "nvcc not found"
    text = subprocess.run([nvcc, "--version"], capture_output=True, text=True).stdout
    m = re.search(r"release (\d+)\.(\d+)", text)
    version = (int(m.group(1)), int(m.group(2))) if m else None
    # The ISA nvcc writes, read from a PTX file it writes.
    with tempfile.TemporaryDirectory() as d:
        src, ptx = os.path.join(d, "k.cu"), os.path.join(d, "k.ptx")
        with open(src, "w") as f:
            f.write("extern \"C\" __global__ void k() {}\n")
        r = subprocess.run([nvcc, "-ptx", "-arch=compute_75", src, "-o", ptx],
                           capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            return version, None, f"nvcc -ptx failed: {r.stderr.strip()[:200]}"
        with open(ptx) as f:
            m = re.search(r"^\s*\.version\s+(\d+)\.(\d+)", f.read(), re.M)
    isa = (int(m.group(1)), int(m.group(2))) if m else None
    return version, isa, nvcc


def fmt(v):
    return "%d.%d" % v if v else "?"


def preflight():
    fatal = []
    say("driver", kernel_module_version() or "no NVIDIA kernel module (/proc/driver/nvidia)")
    cuda, devices = cuda_driver()
    say("driver CUDA", fmt(cuda) if isinstance(cuda, tuple) else cuda)
    for d in devices:
        say("device", d)
    say("OptiX (driver)", optix_answers())
    nvcc_version, isa, nvcc = nvcc_version_and_isa()
    say("nvcc", f"{fmt(nvcc_version)} ({nvcc})")
    say("PTX ISA written", fmt(isa))
    if isinstance(cuda, tuple) and isa:
        limit = newest_isa(cuda)
        if limit and isa > limit:
            say("PTX vs driver", f"REFUSED: nvcc writes ISA {fmt(isa)}, the CUDA {fmt(cuda)} "
                f"driver compiles up to {fmt(limit)}: every module creation will fail. Put a "
                f"CUDA toolkit no newer than {fmt(cuda)} first on PATH.")
        else:
            say("PTX vs driver", f"ok (driver compiles up to {fmt(limit) if limit else 'any'})")
    say("Python", f"{sys.version.split()[0]} ({sys.executable})")
    include = sysconfig.get_paths()["include"]
    if not os.path.exists(os.path.join(include, "Python.h")):
        fatal.append(f"no Python headers ({include}/Python.h): install python3-dev for "
                     f"{sys.executable}")
    try:
        import pybind11
        say("pybind11", f"{pybind11.__version__} ({pybind11.get_cmake_dir()})")
        if pybind11.version_info[0] < 3:
            fatal.append(f"pybind11 {pybind11.__version__} is older than 3, which the module "
                         "needs")
    except ImportError:
        fatal.append(f"no pybind11 for {sys.executable}")
    for name in ("numpy", "pytest"):
        try:
            say(name, __import__(name).__version__)
        except ImportError:
            fatal.append(f"no {name} for {sys.executable}")
    for tool in ("cmake", "ninja"):
        say(tool, shutil.which(tool) or "not found")
    if not shutil.which("cmake"):
        fatal.append("no cmake on PATH")
    for reason in fatal:
        print(f"gpu_check: cannot build: {reason}")
    return 2 if fatal else 0


def group_counts(xml):
    """(passed, failed, errors, skipped) of one pytest JUnit file."""
    root = ET.parse(xml).getroot()
    suites = [root] if root.tag == "testsuite" else list(root)
    tests = failed = errors = skipped = 0
    for s in suites:
        tests += int(s.get("tests", 0))
        failed += int(s.get("failures", 0))
        errors += int(s.get("errors", 0))
        skipped += int(s.get("skipped", 0))
    return tests - failed - errors - skipped, failed, errors, skipped


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def summary(log_dir):
    lines = ["=" * 78, "gpu_check summary"]
    pre = read(os.path.join(log_dir, "preflight.log"))
    for key in ("driver", "driver CUDA", "device", "OptiX (driver)", "nvcc", "PTX ISA written",
                "PTX vs driver"):
        for m in re.finditer(rf"^{re.escape(key)}\s{{2,}}(.*)$", pre, re.M):
            lines.append(f"  {key:<18}{m.group(1)}")
    report = read(os.path.join(log_dir, "report.log"))
    abi = re.search(r"ABI (\d+) accepted", report)
    used = abi.group(1) if abi else "unknown (see report.log)"
    lines.append(f"  {'OptiX ABI used':<18}{used}")
    dev = re.search(r"^device_info\(0\): (.*)$", report, re.M)
    if dev:
        lines.append(f"  {'device_info(0)':<18}{dev.group(1)[:58]}")
    steps = read(os.path.join(log_dir, "steps.log")).splitlines()
    lines += textwrap.wrap("; ".join(steps) or "none run", 76, initial_indent="  steps: ",
                           subsequent_indent="    ")
    lines.append("  test groups (passed / failed / errors / skipped):")
    total_bad = 0
    groups = [s.split()[0] for s in steps if s.startswith("Test")]
    if not groups:
        lines.append("    none run")
    for name in groups:
        xml = os.path.join(log_dir, f"{name}.xml")
        if os.path.exists(xml):
            p, f, e, s = group_counts(xml)
            total_bad += f + e
            lines.append(f"    {name:<22}{p:>4} {f:>4} {e:>4} {s:>4}")
        else:
            # Killed before pytest wrote its report: count the outcomes it had printed.
            seen = re.findall(r"::\S+ (PASSED|FAILED|ERROR|SKIPPED)",
                              read(os.path.join(log_dir, f"{name}.log")))
            p, f, e, s = (seen.count(k) for k in ("PASSED", "FAILED", "ERROR", "SKIPPED"))
            total_bad += f + e + 1
            lines.append(f"    {name:<22}{p:>4} {f:>4} {e:>4} {s:>4}  then stopped ({name}.log)")
    bench = read(os.path.join(log_dir, "bench.log"))
    lines.append("  throughput (benchmark forest):")
    shown = False
    for m in re.finditer(r"^(simulate\w*): (.*?)(\d+)x\)$", bench, re.M):
        ratio = int(m.group(3))
        lines.append(f"    {m.group(1)}: {m.group(2)}{ratio}x CPU) = {ratio / TARGET:.2f} of "
                     f"the {TARGET:.0f}x target")
        shown = True
    for m in re.finditer(r"^(simulate_microwave|simulate_active_microwave|run_energy_balance\w*)"
                         r":?\s*(.*)$", bench, re.M):
        lines.append(f"    {m.group(1)}: {m.group(2)[:60]}")
        shown = True
    if not shown:
        last = (bench.strip().splitlines() or ["not run"])[-1][:50]
        lines.append(f"    no figures (bench.log: {last})")
    lines.append("=" * 78)
    print("\n".join(lines))
    return 1 if total_bad else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["preflight"]:
        sys.exit(preflight())
    if sys.argv[1:2] == ["summary"] and len(sys.argv) == 3:
        sys.exit(summary(sys.argv[2]))
    print(__doc__)
    sys.exit(64)
