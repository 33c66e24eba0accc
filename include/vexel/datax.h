/* Data images in the camera's flash: firmware upgrade, data download (host file to camera) and
   data upload (camera to host file). The transfers are synchronous and run on the caller's
   thread; results are 1 on success and -1 on failure. The protocol they are built from is in
   <vexel/datax_protocol.h>.

   One transfer runs on a device at a time, since the camera keeps a single write state and read
   position: a transfer started while another one runs on the same device waits until that one
   has ended (its final board wait included), then runs. A transfer started from inside the
   progress callback of another on the same device would wait for ever and is refused with -1
   instead. Other calls on the device (parameters, registers, capture) are not held back. */
#ifndef VEXEL_DATAX_H
#define VEXEL_DATAX_H

#include <stdint.h>
#include <vexel/device.h>
#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* Where a transfer is when it reports progress. */
typedef enum vexel_datax_stage {
    VX_DATAX_ERASE = 1,   /* write: the camera erases its flash; done is 0 */
    VX_DATAX_WRITE = 2,   /* write: done counts the bytes the camera has acknowledged */
    VX_DATAX_RESTART = 3, /* write complete; the final wait for the board follows */
    VX_DATAX_READ = 4     /* read: done counts the bytes received */
} vexel_datax_stage;

/* Progress of a transfer: bytes done of `total`, the stage, the caller's pointer. Called on
   the transferring thread between two exchanges (never with a command outstanding, so it may
   use the device itself): while the flash erases, after every block or piece, and once before
   the final wait. A non-zero result cancels: the transfer stops before its next block or piece
   and returns -1 (a write then skips its final stage; a read leaves no file). Not consulted
   once the last block is acknowledged. */
typedef int (*vexel_datax_progress_cb)(uint32_t done, uint32_t total, int stage, void* user);

/* Writes the file at `path` into image slot `type` of the camera as image `version`, which
   must be above the version of the image in slot 0 (the firmware the camera runs; the host asks
   for it whatever type is written) and, as the camera itself checks, above the version stored in
   slot `type`. A write of type 0 or 1 then restarts the board and
   waits 20 s, of type 2 or 3 waits 7 s (do not reset or power off meanwhile); after a type 0/1
   write close and reopen the device. `dev` must be open (else -1); the device is busy for the
   duration. The file is read whole before the transfer. Any thread; the caller keeps `path`. */
VX_API int vexel_firmware_upgrade(vexel_dev* dev, uint8_t type, uint16_t version, const char* path);
/* vexel_firmware_upgrade with progress and cancellation; `progress` may be null. */
VX_API int vexel_firmware_upgrade_ex(vexel_dev* dev, uint8_t type, uint16_t version, const char* path,
                                     vexel_datax_progress_cb progress, void* user);
/* vexel_firmware_upgrade under its other name; `addr` is accepted and not used. */
VX_API int vexel_data_download(vexel_dev* dev, const char* path, uint8_t type, uint16_t version, uint32_t addr);

/* Reads image `type` from the camera into the file `path` ("calib.bin" in the working
   directory when null). A regular file appears under its name only once complete (written beside
   it under a temporary name, then renamed); a failed read leaves an existing file untouched.
   Anything else that exists under the name (a pipe, a device such as /dev/stdout, a symbolic
   link) is opened and written directly, so the link stays a link and a reader of the pipe gets
   the bytes as they arrive; a failed read then leaves what was written so far.
   `dev` must be open (else -1); busy for the duration. Any thread. */
VX_API int vexel_data_upload(vexel_dev* dev, uint8_t type, const char* path);
/* vexel_data_upload with progress and cancellation; `progress` may be null. */
VX_API int vexel_data_upload_ex(vexel_dev* dev, uint8_t type, const char* path, vexel_datax_progress_cb progress,
                                void* user);

VX_EXTERN_C_END

#endif
