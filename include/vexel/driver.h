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
    const char* name;                  /* driver name for messages */
    const char* family;                /* product family it serves, the product string's first field */
    const struct vexel_driver_op* ops; /* its operations table */
    vexel_dev* dev;                    /* the open device (filled at init) */
    void* state;                       /* the driver's own state (filled at init) */
} vexel_driver_entry;

/* Sixteen slots; a null slot is an operation the driver does not support. Every slot takes the
   device's driver entry first; the core calls them from the caller's thread. */
typedef struct vexel_driver_op {
    /* Open: binds `dev`, creates the driver state and configures the sensor. 1 on success; the
       open goes on either way, so every other slot copes with a driver that did not start. */
    uint8_t (*init)(vexel_driver_entry* drv, vexel_dev* dev);
    /* Close: releases what init made. */
    void (*uninit)(vexel_driver_entry* drv);
    /* For every delivered frame (inside the pulling capture calls): fills `out` from the
       stream's raw information. 1, or 0 with `out` zeroed when the frame is not usable. */
    int (*frame_get_info)(vexel_driver_entry* drv, vexel_frame_info* out, const struct vx_stream_frame_info* raw);
    /* Decodes `raw` into `out` (type 1 distance, 2 gray); bytes written, or -1. */
    int (*frame_decode)(vexel_driver_entry* drv, void* out, int out_len, int type, const void* raw, int raw_len,
                        const vexel_frame_info* info);
    /* Lens parameters scaled to a width x height image; 1, or 0 when the size does not divide. */
    uint8_t (*lens_param_get)(vexel_driver_entry* drv, struct vexel_lens_param* out, int width, int height);
    int (*spare5)(vexel_driver_entry* drv);
    /* Re-runs the sensor configuration when c is 2; returns b. */
    int (*chip_reinit)(vexel_driver_entry* drv, int a, int b, int c);
    /* Open, after init: makes sure the calibration files are there (downloading them from the
       camera if needed). 0, or negative when the camera stays without calibration. */
    int (*calib_load)(vexel_driver_entry* drv, int a, int b, int c);
    int (*spare8)(vexel_driver_entry* drv);
    /* Feature switches (VEXEL_FILTER_* of <vexel/features.h>): `val` points to the value bytes
       the id reads (little-endian); the epc driver may write into them (id 1). 1 done, 0 refused. */
    uint8_t (*filter_enable)(vexel_driver_entry* drv, int id, void* val, int size);
    uint8_t (*filter_disable)(vexel_driver_entry* drv, int id);
    /* A switch's state: 1 on, 0 off, -1 unknown id; the stored value's bytes into `val` (up to
       `size`, little-endian) when `val` is not null. */
    int (*filter_get)(vexel_driver_entry* drv, int id, void* val, int size);
    void (*reserved[4])(void);
} vexel_driver_op;

/* The operations of the epc660/epc635 driver (families E1, E2, E3) and of the TI driver (T0). */
VX_API extern const vexel_driver_op g_vexel_driver_op_epc;
VX_API extern const vexel_driver_op g_vexel_driver_op_ti;

/* ---- epc driver ---- */

/* Starts the chip library on `dev` (it becomes g_vx_dev): reads the chip information and
   configures the sensor, loading the calibration files found. 1, or 0 when the chip information
   cannot be read. With a null `dev` it runs stand-alone: (re)starts the library and opens the
   first camera itself. Called by the epc driver's init; not thread-safe against open or close. */
VX_API int epc_adapter_init(vexel_dev* dev);
/* Closes and shuts down what the stand-alone mode opened, if anything; clears g_vx_dev. */
VX_API void epc_adapter_uninit(void);
/* frame_valid of the driver behind g_vx_dev: 1 after a delivered frame, 0 after a decode that
   produced nothing; 1 when there is no such driver. Not synchronised with close. */
VX_API uint8_t epc_adapater_get_frame_valid(void);
VX_API void epc_adapater_set_frame_valid(uint8_t v);
/* Lens parameters for a width x height image (binned sizes scale the intrinsics): 1, or 0 when
   the size does not divide the parameters' image size or `out` is null. Any thread. */
VX_API uint8_t epc_lens_param_get(vexel_driver_entry* drv, struct vexel_lens_param* out, int width, int height);

VX_EXTERN_C_END

#endif
