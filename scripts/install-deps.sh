#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and benchmarks with.
# Idempotent: asks apt only for what is missing, and updates the lists at most once.
set -euo pipefail

packages=(
  cmake ninja-build pkg-config g++ clang python3
  libusb-1.0-0-dev libzip-dev libzstd-dev zlib1g-dev
  umockdev libumockdev-dev libglib2.0-dev python3-usb
  libgtest-dev libgmock-dev libbenchmark-dev
  libpng-dev libcli11-dev nlohmann-json3-dev
  cyclonedds-dev cyclonedds-tools
  libboost-dev chromium
  pybind11-dev python3-dev python3-numpy python3-pytest
  ccache
  doxygen help2man lintian dpkg-dev fakeroot file
)
# Optional packages (benchmark comparisons); never required by the library itself.
optional=(libopencv-dev libclang-rt-14-dev)  # VEXEL_WITH_OPTIONAL=1 make deps

missing=()
for p in "${packages[@]}" ${VEXEL_WITH_OPTIONAL:+"${optional[@]}"}; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
