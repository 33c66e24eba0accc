// A plain libusb program that knows nothing of the simulator: what a user's program would do.
//   sim_probe list            prints every camera: "bus port addr speed serial"
//   sim_probe stream BYTES    starts capture, reads BYTES and checks every packet header
//   sim_probe hold            starts capture with transfers in flight and never returns
// Exit status: 0 fine, 1 no camera or USB failure, 2 bad packets, 3 device vanished.
#include <libusb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint32_t rd32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

bool header_ok(const uint8_t* h) {
    uint32_t a = 0, b = 0;
    for (int i = 0; i < 34; ++i) {
        a = (a + h[i]) % 255;
        b = (b + a) % 255;
    }
    return h[0] == 0xFB && h[1] == 0x98 && (h[34] | h[35] << 8) == int(b << 8 | a);
}

libusb_device_handle* open_first(libusb_context* ctx) {
    libusb_device** list;
    ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle* h = nullptr;
    for (ssize_t i = 0; i < n && !h; ++i) {
        libusb_device_descriptor d;
        libusb_get_device_descriptor(list[i], &d);
        if (d.idVendor == 0x111B && d.idProduct == 0x1238 && libusb_open(list[i], &h) != 0) h = nullptr;
    }
    libusb_free_device_list(list, 1);
    if (!h) return nullptr;
    libusb_set_configuration(h, 1);
    if (libusb_claim_interface(h, 0) != 0 && libusb_claim_interface(h, 1) != 0) {
        libusb_close(h);
        return nullptr;
    }
    return h;
}

bool command(libusb_device_handle* h, uint16_t value, const void* data, uint16_t len) {
    if (libusb_control_transfer(h, 0x22, 0xC2, value, 0, (unsigned char*)data, len, 1000) != len) return false;
    unsigned char st[63];
    return libusb_control_transfer(h, 0xA2, 0xB0, 0, 0, st, 63, 1000) == 63 && st[0] == 0 && st[1] == 0xC2 &&
           st[2] == value;
}

int list(libusb_context* ctx) {
    libusb_device** devs;
    ssize_t n = libusb_get_device_list(ctx, &devs);
    int found = 0;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d;
        libusb_get_device_descriptor(devs[i], &d);
        if (d.idVendor != 0x111B || d.idProduct != 0x1238) continue;
        unsigned char serial[64] = "?";
        libusb_device_handle* h;
        if (libusb_open(devs[i], &h) == 0) {
            libusb_get_string_descriptor_ascii(h, d.iSerialNumber, serial, sizeof serial);
            libusb_close(h);
        }
        std::printf("%d %d %d %d %s\n", libusb_get_bus_number(devs[i]), libusb_get_port_number(devs[i]),
                    libusb_get_device_address(devs[i]), libusb_get_device_speed(devs[i]), serial);
        ++found;
    }
    libusb_free_device_list(devs, 1);
    return found ? 0 : 1;
}

int stream(libusb_device_handle* h, size_t want) {
    uint32_t arg = 0;
    if (!command(h, 4, &arg, 4)) return 1;
    std::vector<uint8_t> s, buf(153600);
    int rc = 0;
    while (s.size() < want) {
        int got = 0;
        int r = libusb_bulk_transfer(h, 0x81, buf.data(), int(buf.size()), &got, 3000);
        s.insert(s.end(), buf.begin(), buf.begin() + got);
        if (r == LIBUSB_ERROR_NO_DEVICE) {
            std::printf("vanished after %zu bytes\n", s.size());
            return 3;
        }
        if (r) {
            std::printf("bulk: %s\n", libusb_error_name(r));
            return 1;
        }
    }
    size_t at = 0, packets = 0, bad = 0, frames = 0;
    while (at + 36 <= s.size()) {
        const uint8_t* p = &s[at];
        const uint32_t len = rd32(p + 4);
        if (!header_ok(p)) {
            ++bad;
            break;  // no way to find the next header without searching; the count says enough
        }
        if (at + 36 + len > s.size()) break;
        uint32_t sum = 0;
        for (uint32_t i = 0; i + 4 <= len; i += 4) sum += rd32(p + 36 + i);
        if ((p[33] & 1) && sum != rd32(p + 28)) ++bad;
        frames += p[32] & 1;
        ++packets;
        at += 36 + len;
    }
    std::printf("packets %zu frames %zu bad %zu\n", packets, frames, bad);
    uint8_t stop = 0xC2;
    if (!command(h, 5, &stop, 1)) rc = 1;
    return bad ? 2 : rc;
}

int hold(libusb_context* ctx, libusb_device_handle* h) {
    std::vector<std::vector<uint8_t>> bufs(4, std::vector<uint8_t>(153600));
    for (auto& b : bufs) {
        libusb_transfer* t = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(
            t, h, 0x81, b.data(), int(b.size()), [](libusb_transfer* x) { libusb_submit_transfer(x); }, nullptr, 0);
        libusb_submit_transfer(t);
    }
    uint32_t arg = 0;
    if (!command(h, 4, &arg, 4)) return 1;
    std::printf("holding\n");
    std::fflush(stdout);
    for (;;) libusb_handle_events(ctx);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: sim_probe list | stream BYTES | hold\n");
        return 64;
    }
    libusb_context* ctx;
    if (libusb_init(&ctx)) return 1;
    const std::string mode = argv[1];
    int rc = 1;
    if (mode == "list") {
        rc = list(ctx);
    } else if (libusb_device_handle* h = open_first(ctx)) {
        if (mode == "stream" && argc > 2) rc = stream(h, std::strtoull(argv[2], nullptr, 0));
        if (mode == "hold") rc = hold(ctx, h);
        libusb_release_interface(h, 0);
        libusb_close(h);
    } else {
        std::printf("no camera\n");
    }
    libusb_exit(ctx);
    return rc;
}
