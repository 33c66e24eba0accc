// The vexel_ll_ entry points: each forwards one call to the table that serves the device.
#include <vexel/transport.h>

extern "C" {

VX_API int vexel_ll_set_debug(unsigned level) {
    ll_op_usb.set_debug(level);
    return 1;
}

}  // extern "C"

#include <cstddef>

// The core copies listed records into its open record field by field; these offsets are ABI.
static_assert(offsetof(vexel_ll_dev, fd) == 8 && offsetof(vexel_ll_dev, bus) == 12);
static_assert(offsetof(vexel_ll_dev, reserved) == 16 && offsetof(vexel_ll_dev, ops) == 56);
static_assert(offsetof(vexel_ll_dev, valid) == 64 && sizeof(vexel_ll_dev) == 72);
static_assert(sizeof(vexel_ll_param_rec) == 20);
static_assert(sizeof(vexel_ll_op) == 17 * sizeof(void*));
