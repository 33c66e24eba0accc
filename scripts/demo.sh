#!/usr/bin/env bash
# What `make demo` runs: the vexel program against a simulated camera that looks at three boxes
# in front of a wall, and the captured distances against the simulator's ground truth.
#   scripts/demo.sh [BUILD_DIR [OUT_DIR]]     (camera options in DEMO_SIM, default --scene boxes)
set -euo pipefail
build=${1:-build/release}
out=${2:-build/demo}
if [ -z "${VXSIM_CAMERAS:-}" ]; then
  mkdir -p "$out"
  # One simulated camera for the whole session; it writes the true ray lengths as a frame file.
  # shellcheck disable=SC2086
  exec "$build/sim/vexel-sim" ${DEMO_SIM:---scene boxes} --truth "$out/truth.vx" -- "$0" "$build" "$out"
fi

# The camera's calibration files go to $out/calib (the driver fetches them at the first open).
vexel() {
  echo
  echo "\$ vexel --prefix $out/calib $*"
  "$build/tools/vexel" --prefix "$out/calib" "$@"
}
vexel list
vexel info
# Lens undistortion stays off: the truth holds one ray length per sensor pixel, as the camera
# sees them through its lens. The decode's defaults stay on (3x3 median; pixel calibration,
# as the files were found).
# The capture is also recorded; the replay decodes the recorded frames as the live run did (it
# also gives frames the live run received but skipped while it was busy with the first one).
vexel --record "$out/capture.vxr" capture -n 30 -o "$out" --filter lens=off
vexel compare "$out/depth.vx" "$out/truth.vx"
vexel --replay "$out/capture.vxr" capture -n 30 -o "$out/replay" --filter lens=off
vexel compare "$out/replay/depth.vx" "$out/truth.vx"
echo
echo "pictures: $out/depth.png (distance: red near, blue far, black invalid), $out/amplitude.png"
echo "point cloud: $out/cloud.ply; frame files: $out/depth.vx, $out/amplitude.vx"
echo "recording: $out/capture.vxr (vexel --replay $out/capture.vxr COMMAND runs any command on it)"
