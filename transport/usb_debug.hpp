#pragma once

namespace vx::usb {

// libusb log level for a library log level: 0,1 -> 4 (debug), 2 -> 3, 3 -> 2, 4 -> 1, 5+ -> 0.
int libusb_level_for(unsigned log_level);

// Level stored by the last set_debug (0 before the first call); applied to contexts opened later.
int stored_debug_level();

void set_debug(unsigned log_level);

}  // namespace vx::usb
