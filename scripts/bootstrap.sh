#!/usr/bin/env bash
# Installs everything VELM needs on a fresh Debian machine, idempotently:
#  - system packages (Embree, Vulkan loader/headers, glslc, Mesa lavapipe with ray queries,
#    GoogleTest, compiler runtime for the sanitizer build, ccache for the wheel test's build);
#  - a .venv made with CPython 3.10 holding numpy, pytest, scipy, hypothesis and the build tools.
# A second run with nothing changed only checks stamps and returns in seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

stamp_dir=.venv/.stamps

# The first URI of an apt source that serves the given release: deb822 entries (*.sources,
# "URIs:" and "Suites:" fields) or one-line entries ("deb [options] URI release ...").
debian_mirror() {
  local release=$1
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v rel="$release" 'BEGIN { RS = ""; FS = "\n" }
      { uri = ""; hit = 0
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^URIs:/) { split($i, u, /[ \t]+/); uri = u[2] }
          if ($i ~ /^Suites:/) { n = split($i, s, /[ \t]+/); for (k = 2; k <= n; k++) if (s[k] == rel) hit = 1 }
        }
        if (hit && uri != "") { print uri; exit } }' "$f"
  done | head -n 1 | grep . && return
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    awk -v rel="$release" '$1 == "deb" { i = 2; if ($2 ~ /^\[/) while (i <= NF && $i !~ /\]$/) i++; if ($2 ~ /^\[/) i++; if ($(i + 1) == rel) { print $i; exit } }'
}
sys_stamp=/var/lib/velm-bootstrap.sys.v3

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
    # The backports suite comes from the mirror the machine already uses for bookworm.
    if ! grep -rqs "bookworm-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
      mirror=$(debian_mirror bookworm)
      if [ -z "$mirror" ]; then
        echo "bootstrap: no apt source for bookworm found to take the backports mirror from" >&2
        exit 1
      fi
      echo "deb $mirror bookworm-backports main" | $SUDO tee /etc/apt/sources.list.d/velm-backports.list >/dev/null
    fi
    mesa_suite="-t bookworm-backports"
  fi
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends \
    build-essential pkg-config ccache libembree-dev libtbb-dev libgtest-dev \
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
