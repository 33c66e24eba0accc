/* Sensor driver tables and the driver registry entry. */
#ifndef VEXEL_DRIVER_H
#define VEXEL_DRIVER_H

#include <stdint.h>
#include <vexel/device.h>
#include <vexel/export.h>
#include <vexel/frame.h>

VX_EXTERN_C_BEGIN

struct vx_stream_frame_info;
struct vexel_lens_param;
struct vexel_driver_op;

/* A registry row: the core gives every open device its own copy, whose last two words the
   driver fills at init. */
typedef struct vexel_driver_entry {
    const char* name;
    const char* family;
    const struct vexel_driver_op* ops;
    vexel_dev* dev;
    void* state;
} vexel_driver_entry;

/* Sixteen slots; a null slot is an operation the driver does not support. */
typedef struct vexel_driver_op {
    uint8_t (*init)(vexel_driver_entry* drv, vexel_dev* dev);
    void (*uninit)(vexel_driver_entry* drv);
    int (*frame_get_info)(vexel_driver_entry* drv, vexel_frame_info* out, const struct vx_stream_frame_info* raw);
    int (*frame_decode)(vexel_driver_entry* drv, void* out, int out_len, int type, const void* raw, int raw_len,
                        const vexel_frame_info* info);
    uint8_t (*lens_param_get)(vexel_driver_entry* drv, struct vexel_lens_param* out, int width, int height);
    int (*spare5)(vexel_driver_entry* drv);
    int (*chip_reinit)(vexel_driver_entry* drv, int a, int b, int c);
    int (*calib_load)(vexel_driver_entry* drv, int a, int b, int c);
    int (*spare8)(vexel_driver_entry* drv);
    uint8_t (*filter_enable)(vexel_driver_entry* drv, int id, const void* val, int size);
    uint8_t (*filter_disable)(vexel_driver_entry* drv, int id);
    void (*reserved[5])(void);
} vexel_driver_op;

VX_API extern const vexel_driver_op g_vexel_driver_op_epc;
VX_API extern const vexel_driver_op g_vexel_driver_op_ti;

VX_EXTERN_C_END

#endif
