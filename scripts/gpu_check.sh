#!/usr/bin/env bash
# One-call check of the OptiX backend on a machine with an NVIDIA GPU and driver.
#
# Builds the GPU-only variant of the module (CPU backend and Vulkan off, so neither Embree nor the
# Vulkan SDK is needed) for the machine's own Python, runs the `gpu`-marked tests against it (the
# launches against closed forms and the CPU and Vulkan backends' references in tests/data/),
# prints the throughput of simulate and simulate_forward on the benchmark forest beside the CPU
# figures (and of the microwave and energy-balance launches), and a short report. Needs: the CUDA toolkit (nvcc), CMake, pybind11, numpy and pytest for
# that Python; no network. Usage, from anywhere:
#
#     scripts/gpu_check.sh            # PYTHON=python3.12 scripts/gpu_check.sh to pick another
#
# Exit status: 0 when every gpu test passed.
set -uo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-python3}
BUILD=${VELM_GPU_BUILD:-build-gpu}
LOG=$BUILD/gpu_check.log
start=$(date +%s)
mkdir -p "$BUILD"
: > "$LOG"

say() { printf '%s\n' "$*" | tee -a "$LOG"; }
fail() { say "gpu_check: $*"; exit 1; }

pyver=$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])') || fail "no Python ($PY)"
pybind_dir=$("$PY" -c 'import pybind11; print(pybind11.get_cmake_dir())') || fail "no pybind11 for $PY"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

say "== velm gpu_check $(git rev-parse --short HEAD 2>/dev/null || echo '?') on $(hostname)"
command -v nvidia-smi >/dev/null 2>&1 &&
  nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader | sed 's/^/GPU: /' | tee -a "$LOG"
say "Python $pyver ($PY), $(nvcc --version | tail -2 | head -1)"

cmake -S . -B "$BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DVELM_WITH_CPU=OFF -DVELM_WITH_VULKAN=OFF -DVELM_WITH_OPTIX=ON \
  -DVELM_BUILD_TESTS=OFF -DVELM_BUILD_BENCH=OFF \
  -DVELM_PYTHON_VERSION="$pyver" -DPython_EXECUTABLE="$("$PY" -c 'import sys; print(sys.executable)')" \
  -Dpybind11_DIR="$pybind_dir" >>"$LOG" 2>&1 || { tail -20 "$LOG"; fail "configure failed"; }
cmake --build "$BUILD" -j "$(nproc)" >>"$LOG" 2>&1 || { tail -40 "$LOG"; fail "build failed"; }
built=$(date +%s)
say "built in $((built - start)) s: $(ls "$BUILD"/package/ptx | wc -l) PTX files"

PYTHONPATH="$BUILD/package" PYTHONDONTWRITEBYTECODE=1 timeout 300 "$PY" -m pytest -p no:cacheprovider \
  -m gpu -rs -v tests/test_optix.py 2>&1 | tee "$BUILD/pytest.log" | grep -E "PASSED|FAILED|ERROR|SKIPPED|Error|error:" | tee -a "$LOG"
status=${PIPESTATUS[0]}

say "---- throughput"
PYTHONPATH="$BUILD/package" timeout 90 "$PY" scripts/optix_bench.py 2>/dev/null | tee -a "$LOG"

say "---- report"
PYTHONPATH="$BUILD/package" "$PY" - <<'PY' 2>&1 | tee -a "$LOG"
import velm_gpu as velm
try:
    print("device_info(0):", velm.device_info(0))
except Exception as e:  # the tests above say more
    print("device_info(0) failed:", e)
PY
if grep -q "does not serve ABI" "$BUILD/pytest.log" "$LOG"; then
  say "OptiX ABI: 105 (OptiX 9.0; the driver refused 118)"
else
  say "OptiX ABI: 118 (OptiX 9.1) unless a failure above says otherwise"
fi
say "$(tail -1 "$BUILD/pytest.log")"
say "total $(( $(date +%s) - start )) s; full log in $LOG and $BUILD/pytest.log"
exit "$status"
