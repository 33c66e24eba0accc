// The USB serial string of a listed camera, read without claiming it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vx::usb {

// Copies the serial string of the camera at (bus, port) into out (NUL-terminated, at most
// cap - 1 characters); false when no camera sits there or it gives no serial.
bool read_serial(uint8_t bus, uint8_t port, char* out, size_t cap);

}  // namespace vx::usb
