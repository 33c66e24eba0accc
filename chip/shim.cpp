// The chip library's bus entry point: every sensor register access becomes a register batch
// on target 1 of g_vx_dev (or the camera a CommandTarget names on this thread). Its errors go to standard output, as the chip library always did.
#include <cstdio>
#include <cstring>
#include <vector>

#include <vexel/chip.h>
#include <vexel/device.h>

#include "chip/chip.hpp"

namespace {

constexpr unsigned kSensorTarget = 1;
// The batch carries its count in 16 bits; a larger one would silently transfer fewer registers.
constexpr unsigned kMaxBatch = 0xFFFF;

thread_local vexel_dev* t_target = nullptr;

}  // namespace

namespace vx::chip {

vexel_dev* command_target() { return t_target ? t_target : g_vx_dev; }

CommandTarget::CommandTarget(vexel_dev* dev) : prev_(t_target) { t_target = dev; }
CommandTarget::~CommandTarget() { t_target = prev_; }

}  // namespace vx::chip

extern "C" {

VX_API int i2c(unsigned devAddr, char op, unsigned reg, unsigned count, unsigned char** buf) {
    if (devAddr >= 128) {
        std::puts("Device address is out of range.");
        return -1;
    }
    if (reg >= 256) {
        std::puts("Register address is out of range.");
        return -1;
    }
    if (count > static_cast<unsigned>(vx::chip::kMaxShimCount)) std::printf("rw much data: %d", static_cast<int>(count));

    unsigned char* bytes = buf ? *buf : nullptr;
    switch (op) {
    case 'd':
        if (!bytes) return -1;
        bytes[0] = 32;
        bytes[1] = 255;
        return 0;
    case 'l':
        std::printf("uncompleted function : %s!\n", "<i2c device reload>");
        return 0;
    case 'r': {
        if ((!bytes && count) || count > kMaxBatch) return -1;
        std::vector<uint32_t> values(count);
        if (!vexel_reg_batch_read(vx::chip::command_target(), kSensorTarget, reg, values.data(), count)) {
            std::puts("reg read faild!");
            return -1;
        }
        for (unsigned i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(values[i]);
        return 0;
    }
    case 's':
        if (!vexel_dev_reset(vx::chip::command_target(), kSensorTarget)) {
            std::puts("reset kvr device failed!");
            return -1;
        }
        return 0;
    case 'w': {
        if ((!bytes && count) || count > kMaxBatch) return -1;
        std::vector<uint32_t> values(bytes, bytes + count);
        if (!vexel_reg_batch_write(vx::chip::command_target(), kSensorTarget, reg, values.data(), count)) {
            std::puts("reg write fail!");
            return -1;
        }
        return 0;
    }
    default:
        std::puts("Invalid operation: Only 'd' (devices), 'r' (read), 'w' (write) and 's' (software reset) are allowed.");
        return -1;
    }
}

}  // extern "C"

namespace vx::chip {

uint8_t read_reg(int dev_addr, unsigned reg) {
    // A failed read leaves the byte as it was: zero, never stack garbage.
    unsigned char v = 0;
    unsigned char* p = &v;
    i2c(static_cast<unsigned>(dev_addr), 'r', reg, 1, &p);
    return v;
}

void write_reg(int dev_addr, unsigned reg, uint8_t v) { write_regs(dev_addr, reg, &v, 1); }

void write_regs(int dev_addr, unsigned reg, const uint8_t* v, unsigned n) {
    unsigned char* p = const_cast<unsigned char*>(v);  // the shim only reads on 'w'
    i2c(static_cast<unsigned>(dev_addr), 'w', reg, n, &p);
}

bool set_integration_param(int t_us) {
    vexel_param_item item{};
    item.param_id = VX_PARAM_INTG_TIME;
    item.param_len = 2;
    item.param_val[0] = static_cast<uint8_t>(t_us & 0xFF);
    item.param_val[1] = static_cast<uint8_t>((t_us >> 8) & 0xFF);
    return vexel_param_batch_set(vx::chip::command_target(), &item, 1) != 0;
}

}  // namespace vx::chip
