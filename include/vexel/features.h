/* Processing steps of the frame pipeline, switched per open device. The switches start at the
   driver's defaults at every open and vanish at close; a new setting applies from the next frame
   decoded. */
#ifndef VEXEL_FEATURES_H
#define VEXEL_FEATURES_H

#include <stdint.h>

#include <vexel/device.h>
#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* Filter ids, with the value each reads from the argument bytes when enabled (little-endian). */
enum {
    VEXEL_FILTER_LENS_UNDISTORT = 0, /* none; reloads lens_param.txt. Default off */
    VEXEL_FILTER_PIXEL_CALIB = 1,    /* uint8 calibration set 0 or 1 (a larger byte is rewritten to 1);
                                        refused when the calibration files are missing. Default on
                                        when the open found or downloaded the camera's calibration
                                        files, else off */
    VEXEL_FILTER_MEDIAN = 2,         /* uint8 kernel size; acts above 1. Default on, 3 */
    VEXEL_FILTER_AMP_THRESHOLD = 4,  /* int32 minimum amplitude, applied afresh to every frame. Default
                                        on, 0. Off keeps the last threshold and lets each pixel's
                                        validity carry over from frame to frame (hysteresis); enable
                                        it with 0 for no threshold */
    VEXEL_FILTER_AUTO_INTG = 5,      /* uint16 target per mille of bad samples; 0 is inactive. Default off */
    VEXEL_FILTER_DCS_CHECK = 6,      /* uint16 correction value sent on a failed check. Default off */
    VEXEL_FILTER_TEMP_MONITOR = 7,   /* uint16, stored. Default on */
    VEXEL_FILTER_HDR = 8,            /* none. Default off */
    /* Depth-quality steps of <vexel/depth_quality.h>, run on the distance image after the
       decode's own marks, in this order; each value is a little-endian float32, refused out of
       range. The confidence comes from the frame's amplitude and sample offset, the modulation
       frequency and the integration time. All default off. */
    VEXEL_FILTER_CONFIDENCE = 9, /* largest predicted noise in mm kept (> 0) */
    VEXEL_FILTER_FLYING = 10,    /* k, 1 to 100 (6 is a good start) */
    VEXEL_FILTER_TEMPORAL = 11,  /* alpha, above 0 to 1; the history belongs to the open device and
                                    holds a pixel's last value for 2 frames */
    VEXEL_FILTER_SPATIAL = 12,   /* range sigma in mm (> 0) */
    VEXEL_FILTER_FILL = 13,      /* largest hole in pixels, 1 to 64 */
    /* The temperature compensation's sensor term on both sides of the sensor's calibration
       temperature. The decode takes the phase drift off by (Tib - Tibc) * aib for the
       illumination board and, as the chip library has it, max(0, Ts - Tsc) * as for the sensor:
       a sensor colder than at calibration (a camera warming up) is not compensated, and reads
       short by its whole drift, about 17 mm per degree with the epc660's coefficient. On, the
       sensor's term is (Ts - Tsc) * as whichever side Ts lies. None. Default off at every open
       (the chip library's term); the vexel program, the viewer, vexel-publish, the C++ layer's
       Device and the Python module switch it on after their open. Any thread; a decode reads
       the switch once per frame. */
    VEXEL_FILTER_TEMP_TWO_SIDED = 14
};

/* Switches filter `filter_id` on with the value at `filter_arg` (at least as many bytes as the id
   reads; `arg_size` is passed to the driver). The caller owns the bytes; for
   VEXEL_FILTER_PIXEL_CALIB the driver may write into the first one. Ids without an action are
   accepted. Returns 1 done, 0 refused (also for a missing value), -1 without a device or driver.
   Any thread, also while another decodes. */
VX_API int32_t vexel_filter_enable(vexel_dev* dev, int32_t filter_id, void* filter_arg, int32_t arg_size);
/* Switches filter `filter_id` off; same results. */
VX_API int32_t vexel_filter_disable(vexel_dev* dev, int32_t filter_id);
/* A switch's state: 1 on, 0 off, -1 without a device or driver or for an id the driver does not
   know. When `value` is not null, up to `size` bytes of the stored value (as enable reads it,
   little-endian) are written there, also while the switch is off. Any thread. */
VX_API int32_t vexel_filter_get(vexel_dev* dev, int32_t filter_id, void* value, int32_t size);

/* The switches' names and values, one table for every layer (the vexel program's --filter, the
   C++ and Python layers, the viewer): what each switch is called, what value it takes and its
   bounds. */

/* Kinds of value (vexel_filter_info.kind). */
enum {
    VEXEL_FILTER_VALUE_NONE = 0,  /* on or off only */
    VEXEL_FILTER_VALUE_INT = 1,   /* a little-endian integer of `bytes` bytes */
    VEXEL_FILTER_VALUE_FLOAT = 2  /* a little-endian float32 */
};

/* One switch. The strings and the record are the library's, constant for its lifetime. */
typedef struct vexel_filter_info {
    int32_t id;           /* VEXEL_FILTER_* */
    const char* name;     /* "lens", "drnu", "median", "amp", "auto-intg", ...: the name every layer uses */
    const char* id_name;  /* the id's own name in lower case ("lens_undistort"), also accepted */
    const char* what;     /* one line for help texts: "median filter, odd kernel size" */
    int32_t kind;         /* VEXEL_FILTER_VALUE_* */
    int32_t bytes;        /* value bytes vexel_filter_enable reads: 0, 1, 2 or 4 */
    double lo;            /* lowest accepted value (see lo_open) */
    double hi;            /* highest accepted value, included */
    int32_t lo_open;      /* 1: lo itself is refused */
    int32_t odd;          /* 1: odd integers only */
    int32_t has_default;  /* 1: switching it on without a value means default_value */
    double default_value; /* the value a switch with has_default is given when none is */
    int32_t on_at_open;   /* the driver's switch after every open (drnu: on when the open found or
                             downloaded the calibration files, see VEXEL_FILTER_PIXEL_CALIB) */
    double value_at_open; /* the stored value after every open */
} vexel_filter_info;

/* Number of switches in the table. Any thread, no device needed. */
VX_API int32_t vexel_filter_count(void);
/* The `index`-th switch (0 to vexel_filter_count() - 1, in id order), null beyond. */
VX_API const vexel_filter_info* vexel_filter_at(int32_t index);
/* The switch called `name` (its name or its id_name), null for an unknown name or null. */
VX_API const vexel_filter_info* vexel_filter_find(const char* name);
/* The name of switch `filter_id` ("median"), null for an id without one. For messages. */
VX_API const char* vexel_filter_name(int32_t filter_id);

/* Switches `filter_id` on with `value` (`on` 1; the value is ignored by switches without one)
   or off (`on` 0), the value written in the bytes the switch reads. A value outside the
   table's bounds, not whole for an integer switch or even for an odd one, or an id outside
   the table is refused before the driver sees it. Returns 1 done, 0 refused by the driver,
   -1 without a device or driver, -2 refused value or id; each refusal is logged with the
   switch's name. Any thread, as vexel_filter_enable. */
VX_API int32_t vexel_filter_set(vexel_dev* dev, int32_t filter_id, int32_t on, double value);
/* A switch's state as vexel_filter_get gives it (1 on, 0 off, -1 none), with its stored value
   decoded into `*value` when `value` is not null (0 for switches without one). Any thread. */
VX_API int32_t vexel_filter_value(vexel_dev* dev, int32_t filter_id, double* value);

VX_EXTERN_C_END

#endif
