#!/usr/bin/env bash
# One-call check of the OptiX backend on a machine with an NVIDIA GPU and driver, made to say in
# one run what works and what does not.
#
#  1. pre-flight, before building (scripts/gpu_check_report.py preflight, no velm_gpu): driver,
#     the driver's CUDA version, nvcc and the PTX ISA it writes, Python and pybind11, and what the
#     driver's OptiX library answers for ABI 118 and 105; stops when the build cannot work;
#  2. builds the GPU-only variant of the module (CPU backend and Vulkan off, so neither Embree nor
#     the Vulkan SDK is needed) for the machine's own Python;
#  3. reports the OptiX ABI the driver accepted and device_info(0);
#  4. runs each group of `gpu` tests of tests/test_optix.py in its own process (a device fault
#     poisons the process's CUDA context, and would hide the groups after it) under the OptiX
#     validation switch (VELM_OPTIX_VALIDATION=1: validation mode, exception checks, stack sizes
#     and creation logs), printing every failure with a short traceback;
#  5. times the benchmark forest (scripts/optix_bench.py) without the switch, errors shown;
#  6. ends with a one-screen summary (scripts/gpu_check_report.py summary).
# Every step has its own time limit (seconds, GPU_CHECK_TIMEOUT_<STEP> to change); together they
# stay under 7 minutes. Logs go to $BUILD/gpu_check/ and, when OUT is set, are copied there.
# Needs: the CUDA toolkit (nvcc), CMake, pybind11 >= 3, numpy and pytest for that Python; no
# network. Usage, from anywhere:
#
#     scripts/gpu_check.sh            # PYTHON=python3.12 scripts/gpu_check.sh to pick another
#
# Exit status: 0 when every gpu test passed.
set -uo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-python3}
BUILD=${VELM_GPU_BUILD:-build-gpu}
LOGS=$BUILD/gpu_check
mkdir -p "$LOGS"
rm -f "$LOGS"/*.log "$LOGS"/*.xml
LOG=$LOGS/gpu_check.log
STEPS=$LOGS/steps.log
start=$(date +%s)
# The test groups (classes of tests/test_optix.py) and their time limits in seconds.
# TestSimulator is the first to compile the device programs (later processes find them in the
# driver's cache).
GROUPS_RUN=(TestContext:15 TestScene:25 TestSimulator:40 TestOpticalLaunches:55
  TestEnergyBalance:30 TestMicrowave:30)

limit() {  # limit STEP DEFAULT: the step's time limit in seconds
  local var="GPU_CHECK_TIMEOUT_$1"
  echo "${!var:-$2}"
}
say() { printf '%s\n' "$*" | tee -a "$LOG"; }
step() { printf '%s\n' "$*" >>"$STEPS"; }
finish() {
  local status=$1
  "$PY" scripts/gpu_check_report.py summary "$LOGS" | tee -a "$LOG"
  say "total $(( $(date +%s) - start )) s; logs in $LOGS"
  if [ -n "${OUT:-}" ]; then
    mkdir -p "$OUT/gpu_check" && cp -r "$LOGS"/. "$OUT/gpu_check/" && say "logs copied to $OUT/gpu_check"
  fi
  exit "$status"
}
# run STEP LIMIT LOGFILE CMD...: runs CMD under its time limit, output to LOGFILE; records the
# step's outcome and returns CMD's status (124 when it ran out of time).
run() {
  local name=$1 seconds=$2 file=$3 t0 rc
  shift 3
  t0=$(date +%s)
  timeout --kill-after=10 "$seconds" "$@" >"$file" 2>&1
  rc=$?
  local outcome="ok"
  [ $rc -eq 124 ] || [ $rc -eq 137 ] && outcome="TIMED OUT after ${seconds} s"
  [ $rc -ne 0 ] && [ "$outcome" = ok ] && outcome="exit $rc"
  step "$name $outcome ($(( $(date +%s) - t0 )) s)"
  return $rc
}

say "== velm gpu_check $(git rev-parse --short HEAD 2>/dev/null || echo '?') on $(hostname), $(date -u +%FT%TZ)"

# ---- 1. pre-flight -------------------------------------------------------------------------------
run preflight "$(limit PREFLIGHT 20)" "$LOGS/preflight.log" "$PY" scripts/gpu_check_report.py preflight
pre=$?
tee -a "$LOG" <"$LOGS/preflight.log"
[ $pre -eq 0 ] || { say "gpu_check: pre-flight refused the build (above)"; finish 2; }
if ! "$PY" -c 'import ctypes; ctypes.CDLL("libcuda.so.1")' 2>/dev/null; then
  say "gpu_check: no NVIDIA driver (libcuda.so.1) on this machine: nothing to build or run"
  finish 3
fi

# ---- 2. build ------------------------------------------------------------------------------------
pyver=$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
pybind_dir=$("$PY" -c 'import pybind11; print(pybind11.get_cmake_dir())')
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
# Real code for this GPU only: the build is part of the check's time.
arch=$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader 2>/dev/null | head -1 | tr -d '. ')
arch_flag=()
[ -n "$arch" ] && arch_flag=(-DCMAKE_CUDA_ARCHITECTURES="${arch}-real")
configure=(cmake -S . -B "$BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release
  -DVELM_WITH_CPU=OFF -DVELM_WITH_VULKAN=OFF -DVELM_WITH_OPTIX=ON
  -DVELM_BUILD_TESTS=OFF -DVELM_BUILD_BENCH=OFF "${arch_flag[@]}"
  -DVELM_PYTHON_VERSION="$pyver" -DPython_EXECUTABLE="$("$PY" -c 'import sys; print(sys.executable)')"
  -Dpybind11_DIR="$pybind_dir")
run build "$(limit BUILD 130)" "$LOGS/build.log" \
  bash -c "$(printf '%q ' "${configure[@]}") && cmake --build $(printf '%q' "$BUILD") -j $(nproc)"
if [ $? -ne 0 ]; then
  tail -40 "$LOGS/build.log" | tee -a "$LOG"
  say "gpu_check: build failed or timed out ($LOGS/build.log)"
  finish 1
fi
say "built: $(ls "$BUILD"/package/ptx/*.ptx | wc -l) PTX files by nvcc $(cat "$BUILD"/package/ptx/nvcc_version.txt 2>/dev/null)"
export PYTHONPATH="$PWD/$BUILD/package" PYTHONDONTWRITEBYTECODE=1

# ---- 3. what the driver accepted -----------------------------------------------------------------
run report "$(limit REPORT 15)" "$LOGS/report.log" env VELM_OPTIX_VALIDATION=1 "$PY" -c '
import velm_gpu as velm
try:
    print("device_info(0):", velm.device_info(0), flush=True)
except Exception as e:
    print("device_info(0) failed:", e, flush=True)'
grep -E "ABI|device_info|OptiX" "$LOGS/report.log" | head -8 | tee -a "$LOG"

# ---- 4. test groups, one process each ------------------------------------------------------------
status=0
say "---- gpu tests (VELM_OPTIX_VALIDATION=1), one process per group"
for entry in "${GROUPS_RUN[@]}"; do
  group=${entry%%:*}
  run "$group" "$(limit "$group" "${entry#*:}")" "$LOGS/$group.log" env VELM_OPTIX_VALIDATION=1 \
    "$PY" -m pytest -p no:cacheprovider -m gpu -rfEs --tb=short -v \
    --junitxml="$LOGS/$group.xml" "tests/test_optix.py::$group"
  rc=$?
  say "$group: $(tail -1 "$STEPS" | cut -d' ' -f2-) - $(grep -E '[0-9]+ (passed|failed|error)' "$LOGS/$group.log" | tail -1)"
  if [ $rc -ne 0 ]; then
    status=1
    # Every failure with its assertion and short traceback, and the driver's messages.
    sed -n '/^=* \(FAILURES\|ERRORS\) =*$/,$p' "$LOGS/$group.log" | head -150 | tee -a "$LOG"
    [ $rc -ge 124 ] && tail -30 "$LOGS/$group.log" | tee -a "$LOG"
  fi
done

# ---- 5. throughput -------------------------------------------------------------------------------
say "---- throughput"
run bench "$(limit BENCH 55)" "$LOGS/bench.log" "$PY" scripts/optix_bench.py
[ $? -eq 0 ] || say "benchmark failed or timed out:"
grep -v "^Simulate:" "$LOGS/bench.log" | tail -25 | tee -a "$LOG"

finish $status
