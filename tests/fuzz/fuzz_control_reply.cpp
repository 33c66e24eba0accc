// Plays a camera whose answers to control commands are arbitrary: each control transfer the
// transport makes takes its outcome (transfer status, reported length, data) from the input, through
// the transport's control seam. A few operations run over one fake open device until the
// answers run out: status checks, register and parameter reads and writes, resets, raw reads,
// and the data transfer's read of a stored image into a scratch directory.
//
// Checks: an operation that reports success saw every transfer complete with exactly the bytes
// asked for and every status reply echo the command before it without reporting failure; a
// failed image read leaves no file behind; buffers are exactly as large as asked (ASan watches).
//
// Input: [operation, argument, argument] then the answers, each [status byte, length (2 bytes,
// little-endian), data]. A status byte below 0xC0 means completed; others pick libusb's other
// statuses, or one the transport does not know.
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <vexel/datax_protocol.h>
#include <vexel/log.h>
#include <vexel/transport.h>

#include "transport/usb_priv.hpp"

namespace fs = std::filesystem;

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
}

struct Camera {
    const uint8_t* p = nullptr;
    size_t left = 0;
    // Since the operation began: some transfer ended short or in error, some status reply was
    // for another command or reported failure.
    bool abnormal = false;
    uint8_t last_type = 0, last_value = 0;

    uint8_t byte() {
        if (!left) return 0;
        --left;
        return *p++;
    }
} g_cam;

fs::path g_dir;

void LIBUSB_CALL answer(libusb_transfer* t) {
    const libusb_control_setup* setup = libusb_control_transfer_get_setup(t);
    const bool in = setup->bmRequestType & 0x80;
    const uint16_t asked = libusb_le16_to_cpu(setup->wLength);
    if (!g_cam.left) {  // a camera that stopped answering
        t->status = LIBUSB_TRANSFER_TIMED_OUT;
        t->actual_length = 0;
        g_cam.abnormal = true;
        return;
    }
    const uint8_t s = g_cam.byte();
    // libusb's statuses and one it does not define (7, still a value of the enum's type).
    const int status = s < 0xC0 ? LIBUSB_TRANSFER_COMPLETED : (s - 0xC0) % 8;
    t->status = static_cast<libusb_transfer_status>(status);
    const int reported = g_cam.byte() | (g_cam.byte() << 8);
    t->actual_length = reported;
    const bool ok = status == LIBUSB_TRANSFER_COMPLETED && reported == asked;
    if (!ok) g_cam.abnormal = true;

    const uint8_t type = setup->bRequest;
    const uint8_t value = static_cast<uint8_t>(libusb_le16_to_cpu(setup->wValue));
    if (in) {
        // Never more than the buffer holds, whatever length is reported.
        uint8_t* data = libusb_control_transfer_get_data(t);
        const size_t n = std::min<size_t>({static_cast<size_t>(reported), size_t{asked}, g_cam.left});
        std::memcpy(data, g_cam.p, n);
        g_cam.p += n;
        g_cam.left -= n;
        if (type == vx::usb::kCmdStatus && ok &&
            (data[1] != g_cam.last_type || data[2] != g_cam.last_value || data[0] == vx::usb::kStatusError))
            g_cam.abnormal = true;
    }
    if (type != vx::usb::kCmdStatus) {
        g_cam.last_type = type;
        g_cam.last_value = value;
    }
}

size_t files_in(const fs::path& dir) {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++n;
    return n;
}

// One operation; true when it reported success.
bool run(vexel_ll_dev* dev, uint8_t op, uint8_t a, uint8_t b) {
    switch (op % 9) {
        case 0:
            g_cam.last_type = a;  // as if (a, b) had just been sent
            g_cam.last_value = b;
            return vexel_ll_check_last_cmd(dev, a, b) == 1;
        case 1: {
            std::vector<uint32_t> v(a % 41);
            return vexel_ll_reg_read(dev, b, a, v.data(), static_cast<int>(v.size())) == 1;
        }
        case 2: {
            std::vector<vexel_ll_param_rec> r(a % 8);
            for (auto& x : r) x.id = b;
            return vexel_ll_param_get(dev, r.data(), static_cast<int>(r.size())) == 1;
        }
        case 3: {
            std::vector<uint32_t> v(a % 20, 0x5A5A5A5Au);
            return vexel_ll_reg_write(dev, b, a, v.data(), static_cast<int>(v.size())) == 1;
        }
        case 4: {
            std::vector<vexel_ll_param_rec> r(a % 8 + 1);
            return vexel_ll_param_set(dev, r.data(), static_cast<int>(r.size())) == 1;
        }
        case 5: return vexel_ll_dev_reset(dev, a == 3 ? 0 : a) == 1;  // 3 closes the device
        case 6: {
            std::vector<uint8_t> buf(a);
            // A plain read: the status query's contents are judged only by the status check.
            const uint8_t type = b == vx::usb::kCmdStatus ? b ^ 1 : b;
            return vexel_ll_exe_cmd(dev, 0, type, a, buf.data(), static_cast<int>(buf.size()), 1000) == 1;
        }
        case 7: {
            std::vector<uint8_t> rec(a % 64 + 1);
            return al_get_data_info(dev, b, rec.data(), static_cast<uint8_t>(rec.size())) == 1;
        }
        default: {
            const fs::path target = g_dir / "image.bin";
            const bool ok = vexel_bin_data_read(dev, a, target.c_str()) == 1;
            if (ok) check(fs::exists(target), "the image read is stored");
            else check(files_in(g_dir) == 0, "a failed read leaves nothing behind");
            fs::remove(target);
            return ok;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vx_log_disable();
    char dir[] = "/tmp/vx_fuzz_ctrl_XXXXXX";
    check(mkdtemp(dir) != nullptr, "mkdtemp");
    g_dir = dir;
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_dir, ec);
    });
    vx::usb::set_control_seam(answer);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    // Never dereferenced: the seam answers before libusb would use it.
    static int handle_stand_in;
    static vx::usb::usb_ll_dev_priv priv;
    priv.handle = reinterpret_cast<libusb_device_handle*>(&handle_stand_in);
    vexel_ll_dev dev{};
    dev.priv = &priv;
    dev.ops = &ll_op_usb;

    g_cam = Camera{data + 3, size - 3};
    // Operations follow one another while answers remain, each judged on its own exchanges.
    uint8_t op = data[0], a = data[1], b = data[2];
    for (int i = 0; i < 16; ++i) {
        g_cam.abnormal = false;
        const bool ok = run(&dev, op, a, b);
        check(!ok || !g_cam.abnormal, "success despite a short, failed or refused exchange");
        if (g_cam.left < 3) break;
        op = g_cam.byte();
        a = g_cam.byte();
        b = g_cam.byte();
    }
    return 0;
}
