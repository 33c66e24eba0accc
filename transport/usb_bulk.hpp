// What the capture core may ask of the USB transport beyond the operations table.
#pragma once

#include <vexel/transport.h>

namespace vx::usb {

// Waits until no bulk transfer of `dev` is in flight (every cancelled one has reported), at
// most `timeout_ms`; false on time-out. Records of other transports return true at once.
bool wait_bulk_idle(vexel_ll_dev* dev, unsigned timeout_ms);

}  // namespace vx::usb
