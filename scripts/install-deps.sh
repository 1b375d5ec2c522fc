#!/usr/bin/env bash
# Installs the Debian packages the kernel builds and tests against.
set -euo pipefail
PKGS=(
  build-essential cmake pkg-config
  libboost1.81-dev libboost-json1.81-dev
  libssl-dev
  python3 python3-dev pybind11-dev python3-pybind11
  libspdlog-dev libfmt-dev
  libgtest-dev googletest
  python3-pytest python3-websockets python3-jedi python3-pyflakes
  python3-numpy python3-pandas python3-matplotlib
  openssl
  clang-14 libclang-rt-14-dev
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
