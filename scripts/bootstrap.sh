#!/usr/bin/env bash
# Installs everything VELM needs on a fresh Debian machine, idempotently:
#  - system packages (Embree, Vulkan loader/headers, glslc, Mesa lavapipe with ray queries,
#    GoogleTest, compiler runtime for the sanitizer build);
#  - a .venv made with CPython 3.10 holding numpy, pytest, scipy, hypothesis and the build tools.
# A second run with nothing changed only checks stamps and returns in seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

stamp_dir=.venv/.stamps
sys_stamp=/var/lib/velm-bootstrap.sys.v2

need_sys=0
[ -f "$sys_stamp" ] || need_sys=1

if [ "$need_sys" = 1 ]; then
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  mesa_suite=""
  if [ "$codename" = "bookworm" ]; then
    # Debian 12's Mesa 22 lavapipe has no ray queries; bookworm-backports carries Mesa 25.
    if ! grep -rqs "bookworm-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
      echo "deb http://deb.debian.org/debian bookworm-backports main" | $SUDO tee /etc/apt/sources.list.d/velm-backports.list >/dev/null
    fi
    mesa_suite="-t bookworm-backports"
  fi
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends \
    build-essential pkg-config libembree-dev libtbb-dev libgtest-dev \
    libvulkan-dev vulkan-validationlayers glslc spirv-tools >/dev/null
  # shellcheck disable=SC2086
  $SUDO apt-get install -y -qq --no-install-recommends $mesa_suite mesa-vulkan-drivers libvulkan1 >/dev/null
  $SUDO touch "$sys_stamp"
fi

PY=""
for cand in python3.10 "$HOME/.pyenv/versions/3.10"*/bin/python3.10 /usr/bin/python3.10; do
  if command -v "$cand" >/dev/null 2>&1 && "$cand" -c 'import sys; assert sys.version_info[:2]==(3,10)' 2>/dev/null; then
    PY=$(command -v "$cand"); break
  fi
done
if [ -z "$PY" ]; then
  echo "bootstrap: CPython 3.10 not found (tried python3.10, ~/.pyenv/versions/3.10*)" >&2
  exit 1
fi

if [ ! -x .venv/bin/python ]; then
  "$PY" -m venv .venv
fi
mkdir -p "$stamp_dir"
req_stamp="$stamp_dir/requirements.$(md5sum requirements-dev.txt | cut -c1-12)"
if [ ! -f "$req_stamp" ]; then
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r requirements-dev.txt
  rm -f "$stamp_dir"/requirements.*
  touch "$req_stamp"
fi
