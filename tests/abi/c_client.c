/* A C99 client of the public interface: layouts as C sees them, and calls through the .so. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <vexel/vexel.h>

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: %s failed\n", __FILE__, __LINE__, #cond); \
            return 1;                                                 \
        }                                                             \
    } while (0)

int main(void) {
    CHECK(strcmp(vexel_error_name(VEXEL_ERR_CAP_STALL), "VEXEL_ERR_CAP_STALL") == 0);
    CHECK(strcmp(vexel_error_name(-6), "**UNKNOWN**") == 0);
    CHECK(vx_log_enable(3, 0, NULL) == 0);
    CHECK(vexel_ll_set_debug(2) == 1);
    CHECK(ll_op_usb.init != NULL && ll_op_usb.init() == 1);

    /* The transport record as C lays it out must match the library's. */
    CHECK(offsetof(vexel_ll_dev, fd) == 8);
    CHECK(offsetof(vexel_ll_dev, bus) == 12);
    CHECK(offsetof(vexel_ll_dev, reserved) == 16);
    CHECK(offsetof(vexel_ll_dev, ops) == 56);
    CHECK(offsetof(vexel_ll_dev, valid) == 64);
    CHECK(sizeof(vexel_ll_param_rec) == 20);
    CHECK(sizeof(vexel_ll_op) == 17 * sizeof(void (*)(void)));
    puts("c client ok");
    return 0;
}
