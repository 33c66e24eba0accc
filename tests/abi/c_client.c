/* A C99 client of the public interface: layouts as C sees them, and calls through the .so. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

/* Every public header, the protocol ones included, compiles as C99 on its own terms. */
#include <vexel/chip.h>
#include <vexel/datax_protocol.h>
#include <vexel/driver.h>
#include <vexel/stream.h>
#include <vexel/transport.h>
#include <vexel/vexel.h>
#include <vexel/vmath.h>

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

    /* Lens records in their public field order, and a table built and used from C. */
    CHECK(offsetof(vexel_lens_param, dcoeff) == 32 && offsetof(vexel_lens_param, img_h) == 76);
    CHECK(offsetof(vx_calib_len_map, size) == 16 && offsetof(vx_calib_len_map, roi_h) == 40);
    CHECK(offsetof(vx_calib_len_map, ready) == 44);
    {
        vexel_lens_param lens = {8.0, 6.0, 10.0, 10.0, {0, 0, 0, 0, 0}, 16, 12};
        vx_calib_len_map map;
        unsigned short src[16 * 12] = {0}, dst[16 * 12];
        double k[9] = {10, 0, 8, 0, 10, 6, 0, 0, 1};
        memset(&map, 0, sizeof map);
        CHECK(vx_calib_len_init_map(&map, &lens) == 16 * 12 && map.ready == 1);
        CHECK(vx_calib_len_undistort_u16(&map, dst, 16 * 12, src, 16, 12, 7) == 1 && dst[16 * 12 - 1] == 7);
        vx_calib_len_uninit_map(&map);
        CHECK(map.ready == 0);
        CHECK(mat3_inverse(k, NULL) == k && k[2] == -0.8);
    }
    /* Colour map record as C lays it out, and the filters called through the .so. */
    CHECK(offsetof(vx_cmap, scale) == 12 && offsetof(vx_cmap, gray_scale) == 16);
    CHECK(offsetof(vx_cmap, table) == 24 && sizeof(vx_cmap) == 32);
    {
        vx_cmap cmap;
        uint16_t img[4 * 3] = {5, 5, 5, 5, 5, 900, 5, 5, 5, 5, 5, 5}, out[4 * 3];
        vx_cmap_init(&cmap, 30000);
        CHECK(cmap.table != NULL && vx_cmap_get_color(&cmap, 4000) == 0x7F0000u);
        vx_cmap_uninit(&cmap);
        vx_median2d_u16(out, img, 4, 3, 3);
        CHECK(out[5] == 5);
        vx_box2d_u16_k3(img, img, 4, 3);
        /* In place, (1,0) already sees the new (0,0) twice through the clamped top row. */
        CHECK(img[0] == (7 * 5 + 900) / 8 && img[1] == (2 * 116 + 4 * 5 + 900) / 8);
    }
    puts("c client ok");
    return 0;
}
