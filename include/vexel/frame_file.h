/* Distance and gray frames in raw files: one text header line ("VX_DIST,U16,320,240\n"), then
   whole frames of little-endian samples, row-major. The caller opens and closes the file and
   passes its descriptor; only read, write and seek are used on it. */
#ifndef VEXEL_FRAME_FILE_H
#define VEXEL_FRAME_FILE_H

#include <stdint.h>

#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* Sample types of a frame file. Distances take F32 (metres), U32 and U16 (millimetres, the
   truncated value's low bits); gray images take U16 and U8. */
typedef enum vexel_frame_save_format {
    VEXEL_FRAME_SAVE_F32 = 0,
    VEXEL_FRAME_SAVE_U32 = 1,
    VEXEL_FRAME_SAVE_U16 = 2,
    VEXEL_FRAME_SAVE_U8 = 3
} vexel_frame_save_format;

/* Appends the whole img_w x img_h frames that `dist` (float metres, dist_len values) holds;
   the header is written first when `fd` stands at offset 0. Returns 1, or 0 on an unknown
   format, a non-positive size, a null `dist` with data to write, or a failed write. */
VX_API int32_t vexel_frame_save_distance(int32_t fd, int32_t format, const float* dist, int32_t dist_len,
                                         int32_t img_w, int32_t img_h);
/* Appends at most one frame of gray values (the first min(gray_len, img_w * img_h) values);
   header and result as for distances. */
VX_API int32_t vexel_frame_save_gray(int32_t fd, int32_t format, const float* gray, int32_t gray_len,
                                     int32_t img_w, int32_t img_h);

/* Reads one frame of a VX_DIST file per call: at offset 0 the header first (width and height
   1..65535, at most 256 MiB per frame), at any other offset with the header this process read
   last. Stores min(dist_len, width * height) values in metres and returns that count, the rest
   of the frame being skipped; 0 on a bad header, the end of the file or a short frame.
   w_out and h_out (may be null) receive the header's size. The remembered header is one per
   process and per file kind, so read one file of each kind at a time; calls from several
   threads never see a torn header. */
VX_API int32_t vexel_frame_load_distance(int32_t fd, float* dist, int32_t dist_len, int32_t* w_out, int32_t* h_out);
/* The same for VX_GRAY files; values come back unscaled (0..255 or 0..65535). */
VX_API int32_t vexel_frame_load_gray(int32_t fd, float* gray, int32_t gray_len, int32_t* w_out, int32_t* h_out);

VX_EXTERN_C_END

#endif
