/* Recordings: a camera's run kept in a file (docs/recording-format.md), and the file opened
   again as if it were the camera. */
#ifndef VEXEL_RECORD_H
#define VEXEL_RECORD_H

#include <stdint.h>
#include <vexel/device.h>
#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* Recorder settings. Zero fields take the default. */
typedef struct vexel_rec_options {
    int32_t zstd_level;    /* compression level of each chunk; default 1 */
    uint32_t chunk_bytes;  /* a chunk is written once it holds this many bytes; default 4 MiB */
    uint32_t chunk_ms;     /* ... or once its first record is this old; default 500 ms */
    uint32_t queue_bytes;  /* frames waiting for the writer beyond this are lost (counted); default 64 MiB */
} vexel_rec_options;

/* What a recorder has done so far. */
typedef struct vexel_rec_stats {
    uint64_t frames;        /* frames written to the file */
    uint64_t frames_lost;   /* frames the writer could not keep up with (never written) */
    uint64_t events;        /* capture errors and parser discards written */
    uint64_t settings;      /* register and parameter writes written */
    uint64_t raw_bytes;     /* record bytes before compression */
    uint64_t file_bytes;    /* bytes in the file */
    uint32_t chunks;        /* chunks written to the file */
    int32_t failed;         /* 1 once writing failed; `message` says why; nothing more is written */
    char message[160];      /* why writing failed; empty while it works */
} vexel_rec_stats;

/* Starts recording an open device into a new file at `path` (an existing file is replaced):
   the camera's identity, its settings and sensor registers now, the calibration files and lens
   parameters under the path prefix, then every frame the device receives (also while a capture
   already runs), every capture error and every register or parameter write made through the
   device calls, until vexel_rec_stop or vexel_dev_close. A writer thread compresses and writes
   chunks; the caller's threads and the event thread only queue records.
   Who: any thread, on an open device without a recorder; not from the device's callbacks.
   `opt` may be null (defaults). Result: 1 started; 0 with a logged reason (device not open,
   a recorder already running, the file cannot be created, the identity cannot be read). */
VX_API int vexel_rec_start(vexel_dev* dev, const char* path, const vexel_rec_options* opt);

/* Stops the recorder of `dev`: writes what is queued, the index and the end mark, closes the
   file. `stats` (may be null) receives the final figures. Result: 1 when the file is complete,
   0 when there was no recorder or writing failed (`stats->message` says why).
   Who: any thread; not from the device's callbacks. vexel_dev_close stops a running recorder. */
VX_API int vexel_rec_stop(vexel_dev* dev, vexel_rec_stats* stats);

/* Copies the running recorder's figures into `stats`: 1, or 0 when `dev` has no recorder. Any thread. */
VX_API int vexel_rec_get_stats(vexel_dev* dev, vexel_rec_stats* stats);

/* Opens the recording at `path` as a camera: the library allocates the record (its
   free-on-close flag is set, so vexel_dev_close releases it) and opens it with the same steps
   as vexel_dev_open, through a transport that answers from the file. Identity, parameters and
   sensor registers read as recorded; the recording's calibration files are written under the
   path prefix when missing there, and the open is refused when a file of the same name holds
   other data (choose another prefix with vexel_path_cfg). Capture plays the frames, gaps and
   errors as recorded, paced at the recorded rate by default (vexel_play_set).
   Writes of registers or parameters that would change a recorded value, resets and data
   transfers fail with a logged reason; writing the value a register already has succeeds.
   Result: the open record, or null with a logged reason (missing file, not a recording, a
   version this library does not read, damaged start, calibration conflict). */
VX_API vexel_dev* vexel_dev_open_recording(const char* path);

/* The same into the caller's record `dev` (zeroed or closed; its free-on-close flag is the
   caller's, as with vexel_dev_open): for callers that keep their records themselves.
   Result: `dev`, or null with a logged reason. */
VX_API vexel_dev* vexel_dev_open_recording_at(vexel_dev* dev, const char* path);

enum {
    VEXEL_PLAY_RECORDED_RATE = 0, /* frames arrive as far apart as they were received */
    VEXEL_PLAY_AS_PULLED = 1,     /* the next frame as soon as the device's frame queue has room */
    /* frames arrive as far apart as the camera's frame counter and its recorded frame rate put
       them: the delays of the recording host (frames it received in bursts) are left out, the
       frames the camera lost are not. Without a recorded frame rate: as VEXEL_PLAY_RECORDED_RATE. */
    VEXEL_PLAY_CAMERA_RATE = 2
};

/* Pacing and looping of a recording opened with vexel_dev_open_recording; takes effect at
   once, also during capture. A looping playback starts again at its first frame, with the
   recorded settings of that moment. Result: 1, or 0 for a device that is not a recording. */
VX_API int vexel_play_set(vexel_dev* dev, int pacing, int loop);

/* Moves playback to frame `frame` (counted from 0 in the recording's order): the next capture,
   or a running one, continues there with the settings recorded up to that frame.
   Result: 1, or 0 when `frame` is beyond the frames the file holds or `dev` is not a recording. */
VX_API int vexel_play_seek(vexel_dev* dev, uint32_t frame);

/* State of a playback. */
typedef struct vexel_play_info {
    uint32_t version;     /* format version of the file */
    uint32_t frames;      /* frames the readable part of the file holds */
    uint32_t position;    /* the frame playback gives next */
    uint32_t loops;       /* times playback wrapped around */
    uint64_t duration_us; /* receive time from the first to the last frame */
    int32_t ended;        /* 1 once playback ran past its last frame (without loop) */
    int32_t damaged;      /* 1 when the file is cut off or a chunk is damaged: `message` says where */
    char message[160];    /* where the file is damaged; empty for a sound file */
} vexel_play_info;

/* Copies the state of the playback of `dev`: 1, or 0 for a device that is not a recording. Any thread. */
VX_API int vexel_play_get_info(vexel_dev* dev, vexel_play_info* info);

VX_EXTERN_C_END

#endif
