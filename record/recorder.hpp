// The recorder as a device listener, for the recording call and for measuring its cost.
#pragma once

#include <cstdint>
#include <memory>

#include "core/tap.hpp"
#include "record/writer.hpp"

namespace vx::rec {

// Monotonic clock in nanoseconds: the time base of a recording.
uint64_t mono_ns();

// A listener that writes what it sees through `w`; null when memory is short. Its on_close
// finishes the file and deletes it.
std::unique_ptr<DeviceTap> make_recorder(std::unique_ptr<Writer> w);

}  // namespace vx::rec
