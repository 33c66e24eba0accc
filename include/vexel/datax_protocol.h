/* The data protocol under the transfers of <vexel/datax.h>: wire records, command steps and
   the transfers on a transport record. Every step is a control command of type LL_CMD_DATA
   followed by the camera's status query; a step is one exchange that no other command of the
   same device can split. Results are 1 on success and -1 on failure unless noted. */
#ifndef VEXEL_DATAX_PROTOCOL_H
#define VEXEL_DATAX_PROTOCOL_H

#include <stdint.h>
#include <vexel/datax.h>
#include <vexel/export.h>
#include <vexel/transport.h>

VX_EXTERN_C_BEGIN

/* Command type of the data protocol, and its steps (the command value). */
enum {
    LL_CMD_DATA = 0xCC,
    AL_DATA_INFO = 0,
    AL_ACTION_START = 1,
    AL_ACTION_ACK = 4,
    AL_ACTION_ACK_SHORT = 5,
    AL_ACTION_DATA = 6,
    AL_ACTION_ERASE = 7,
    AL_DATA_PAYLOAD = 17
};

enum {
    AL_DATA_BLOCK_SIZE = 1018, /* data bytes per written block */
    AL_DATA_PIECE_SIZE = 450   /* data bytes per read piece */
};

/* Acknowledgement states (al_ack.status). */
enum { AL_ACK_READY = 1, AL_ACK_STARTED = 3, AL_ACK_ERASING = 4 };

/* Wire records: packed, little-endian. Fields called reserved are sent as zero. */
#pragma pack(push, 1)
typedef struct al_data_info {
    uint8_t type;       /* query: the image asked about; reply: that image's type */
    uint8_t reserved;   /* zero */
    uint16_t version;   /* version word stored with the image */
    uint32_t data_size; /* bytes stored; 0xFFFFFFFF: nothing valid stored */
    uint32_t data_addr; /* storage address as the camera reports it */
    uint32_t reserved2; /* zero */
} al_data_info;

/* Start of a write: what is about to be stored. */
typedef struct al_action_info {
    uint8_t type;       /* image type (slot) written */
    uint8_t reserved;   /* zero */
    uint16_t version;   /* version word stored with it */
    uint32_t size;      /* bytes that will follow */
    uint32_t reserved2; /* zero */
} al_action_info;

/* Erase request sent before a write. */
typedef struct al_erase_info {
    uint8_t type;        /* image type (slot) erased */
    uint32_t size;       /* bytes to make room for */
    uint32_t block_size; /* always AL_DATA_BLOCK_SIZE */
    uint32_t zero;       /* zero */
} al_erase_info;

/* The camera's acknowledgement of a block or a stage. */
typedef struct al_ack {
    uint32_t next;  /* index of the block the camera expects next */
    uint8_t status; /* AL_ACK_* */
    uint8_t reserved[8]; /* zero */
} al_ack;

/* Header of one data block, followed directly by `len` data bytes. */
typedef struct al_block_hdr {
    uint16_t crc;             /* al_data_calc_crc of the data bytes */
    uint32_t len;             /* 1 to AL_DATA_BLOCK_SIZE */
} al_block_hdr;

/* Request for the next piece of a read. */
typedef struct al_payload_req {
    uint32_t reserved;  /* zero */
    uint32_t len; /* 1 to AL_DATA_PIECE_SIZE */
    uint32_t reserved2; /* zero */
} al_payload_req;
#pragma pack(pop)

/* The same transfers on a transport record, without the device checks and the busy flag. */
VX_API int vexel_bin_data_write(vexel_ll_dev* ll, uint8_t type, uint16_t version, uint32_t addr, const char* path);
VX_API int vexel_bin_data_read(vexel_ll_dev* ll, uint8_t type, const char* path);
/* vexel_bin_data_write with addr 0. */
VX_API int vexel_ll_firmware_upgrade(vexel_ll_dev* ll, uint8_t type, uint16_t version, const char* path);

/* Protocol steps. Each is one exchange; null records fail without traffic. */

/* Sends `length` bytes of `record` as (LL_CMD_DATA, value) and reads `length` bytes back into
   it, each phase status-checked. Returns 1, or 0 when either phase failed. */
VX_API int al_get_data_info(vexel_ll_dev* ll, uint8_t value, void* record, uint8_t length);
/* Asks for the next `length` bytes of the image the last info query selected and receives them
   into `buffer`, which needs `length` bytes only. Returns 1, or 0 when either phase failed. */
VX_API int al_get_data_payload(vexel_ll_dev* ll, uint8_t* buffer, uint16_t length);
/* Reads the acknowledgement: value AL_ACTION_ACK fills 13 bytes of `record`, AL_ACTION_ACK_SHORT
   9; any other value returns 1 without traffic. Returns 1, 0 when the request phase failed,
   -1 when the reply phase failed. */
VX_API int al_data_read_action_info(vexel_ll_dev* ll, uint8_t value, void* record);
/* Sends one action record: AL_ACTION_START (al_action_info), AL_ACTION_ACK (13 bytes),
   AL_ACTION_DATA (al_block_hdr followed by its data; len 1..AL_DATA_BLOCK_SIZE), AL_ACTION_ERASE
   (al_erase_info). Returns 1, or -1 (other values, bad block length, failed command). */
VX_API int al_data_send_action_info(vexel_ll_dev* ll, uint8_t value, const void* record);
/* CRC-16/XMODEM of `length` bytes (0 for none). */
VX_API uint16_t al_data_calc_crc(const uint8_t* data, uint16_t length);
/* Checks that the file at `path` reads completely: 1 with its size in `size_out`, else -1 with
   0 there (an empty file is a failure). `size_out` may be null. */
VX_API int al_data_build_file_buffer(const char* path, uint32_t* size_out);

VX_EXTERN_C_END

#endif
