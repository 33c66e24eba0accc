// The USB transport's operations table.
#include <vexel/transport.h>

#include "transport/usb_debug.hpp"

namespace {

// All USB resources are per device; the transport itself has nothing to set up.
int usb_init() { return 1; }
void usb_uninit() {}
void usb_set_debug(unsigned level) { vx::usb::set_debug(level); }

}  // namespace

extern "C" {

const vexel_ll_op ll_op_usb = {  // exported by its declaration
    usb_init,
    usb_uninit,
    usb_set_debug,
};

}  // extern "C"
