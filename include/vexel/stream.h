/* Frame stream parser: turns the camera's packet stream, in pieces of any size, into
   verified complete frames. Fed by one thread, read by any. */
#ifndef VEXEL_STREAM_H
#define VEXEL_STREAM_H

#include <stdint.h>
#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* Packet header as it travels, little-endian, 36 bytes. */
typedef struct vx_stream_hdr {
    uint16_t magic;      /* 0x98FB: bytes 0xFB, 0x98 */
    uint16_t sidx;       /* packet index, consecutive within a frame */
    uint32_t len;        /* payload bytes, below 0x100000 */
    uint32_t frlen;      /* frame bytes, 1 .. 0x7FFFFFF */
    uint16_t fridx;      /* frame index */
    uint16_t frfmt;      /* frame format code, below 0x400 */
    uint16_t width;      /* 0: driver default */
    uint16_t height;     /* 0: driver default */
    int16_t sensor_temp; /* tenths of a degree Celsius */
    int16_t illum_temp;  /* tenths of a degree Celsius */
    uint32_t spare;      /* passed through to the frame information */
    uint32_t data_sum;    /* wrapping sum of the payload's little-endian 32-bit words */
    uint8_t frame_start;  /* bit 0: this packet starts a frame */
    uint8_t has_data_sum; /* bit 0: data_sum is valid */
    uint16_t hdr_sum;     /* Fletcher-16 of bytes 0..33, sum1 low, sum2 high */
} vx_stream_hdr;

enum { VX_STREAM_HDR_SIZE = 36, VX_STREAM_MAGIC = 0x98FB };

/* Parser settings given at creation. */
typedef struct vx_stream_cfg {
    uint32_t max_frames; /* complete frames kept; the oldest go first */
} vx_stream_cfg;

/* Raw per-frame information from the header of the packet that started the frame. */
typedef struct vx_stream_frame_info {
    uint32_t frlen; /* frame bytes */
    uint16_t fridx; /* header fridx + frames completed earlier in that packet */
    uint16_t frfmt;       /* frame format code */
    uint16_t width;       /* pixels; 0: driver default */
    uint16_t height;      /* pixels; 0: driver default */
    int16_t sensor_temp;  /* tenths of a degree Celsius */
    int16_t illum_temp;   /* tenths of a degree Celsius */
    uint32_t spare;       /* passed through */
} vx_stream_frame_info;

/* Statistics since creation or the last reset. */
typedef struct vx_stream_state {
    uint32_t frames_assembled; /* frames whose bytes all arrived */
    uint32_t frames_moved;     /* into the ready list */
    uint32_t frames_discarded; /* incomplete frames thrown away */
    uint32_t frames_dropped;   /* complete frames dropped because the ready list was full */
    uint32_t frames_ready;     /* waiting to be taken */
    uint32_t reserved0;        /* zero */
    uint32_t bytes_skipped;    /* bytes that belonged to no packet */
    uint32_t reserved1;        /* zero */
    uint32_t reset_sec;        /* when the statistics started: seconds */
    uint32_t reset_usec;       /* and microseconds */
} vx_stream_state;

/* A stream parser: created, fed and destroyed by the vx_stream_ calls. */
typedef struct vx_stream vx_stream;

/* Null when `cfg` is null or memory is short. */
VX_API vx_stream* vx_stream_create(const vx_stream_cfg* cfg);
/* Releases the parser and every frame it holds; null is harmless. Not while it is fed or read. */
VX_API void vx_stream_destroy(vx_stream* s);
/* Not synchronised with feeding: change the configuration while not capturing. Return 1, or 0 on null. */
VX_API int vx_stream_set_cfg(vx_stream* s, const vx_stream_cfg* cfg);
/* Copies the configuration into `cfg_out`: 1, or 0 on null. */
VX_API int vx_stream_get_cfg(const vx_stream* s, vx_stream_cfg* cfg_out);
/* Drops every frame and zeroes the statistics; call it from the feeding side. */
VX_API int vx_stream_reset(vx_stream* s);
/* Returns 1 when at least one complete frame is ready afterwards. */
VX_API int vx_stream_feed_input(vx_stream* s, const void* data, uint32_t n);
/* Takes up to `count` ready frames, oldest first: their bytes go back to back into `dst`
   (clipped to `dst_len`), the first one's information into `info_out`. Non-zero `peek` leaves
   them in place; with a null `dst` it only counts. Returns the number of frames taken. */
VX_API uint32_t vx_stream_fetch_frames(vx_stream* s, void* dst, uint32_t dst_len, uint32_t count,
                                       vx_stream_frame_info* info_out, int peek);
/* Copies the statistics into `state_out`: 1, or 0 on null. Any thread. */
VX_API int vx_stream_get_state(const vx_stream* s, vx_stream_state* state_out);

VX_EXTERN_C_END

#endif
