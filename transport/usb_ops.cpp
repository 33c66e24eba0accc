// The USB transport's operations table.
#include <vexel/transport.h>

#include "transport/usb_debug.hpp"
#include "transport/usb_priv.hpp"

namespace {

// All USB resources are per device; the transport itself has nothing to set up.
int usb_init() {
    return 1;
}
void usb_uninit() {}
void usb_set_debug(unsigned level) {
    vx::usb::set_debug(level);
}

}  // namespace

extern "C" {

const vexel_ll_op ll_op_usb = {
    // exported by its declaration
    usb_init,
    usb_uninit,
    usb_set_debug,
    vx::usb::dev_open,
    vx::usb::dev_open_by_fd,
    vx::usb::dev_close,
    vx::usb::dev_list,
    vx::usb::exe_cmd,
    vx::usb::check_last_cmd,
    vx::usb::cap_abort,
    vx::usb::cap_start,
    vx::usb::cap_stop,
    vx::usb::dev_reset,
    vx::usb::reg_write,
    vx::usb::reg_read,
    vx::usb::param_set,
    vx::usb::param_get,
};

}  // extern "C"
