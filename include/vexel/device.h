/* Library start and stop, the device list, open, close and reset, and register and
   parameter batches. */
#ifndef VEXEL_DEVICE_H
#define VEXEL_DEVICE_H

#include <stdint.h>
#include <vexel/export.h>

VX_EXTERN_C_BEGIN

struct vexel_dev_handle;
struct vexel_driver_entry;

/* One camera: a device-list entry, and the object every device call takes. The caller owns
   it; the library fills it. Field order and widths are ABI. */
typedef struct vexel_dev {
    struct vexel_dev_handle* handle; /* null when not open */
    /* identity block, copied as one */
    int32_t fd;
    uint8_t bus;
    uint8_t port;
    uint8_t addr;
    uint8_t speed;
    uint8_t reserved[36];
    /* identification read at open */
    char product[32];  /* "A-E2-2.0": the family field selects the driver */
    char dev_id[32];   /* second identification string */
    uint8_t dev_info[32];
    uint8_t version[8]; /* 16-bit words; the second is the firmware version */
    char* path_prefix;
    uint8_t reserved2[12];
    uint8_t valid;         /* bus and port name one particular camera */
    uint8_t free_on_close; /* the library frees the record at close or failed open */
    uint8_t busy;          /* set while a public call runs on this device */
    uint8_t spare;
} vexel_dev;

/* A device-list entry that is not open: the same record. */
typedef vexel_dev vexel_dev_info;

/* Caller form of a device parameter; only the low 8 bits of param_id travel. */
#pragma pack(push, 1)
typedef struct vexel_param_item {
    uint32_t param_id;      /* VX_PARAM_* */
    uint8_t param_len;      /* bytes of param_val used */
    uint8_t param_val[18];  /* little-endian value */
    uint8_t reserved;       /* zero */
} vexel_param_item;
#pragma pack(pop)

/* Device parameter ids. */
enum {
    VX_PARAM_MODE = 0,
    VX_PARAM_DEV_ID = 2,
    VX_PARAM_PRODUCT = 3,
    VX_PARAM_DEV_INFO = 5,
    VX_PARAM_VERSION = 6,
    VX_PARAM_CHIP_INFO = 7,
    VX_PARAM_CALIB_INFO = 8,
    VX_PARAM_CHIP_MODE = 10,
    VX_PARAM_FPS = 12,
    VX_PARAM_INTG_TIME = 13,
    VX_PARAM_TEMPERATURES = 15,
    VX_PARAM_DCS_CORRECTION = 17
};

/* Starts the log (dated file unless `log_file_name` names one), the transport and the
   library colour map. Call first, once, before any other call; the library keeps the pointer
   `log_file_name` (compared, never read again), so pass a string that outlives the call. Console
   messages go to standard output at warnings and above until vexel_log_cfg says otherwise. */
VX_API void vexel_init(const char* log_file_name);
/* Ends the library: releases the colour map, closes the log file and the transport. Call last,
   after every device is closed. */
VX_API void vexel_uninit(void);

/* Fills up to `list_num` caller-owned records with the attached cameras (bus, port, address,
   speed; not open, so product and serial are still empty); returns how many. */
VX_API int vexel_dev_list(vexel_dev* dev_list, int list_num);
/* Opens `dev` (a listed record, or a zeroed one for the first camera; null uses the library's
   default record). Returns the record, or null. A record still open is closed first, except
   from inside a call on that device (a frame-ready or error callback): that reopen is refused
   with a logged error and null, the device staying open. Different records may be opened from
   several threads at once: their driver starts and calibration loads (a download from the
   camera, seconds at most) take turns, so each camera loads its own calibration. */
VX_API vexel_dev* vexel_dev_open(vexel_dev* dev);
/* Opens the attached camera whose USB serial string equals `serial` into the caller's record
   `dev`, as vexel_dev_open does (a record still open is closed first). Finds it by listing the
   cameras and reading each one's serial without claiming it, so a camera that left and came
   back at another address is found again. Returns `dev`, or null (logged) when no camera has
   that serial or the open fails. Any thread; `serial` is only read during the call. */
VX_API vexel_dev* vexel_dev_open_serial(vexel_dev* dev, const char* serial);
/* Not available on this platform: always null. */
VX_API vexel_dev* vexel_dev_open_by_fd(vexel_dev* dev);
/* Stops a running capture, waits for calls of other threads on the device to return, and
   releases it. From inside a call on the same device (a frame-ready or error callback) the
   close would wait for itself: it is refused with a logged error and the device stays open;
   close it after that call returns (a callback may call vexel_cap_stop to end it). */
VX_API void vexel_dev_close(vexel_dev* dev);
/* Any number of threads may call the device calls below (and the capture calls) on one open
   device: each command to the camera, with its status query, runs whole. */

/* Target 0 restarts the camera, 1 resets the sensor, 3 re-enumerates and reopens; 0..8 valid. */
VX_API int vexel_dev_reset(vexel_dev* dev, unsigned target);
/* The open device's driver entry (its own copy of the registry row). */
VX_API struct vexel_driver_entry* vexel_dev_get_drv(vexel_dev* dev);
/* The registry row whose family code equals the product string's second field, or null. */
VX_API struct vexel_driver_entry* vexel_drv_find(vexel_dev* dev);

/* What the open found of the camera's calibration files. */
enum {
    EPC_CALIB_UNKNOWN = 0,    /* not an epc driver entry, or its driver did not start */
    EPC_CALIB_FOUND = 1,      /* present in the path prefix directory */
    EPC_CALIB_DOWNLOADED = 2, /* fetched from the camera during the open */
    EPC_CALIB_MISSING = 3,    /* neither: distances go uncorrected */
    EPC_CALIB_UNUSABLE = 4    /* present, but neither they nor a fresh download from the camera
                                 loaded (empty, cut short, another camera's): distances go
                                 uncorrected */
};
/* One of EPC_CALIB_* for an open device's driver entry (vexel_dev_get_drv); null gives UNKNOWN. */
VX_API int epc_calib_status(const struct vexel_driver_entry* drv);

/* Writes `reg_cnt` (at most 65535) 32-bit values from the caller's `val_buf` into the registers
   `reg_base` on of `target` (only its low 8 bits travel; 1 is the sensor). 1 done, 0 failed
   (nothing open, too many registers, or the camera refused). */
VX_API int vexel_reg_batch_write(vexel_dev* dev, unsigned target, uint32_t reg_base, const uint32_t* val_buf,
                                 uint32_t reg_cnt);
/* Reads `reg_cnt` registers into the caller's `val_buf` (room for reg_cnt values); as above. */
VX_API int vexel_reg_batch_read(vexel_dev* dev, unsigned target, uint32_t reg_base, uint32_t* val_buf,
                                uint32_t reg_cnt);
/* Batches of 0 items reach the transport and succeed without traffic. */
VX_API int vexel_param_batch_set(vexel_dev* dev, const vexel_param_item* items, int count);
/* On success each item's param_len and param_val hold the camera's answer; on failure the
   items are untouched. */
VX_API int vexel_param_batch_get(vexel_dev* dev, vexel_param_item* items, int count);

VX_EXTERN_C_END

#endif
