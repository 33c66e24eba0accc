/* The transport contract: the operations table, the per-device transport record and the
   vexel_ll_ entry points that forward to it. */
#ifndef VEXEL_TRANSPORT_H
#define VEXEL_TRANSPORT_H

#include <stdint.h>
#include <vexel/export.h>

VX_EXTERN_C_BEGIN

struct vexel_ll_op;

/* Per-device transport record; the first part of every open device. */
typedef struct vexel_ll_dev {
    void* priv;     /* transport's private record while open, else null */
    int32_t fd;     /* host-opened descriptor; 0 for enumerated devices */
    uint8_t bus;    /* USB bus number */
    uint8_t port;   /* port on that bus */
    uint8_t addr;   /* device address */
    uint8_t speed;  /* libusb speed code, 3 = high speed */
    uint8_t reserved[36]; /* zero */
    const struct vexel_ll_op* ops; /* the transport that serves the record */
    uint8_t valid;  /* bus and port name one particular device */
} vexel_ll_dev;

/* Device form of a parameter item: the unit inside parameter command payloads. */
#pragma pack(push, 1)
typedef struct vexel_ll_param_rec {
    uint8_t id;      /* parameter id */
    uint8_t len;     /* bytes of val used */
    uint8_t val[18]; /* little-endian value */
} vexel_ll_param_rec;
#pragma pack(pop)

/* Capture callback codes. */
enum {
    VX_LL_CAP_OK = 0,
    VX_LL_CAP_CANCELLED = -3,
    VX_LL_CAP_TIMEOUT = -5,
    VX_LL_CAP_STALL = -7,
    VX_LL_CAP_ERROR = -10
};

/* Called on the device's event thread for every completed bulk transfer. */
typedef int (*vexel_ll_cap_cb)(vexel_ll_dev* dev, int code, uint8_t* data, int len, void* user);

/* Seventeen slots in a fixed order: the layout of ll_op_usb. A transport fills every slot; the
   vexel_ll_ entry points are the only callers, on the caller's thread unless a slot says
   otherwise, and they have already refused null records. Results are true (1) or false (0). */
typedef struct vexel_ll_op {
    /* Starts the transport once per library start (vexel_init); false when it cannot work. */
    int (*init)(void);
    /* Ends it (vexel_uninit), after every device is closed. */
    void (*uninit)(void);
    /* Stores the transport's own debug level for contexts opened later. */
    void (*set_debug)(unsigned level);
    /* Opens the device the record names (or the first one), claims it and starts its event
       thread; fills `priv` and returns `dev`, or null with the record unchanged. */
    vexel_ll_dev* (*dev_open)(vexel_ll_dev* dev);
    /* The same for a descriptor the host system opened (`fd`); null where unsupported. */
    vexel_ll_dev* (*dev_open_by_fd)(vexel_ll_dev* dev);
    /* Takes back every transfer, stops the event thread, releases `priv`. Never fails; nothing
       else may run on the record meanwhile. */
    void (*dev_close)(vexel_ll_dev* dev);
    /* Fills up to `capacity` caller-owned records with the devices found; returns the count. */
    int (*dev_list)(vexel_ll_dev* list, int capacity);
    /* One control exchange of `length` bytes to (is_write) or from `data`, owned by the caller
       and used only during the call; true when exactly `length` bytes moved within timeout_ms.
       Commands from several threads run one at a time. */
    int (*exe_cmd)(vexel_ll_dev* dev, uint8_t is_write, uint8_t type, uint16_t value, void* data,
                   uint16_t length, uint32_t timeout_ms);
    /* True when the device's last command was (type, value) and it completed; waits while the
       device reports busy. */
    int (*check_last_cmd)(vexel_ll_dev* dev, uint8_t type, uint8_t value);
    /* Cancels the streaming transfers without waiting; the one slot the capture callback may call. */
    void (*cap_abort)(vexel_ll_dev* dev);
    /* Starts streaming: `cb` runs on the device's event thread for every completed transfer, with
       bytes that stay the transport's and are valid only during the call. `arg` is the camera's
       start argument. */
    int (*cap_start)(vexel_ll_dev* dev, uint32_t arg, vexel_ll_cap_cb cb, void* user);
    /* Cancels the transfers, waits for their callbacks and tells the device to stop; true when it
       acknowledged. */
    int (*cap_stop)(vexel_ll_dev* dev);
    /* Resets `target`; target 3 closes and reopens the link in place. */
    int (*dev_reset)(vexel_ll_dev* dev, uint8_t target);
    /* Writes `count` 32-bit registers from `base` of `target`, from the caller's array. */
    int (*reg_write)(vexel_ll_dev* dev, uint8_t target, uint32_t base, const uint32_t* values, uint16_t count);
    /* Reads `count` registers into the caller's array. */
    int (*reg_read)(vexel_ll_dev* dev, uint8_t target, uint32_t base, uint32_t* values, uint16_t count);
    /* Sets the device parameters of `count` caller-owned records. */
    int (*param_set)(vexel_ll_dev* dev, vexel_ll_param_rec* recs, int count);
    /* Reads them: fills length and value of each record. */
    int (*param_get)(vexel_ll_dev* dev, vexel_ll_param_rec* recs, int count);
} vexel_ll_op;

/* The USB transport. */
VX_API extern const vexel_ll_op ll_op_usb;

/* Entry points. Per-device calls forward to the record's `ops` and return 0 (or nothing) for a
   null record or a record whose `ops` is null; the two open calls fall back to ll_op_usb.
   Narrowed arguments (8 and 16 bits) are cut here, before the table is called.
   Several threads may issue commands to one open device: each exchange, each register or
   parameter batch, capture start and stop, and a reset run whole, one after the other. Open and
   close of a record must not overlap with anything else on it. No command may be issued from
   the capture callback. */

/* Transport start and stop; init logs and returns false when the transport is unusable. */
VX_API int vexel_ll_init(void);
VX_API void vexel_ll_uninit(void);

/* Stores the libusb debug level for `level` (a log level); contexts opened later use it.
   Returns true. */
VX_API int vexel_ll_set_debug(unsigned level);

/* Fills up to `capacity` records with the cameras found; returns the count (0 for capacity <= 0). */
VX_API int vexel_ll_dev_list(vexel_ll_dev* list, int capacity);

/* Opens the camera the record names (`valid` set: by bus and port) or the first camera;
   returns `dev` or null. */
VX_API vexel_ll_dev* vexel_ll_dev_open(vexel_ll_dev* dev);
/* Opening a descriptor the host system opened is not available on this platform: null. */
VX_API vexel_ll_dev* vexel_ll_dev_open_by_fd(vexel_ll_dev* dev);
/* Takes back every bulk transfer, stops the device's event thread and releases the device. */
VX_API void vexel_ll_dev_close(vexel_ll_dev* dev);

/* Target 3 resets the USB link: the record is closed and opened again in place (also a listed
   record that was not open); true when it is open again. Other targets: a checked command. */
VX_API int vexel_ll_dev_reset(vexel_ll_dev* dev, int target);

/* One control command: true when exactly `length` bytes moved (at most 4096 on this platform).
   A command and the status check that follows it are two calls: another thread's command may
   come between them. */
VX_API int vexel_ll_exe_cmd(vexel_ll_dev* dev, int is_write, int type, int value, void* data, int length,
                            uint32_t timeout_ms);
/* True when the camera's last command was (type, value) and it completed; asks again while the
   camera reports busy, for at most 3 s. */
VX_API int vexel_ll_check_last_cmd(vexel_ll_dev* dev, int type, int value);

/* Streaming: the callback runs on the device's event thread for every completed bulk transfer.
   cap_abort is the one call the callback may make. */
VX_API int vexel_ll_cap_start(vexel_ll_dev* dev, uint32_t arg, vexel_ll_cap_cb cb, void* user);
/* Cancels the transfers and tells the camera to stop: true when it acknowledged. */
VX_API int vexel_ll_cap_stop(vexel_ll_dev* dev);
/* Cancels the transfers without waiting. */
VX_API void vexel_ll_cap_abort(vexel_ll_dev* dev);

/* Register batches: `count` 32-bit values from register `base` of `target`. A write of more
   than 16382 is refused; large writes travel as several commands of consecutive registers. */
VX_API int vexel_ll_reg_write(vexel_ll_dev* dev, int target, uint32_t base, const uint32_t* values, int count);
VX_API int vexel_ll_reg_read(vexel_ll_dev* dev, int target, uint32_t base, uint32_t* values, int count);

/* Parameter batches in device form; a read fills length and value of each record. A set of more
   than 3276 records is refused. */
VX_API int vexel_ll_param_set(vexel_ll_dev* dev, vexel_ll_param_rec* recs, int count);
VX_API int vexel_ll_param_get(vexel_ll_dev* dev, vexel_ll_param_rec* recs, int count);

VX_EXTERN_C_END

#endif
