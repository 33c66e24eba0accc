// A recording (vexel record, vexel_rec_start) as the simulated camera's stream: vexel-sim
// --replay serves the recorded camera through the emulated USB bus, so the host's whole USB
// path (transfers, packet parser, calibration download) runs on recorded data.
#pragma once

#include <string>

#include "sim/sim.hpp"

namespace vxsim {

// Sets `opt` up as the recorded camera: its identity (parameters 2, 3, 5, 6, 7), frame rate,
// integration time and temperatures as recording started, a calibration package built from the
// recorded calibration files (none when the recording has none), and the recorded frames as
// the stream, one frame per packet, paced at the recorded frame rate through the FIFO. With
// `loop` the stream starts over after the last frame; otherwise the camera then sends nothing.
// False with `err` when the file cannot be played (missing, not a recording, a version the
// reader does not know, damaged start).
bool replay_recording(const std::string& path, bool loop, CameraOptions& opt, std::string& err);

}  // namespace vxsim
