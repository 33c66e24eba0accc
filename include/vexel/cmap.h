/* Distance to colour mapping: a jet-style table plus a millimetre range. */
#ifndef VEXEL_CMAP_H
#define VEXEL_CMAP_H

#include <stdint.h>

#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* Colour words are 0x00BBGGRR: byte 0 red, byte 1 green, byte 2 blue, byte 3 zero. */
typedef struct vx_cmap {
    int32_t count;      /* table entries */
    int32_t min;        /* range start in mm, exclusive for colours */
    int32_t max;        /* range end in mm, inclusive */
    float scale;        /* entries per mm */
    float gray_scale;   /* grey levels per mm */
    uint32_t* table;    /* `count` colour words, owned by the map */
} vx_cmap;

/* Output formats of vexel_cmap_float. */
typedef enum vexel_color_format {
    VEXEL_COLOR_RGB888 = 0,   /* red, green, blue */
    VEXEL_COLOR_RGBX8888 = 1, /* the colour word little-endian: red, green, blue, 0 */
    VEXEL_COLOR_BGR888 = 2,   /* blue, green, red */
    /* Added to a format: pixels without a measurement black too (0 and below, NaN, and the
       decoder's codes 65.3 m and up, of which the map colours 65.4 and 65.5), as the vexel
       program, the C++ and Python layers and the viewer show them. */
    VEXEL_COLOR_NO_DATA_BLACK = 0x100
} vexel_color_format;

/* Fills the record, range 0..4000 mm, and builds the table. A map whose count is <= 0 or
   whose table could not be allocated answers black to every lookup. */
VX_API void vx_cmap_init(vx_cmap* cmap, int32_t count);
/* Releases the table; lookups answer black until vx_cmap_init runs again. */
VX_API void vx_cmap_uninit(vx_cmap* cmap);
/* Bounds in mm in either order. Equal bounds keep the range and only reset the scales. */
VX_API void vx_cmap_set_range(vx_cmap* cmap, int32_t min_mm, int32_t max_mm);
/* Colour of a distance in mm: the codes first, black outside (min, max]. */
VX_API uint32_t vx_cmap_get_color(const vx_cmap* cmap, int32_t value);
/* Grey of a distance in mm: white above the range, black below. */
VX_API uint32_t vx_cmap_get_gray(const vx_cmap* cmap, int32_t value);

/* Colours `src_len` float distances in metres into `dst` (`dst_len` bytes) with the
   library-wide map after setting its range to [range_min, range_max] metres (the range stays).
   Returns the pixels written: limited by both lengths; 0 for an unknown format. `outfmt` is
   a VEXEL_COLOR_* format, optionally plus VEXEL_COLOR_NO_DATA_BLACK. */
VX_API int32_t vexel_cmap_float(uint8_t* dst, int32_t dst_len, const float* src, int32_t src_len,
                                int32_t outfmt, float range_min, float range_max);

VX_EXTERN_C_END

#endif
