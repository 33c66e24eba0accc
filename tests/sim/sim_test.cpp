// The simulated camera seen through raw libusb, as any host program sees it.
#include <libusb.h>
#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <vexel/stream.h>
#include <vexel/transport.h>
#include "sim/sim.hpp"

namespace {

using namespace std::chrono_literals;

// --- an independent reading of the stream format --------------------------------------------

uint16_t fl16(const uint8_t* p, size_t n) {
    uint32_t a = 0, b = 0;
    for (size_t i = 0; i < n; ++i) {
        a = (a + p[i]) % 255;
        b = (b + a) % 255;
    }
    return uint16_t(b << 8 | a);
}
uint32_t rd32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t rd16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

struct Packet {
    uint16_t sidx, fridx, width, height;
    uint32_t len, frlen;
    bool start, has_sum, hdr_ok, sum_ok, pattern_ok;
};

// Splits a byte stream into packets; stops at the first byte that is not a header.
std::vector<Packet> parse(const std::vector<uint8_t>& s, size_t* used = nullptr) {
    std::vector<Packet> out;
    size_t at = 0;
    while (at + 36 <= s.size()) {
        const uint8_t* h = &s[at];
        if (h[0] != 0xFB || h[1] != 0x98) break;
        Packet p{};
        p.sidx = rd16(h + 2);
        p.len = rd32(h + 4);
        p.frlen = rd32(h + 8);
        p.fridx = rd16(h + 12);
        p.width = rd16(h + 16);
        p.height = rd16(h + 18);
        p.start = h[32] & 1;
        p.has_sum = h[33] & 1;
        p.hdr_ok = fl16(h, 34) == rd16(h + 34) && rd16(h + 14) == 2;
        if (at + 36 + p.len > s.size()) break;
        const uint8_t* pay = h + 36;
        uint32_t sum = 0;
        for (uint32_t i = 0; i + 4 <= p.len; i += 4) sum += rd32(pay + i);
        p.sum_ok = !p.has_sum || sum == rd32(h + 28);
        // Whole frames only: the pattern is checked where a frame starts in this packet.
        p.pattern_ok = true;
        if (p.start && p.frlen == vxsim::kFrameBytes) {
            for (unsigned i = 0; i < std::min<uint32_t>(p.len, 4096) / 2; ++i) {
                const unsigned px = i % 320, row = (i / 320) % 240, plane = i / (320 * 240);
                if (rd16(pay + 2 * i) != vxsim::pattern_sample(p.fridx, plane, row, px)) p.pattern_ok = false;
            }
        }
        out.push_back(p);
        at += 36 + p.len;
    }
    if (used) *used = at;
    return out;
}

// --- libusb plumbing --------------------------------------------------------------------------

struct Usb {
    libusb_context* ctx = nullptr;
    libusb_device_handle* h = nullptr;
    Usb() { libusb_init(&ctx); }
    ~Usb() {
        if (h) {
            libusb_release_interface(h, 0);
            libusb_close(h);
        }
        libusb_exit(ctx);
    }
    std::vector<libusb_device*> cameras(libusb_device*** list) {
        std::vector<libusb_device*> v;
        ssize_t n = libusb_get_device_list(ctx, list);
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d;
            libusb_get_device_descriptor((*list)[i], &d);
            if (d.idVendor == vxsim::kVendorId && d.idProduct == vxsim::kProductId) v.push_back((*list)[i]);
        }
        return v;
    }
    // Opens the camera on `port` and claims `iface`; returns the libusb result.
    int open(uint8_t port, int iface = 0) {
        libusb_device** list;
        int r = LIBUSB_ERROR_NOT_FOUND;
        for (auto* d : cameras(&list))
            if (libusb_get_port_number(d) == port) r = libusb_open(d, &h);
        libusb_free_device_list(list, 1);
        if (r) return r;
        libusb_set_configuration(h, 1);
        libusb_set_auto_detach_kernel_driver(h, 1);
        return libusb_claim_interface(h, iface);
    }
    int out(uint8_t type, uint16_t value, const void* data, uint16_t len, uint16_t index = 0) {
        return libusb_control_transfer(h, 0x22, type, value, index, (unsigned char*)data, len, 1000);
    }
    int in(uint8_t type, uint16_t value, void* data, uint16_t len) {
        return libusb_control_transfer(h, 0xA2, type, value, 0, (unsigned char*)data, len, 1000);
    }
    std::vector<uint8_t> status() {
        std::vector<uint8_t> s(63, 0xAA);
        int r = in(0xB0, 0, s.data(), 63);
        s.resize(r < 0 ? 0 : r);
        return s;
    }
    std::vector<uint8_t> read_stream(size_t bytes, int timeout_ms = 2000) {
        std::vector<uint8_t> s;
        std::vector<uint8_t> buf(153600);
        while (s.size() < bytes) {
            int got = 0;
            int r = libusb_bulk_transfer(h, 0x81, buf.data(), int(buf.size()), &got, timeout_ms);
            s.insert(s.end(), buf.begin(), buf.begin() + got);
            if (r) break;
        }
        return s;
    }
    // The status once the camera is no longer busy, asked again at once as the host does.
    std::vector<uint8_t> settled() {
        for (;;) {
            auto s = status();
            if (s.empty() || s[0] != 0xFE) return s;
        }
    }
    bool start() {
        uint32_t arg = 0;
        return out(0xC2, 4, &arg, 4) == 4 && status().at(0) == 0;
    }
};

std::string status_text(const std::vector<uint8_t>& s) { return s.size() > 3 ? std::string((const char*)&s[3]) : ""; }

vxsim::CameraOptions fast() {
    vxsim::CameraOptions o;
    o.pacing = vxsim::Pacing::fast;
    return o;
}

vxsim::CameraOptions instant() {
    vxsim::CameraOptions o;
    o.timing = vxsim::Timing::instant();
    return o;
}

// Reads whole packets, carrying a packet split across reads over to the next call.
struct Reader {
    Usb& u;
    std::vector<uint8_t> rest;
    std::vector<Packet> next(size_t n) {
        std::vector<Packet> out;
        while (out.size() < n) {
            auto more = u.read_stream(153600);
            if (more.empty()) break;
            rest.insert(rest.end(), more.begin(), more.end());
            size_t used = 0;
            auto pk = parse(rest, &used);
            rest.erase(rest.begin(), rest.begin() + long(used));
            out.insert(out.end(), pk.begin(), pk.end());
        }
        return out;
    }
};

class Sim : public ::testing::Test {
protected:
    vxsim::Testbed tb;
};

// --- enumeration and claims -------------------------------------------------------------------

TEST_F(Sim, TwoCamerasEnumerateWithTheirPositionsAndSpeeds) {
    auto& a = tb.add_camera({});
    vxsim::CameraOptions o;
    o.port = 5;
    o.speed_mbps = 12;
    o.serial = "SECOND";
    auto& b = tb.add_camera(o);
    EXPECT_NE(a.address(), b.address());
    EXPECT_EQ(b.port(), 5);

    Usb u;
    libusb_device** list;
    auto cams = u.cameras(&list);
    ASSERT_EQ(cams.size(), 2u);
    for (auto* d : cams) {
        const bool is_b = libusb_get_port_number(d) == 5;
        auto& cam = is_b ? b : a;
        EXPECT_EQ(libusb_get_bus_number(d), cam.bus());
        EXPECT_EQ(libusb_get_device_address(d), cam.address());
        EXPECT_EQ(libusb_get_device_speed(d), is_b ? LIBUSB_SPEED_FULL : LIBUSB_SPEED_HIGH);
        libusb_config_descriptor* cfg;
        ASSERT_EQ(libusb_get_active_config_descriptor(d, &cfg), 0);
        EXPECT_EQ(cfg->bNumInterfaces, 2);
        const auto& ep = cfg->interface[0].altsetting[0].endpoint[0];
        EXPECT_EQ(ep.bEndpointAddress, 0x81);
        EXPECT_EQ(ep.bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
        EXPECT_EQ(ep.wMaxPacketSize, is_b ? 64 : 512);
        libusb_free_config_descriptor(cfg);
    }
    libusb_free_device_list(list, 1);

    ASSERT_EQ(u.open(5), 0);
    unsigned char s[32] = {};
    ASSERT_GT(libusb_get_string_descriptor_ascii(u.h, 3, s, sizeof s), 0);
    EXPECT_STREQ((char*)s, "SECOND");
    EXPECT_EQ(b.claimed_interfaces(), std::vector<int>{0});
    EXPECT_TRUE(a.claimed_interfaces().empty());
}

TEST_F(Sim, ClaimsArePerClientAndBusyInterfaceZeroFallsBackToOne) {
    vxsim::CameraOptions o;
    o.interface0_busy = true;
    auto& cam = tb.add_camera(o);
    Usb first, second;
    EXPECT_EQ(first.open(cam.port(), 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(first.h, 1), 0);
    EXPECT_EQ(second.open(cam.port(), 1), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(cam.clients(), 2);

    // The stream endpoint is interface 0's: holding interface 1 does not let first read it.
    uint32_t arg = 0;
    ASSERT_EQ(first.out(0xC2, 4, &arg, 4), 4);
    std::vector<uint8_t> b(512);
    int got = 0;
    EXPECT_EQ(libusb_bulk_transfer(first.h, 0x81, b.data(), 512, &got, 500), LIBUSB_ERROR_IO);  // EBUSY
    EXPECT_EQ(cam.pending_bulk(), 0);

    cam.set_interface0_busy(false);
    EXPECT_EQ(libusb_claim_interface(second.h, 0), 0);
    EXPECT_EQ(cam.claimed_interfaces(), (std::vector<int>{0, 1}));
    EXPECT_EQ(libusb_bulk_transfer(first.h, 0x81, b.data(), 512, &got, 500), LIBUSB_ERROR_IO);
    // Closing the handle gives the claim back, as the kernel does for a closed descriptor.
    libusb_close(first.h);
    first.h = nullptr;
    ASSERT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return c.clients() == 1; }));
    EXPECT_EQ(libusb_claim_interface(second.h, 1), 0);
}

// --- control protocol -------------------------------------------------------------------------

TEST_F(Sim, CommandsAreLoggedAndAnsweredByTheStatusQuery) {
    auto& cam = tb.add_camera(instant());
    Usb u;
    ASSERT_EQ(u.open(cam.port()), 0);

    uint8_t rec[20] = {12, 4, 15, 0, 0, 0};
    ASSERT_EQ(u.out(0xC0, 3, rec, 20), 20);
    auto st = u.status();
    ASSERT_EQ(st.size(), 63u);
    EXPECT_EQ(st[0], 0x00);
    EXPECT_EQ(st[1], 0xC0);
    EXPECT_EQ(st[2], 3);
    EXPECT_EQ(cam.param(12), (std::vector<uint8_t>{15, 0, 0, 0}));

    auto log = cam.command_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].request_type, 0x22);
    EXPECT_EQ(log[0].request, 0xC0);
    EXPECT_EQ(log[0].value, 3);
    EXPECT_EQ(log[0].length, 20);
    EXPECT_EQ(log[0].data, std::vector<uint8_t>(rec, rec + 20));
    EXPECT_EQ(log[1].request, 0xB0);
    EXPECT_EQ(log[1].data, st);
    auto w = cam.write_log();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].kind, vxsim::WriteRecord::param);
    EXPECT_EQ(w[0].index, 12u);
    EXPECT_EQ(w[0].value, 15u);
}

TEST_F(Sim, MalformedAndUnknownCommandsFailWithAText) {
    auto& cam = tb.add_camera({});
    Usb u;
    ASSERT_EQ(u.open(cam.port()), 0);
    uint32_t target = 1;
    struct Case {
        const char* what;
        std::function<int()> send;
        uint8_t type, value;
        const char* text = "";  // where the cause is checked
    } cases[] = {
        {"wIndex", [&] { return u.out(0xC0, 0, &target, 4, 1); }, 0xC0, 0},
        {"short reset", [&] { return u.out(0xC0, 0, &target, 2); }, 0xC0, 0},
        {"unknown type", [&] { return u.out(0xC7, 2, &target, 4); }, 0xC7, 2},
        {"unknown value", [&] { return u.out(0xC2, 9, &target, 4); }, 0xC2, 9},
        {"stop data", [&] { return u.out(0xC2, 5, &target, 1); }, 0xC2, 5},
        {"param length", [&] { return u.out(0xC0, 3, &target, 4); }, 0xC0, 3},
        {"read-only param", [&] { uint8_t r[20] = {3, 2, 'x'}; return u.out(0xC0, 3, r, 20); }, 0xC0, 3},
        {"read phase first", [&] { uint8_t r[20]; return u.in(0xC0, 4, r, 20); }, 0xC0, 4},
        {"reset target", [&] { uint32_t t = 9; return u.out(0xC0, 0, &t, 4); }, 0xC0, 0},
        {"reset read", [&] { uint8_t r[4]; return u.in(0xC0, 0, r, 4); }, 0xC0, 0,
         "reset must be host-to-device"},
        {"start read", [&] { uint8_t r[4]; return u.in(0xC2, 4, r, 4); }, 0xC2, 4},
        {"17 registers", [&] { uint8_t h[7] = {2, 0, 0, 0, 0, 68}; return u.out(0xC2, 1, h, 7); }, 0xC2, 1,
         "reg read: 17 registers, at most 16"},
        {"param get with values", [&] { uint8_t r[20] = {12, 0, 1}; return u.out(0xC0, 4, r, 20); }, 0xC0, 4,
         "param get: record 0 has non-zero bytes after its id"},
        {"status query out", [&] { uint8_t r[63] = {}; return u.out(0xB0, 0, r, 63); }, 0xB0, 0,
         "status query must be device-to-host"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_GE(c.send(), 0);
        auto st = u.status();
        ASSERT_EQ(st.size(), 63u);
        EXPECT_EQ(st[0], 0xFF);
        EXPECT_EQ(st[1], c.type);
        EXPECT_EQ(st[2], c.value);
        EXPECT_FALSE(status_text(st).empty());
        if (*c.text) {
            EXPECT_EQ(status_text(st), c.text);
        }
    }
    EXPECT_TRUE(cam.write_log().empty());

    // A status query shorter than the reply stalls; a longer one gets the 63 bytes.
    unsigned char b[80];
    EXPECT_EQ(u.in(0xB0, 0, b, 62), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(u.in(0xB0, 0, b, 80), 63);
    // A standard request the camera does not know stalls.
    EXPECT_EQ(libusb_control_transfer(u.h, 0xC0, 0x33, 0, 0, b, 4, 1000), LIBUSB_ERROR_PIPE);
}

TEST_F(Sim, ParameterBatchesReadInTwoPhases) {
    vxsim::CameraOptions o;
    o.product = "B-T0-2.0x";
    o.firmware_version = 0x0321;
    o.chip_number = 77;
    auto& cam = tb.add_camera(o);
    Usb u;
    ASSERT_EQ(u.open(cam.port()), 0);
    uint8_t recs[60] = {};
    recs[0] = 3;
    recs[20] = 6;
    recs[40] = 7;
    ASSERT_EQ(u.out(0xC0, 4, recs, 60), 60);
    ASSERT_EQ(u.status().at(0), 0);
    ASSERT_EQ(u.in(0xC0, 4, recs, 60), 60);
    auto st = u.status();
    EXPECT_EQ(st.at(0), 0);
    EXPECT_EQ(st.at(2), 4);
    EXPECT_EQ(recs[0], 3);
    EXPECT_STREQ((char*)recs + 2, "B-T0-2.0x");
    EXPECT_EQ(recs[1], strlen("B-T0-2.0x") + 1);
    EXPECT_EQ(recs[20], 6);
    EXPECT_EQ(rd16(recs + 22 + 2), 0x0321);
    EXPECT_EQ(rd16(recs + 42 + 2), 77);

    // Four records in one phase exceed what the firmware takes.
    uint8_t four[80] = {3};
    ASSERT_EQ(u.out(0xC0, 4, four, 80), 80);
    EXPECT_EQ(u.status().at(0), 0xFF);
    // The read phase must ask for exactly the records announced.
    ASSERT_EQ(u.out(0xC0, 4, recs, 20), 20);
    ASSERT_EQ(u.in(0xC0, 4, recs, 40), 0);
    EXPECT_EQ(u.status().at(0), 0xFF);
}

TEST_F(Sim, SensorRegistersHoldEightBitValuesAndOtherTargetsAreAStore) {
    auto& cam = tb.add_camera({});
    Usb u;
    ASSERT_EQ(u.open(cam.port()), 0);
    auto read = [&](uint8_t target, uint32_t base, uint16_t n, uint32_t* v) {
        uint8_t h[7] = {target};
        std::memcpy(h + 1, &base, 4);
        uint16_t bytes = uint16_t(n * 4);
        std::memcpy(h + 5, &bytes, 2);
        if (u.out(0xC2, 1, h, 7) != 7 || u.status().at(0) != 0) return false;
        return u.in(0xC2, 1, v, bytes) == bytes && u.status().at(0) == 0;
    };
    auto write = [&](uint8_t target, uint32_t base, std::vector<uint32_t> v) {
        std::vector<uint8_t> d(7 + 4 * v.size());
        d[0] = target;
        std::memcpy(&d[1], &base, 4);
        uint16_t bytes = uint16_t(4 * v.size());
        std::memcpy(&d[5], &bytes, 2);
        std::memcpy(&d[7], v.data(), bytes);
        return u.out(0xC2, 0, d.data(), uint16_t(d.size())) == int(d.size()) && u.settled().at(0) == 0;
    };
    uint32_t clk[2];
    ASSERT_TRUE(read(1, 129, 2, clk));
    // The frequency table the chip configuration derives must start 36000, 24000, 12000.
    const uint32_t base = (((clk[1] & 0x1F) + 1) * 4000) >> ((clk[0] >> 4) & 3);
    EXPECT_EQ(base / 4, 24000u);
    EXPECT_EQ(base / 8, 12000u);
    EXPECT_EQ(base / 128, 750u);

    ASSERT_TRUE(write(1, 160, {0x12, 0x34}));
    uint32_t back[2];
    ASSERT_TRUE(read(1, 160, 2, back));
    EXPECT_EQ(back[0], 0x12u);
    EXPECT_EQ(back[1], 0x34u);
    EXPECT_FALSE(write(1, 10, {0x100}));       // not an 8-bit value
    EXPECT_FALSE(write(1, 255, {1, 2}));       // past the last register
    EXPECT_FALSE(read(1, 250, 8, back));
    ASSERT_TRUE(write(5, 100000, {0xDEADBEEF}));
    ASSERT_TRUE(read(5, 100000, 1, back));
    EXPECT_EQ(back[0], 0xDEADBEEFu);

    auto w = cam.write_log();
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[1].target, 1);
    EXPECT_EQ(w[1].index, 161u);
    EXPECT_EQ(w[1].value, 0x34u);
    EXPECT_EQ(w[2].target, 5);
}

TEST_F(Sim, ParameterBatchIsAllOrNothingAndIntegrationTimeMayComeWithoutLength) {
    auto& cam = tb.add_camera({});
    Usb u;
    ASSERT_EQ(u.open(cam.port()), 0);
    uint8_t two[40] = {12, 4, 10, 0, 0, 0};
    two[20] = 12;
    two[21] = 4;  // frame rate 0 is refused, so the whole batch is
    ASSERT_EQ(u.out(0xC0, 3, two, 40), 40);
    EXPECT_EQ(u.status().at(0), 0xFF);
    EXPECT_EQ(cam.param(12).at(0), 30);
    EXPECT_TRUE(cam.write_log().empty());

    uint8_t it[20] = {13, 0, 0x20, 0x03};  // the automatic integration time sends length 0
    ASSERT_EQ(u.out(0xC0, 3, it, 20), 20);
    EXPECT_EQ(u.settled().at(0), 0);
    EXPECT_EQ(cam.param(13), (std::vector<uint8_t>{0x20, 0x03}));
    ASSERT_EQ(cam.write_log().size(), 1u);
    EXPECT_EQ(cam.write_log()[0].value & 0xFFFF, 800u);
}

// --- streaming ---------------------------------------------------------------------------------

TEST_F(Sim, StreamCarriesValidPacketsWithConsecutiveIndices) {
    auto& cam = tb.add_camera(fast());
    Usb u;
    ASSERT_EQ(u.open(cam.port()), 0);
    EXPECT_FALSE(cam.streaming());
    ASSERT_TRUE(u.start());
    EXPECT_TRUE(cam.streaming());
    auto s = u.read_stream(4 * (vxsim::kFrameBytes + 36 * 10));
    auto pk = parse(s);
    ASSERT_GE(pk.size(), 30u);
    for (size_t i = 0; i < pk.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(pk[i].hdr_ok);
        EXPECT_TRUE(pk[i].has_sum);
        EXPECT_TRUE(pk[i].sum_ok);
        EXPECT_TRUE(pk[i].pattern_ok);
        EXPECT_EQ(pk[i].sidx, i);
        EXPECT_EQ(pk[i].fridx, i / 10);
        EXPECT_EQ(pk[i].start, i % 10 == 0);
        EXPECT_EQ(pk[i].len, 61440u);
        EXPECT_EQ(pk[i].width, 320);
        EXPECT_EQ(pk[i].height, 240);
    }
    uint8_t stop = 0xC2;
    ASSERT_EQ(u.out(0xC2, 5, &stop, 1), 1);
    EXPECT_EQ(u.status().at(0), 0);
    EXPECT_FALSE(cam.streaming());
}

// Several frames share a packet only as far as they fit under the packet length bound.
TEST_F(Sim, SeveralFramesPerPacketWhereTheyFitAndDriverDefaultDimensions) {
    struct Case {
        uint32_t per_packet;
        unsigned rows;
        uint32_t want;
    } cases[] = {{2, 240, 1}, {4, 96, 4}, {8, 96, 4}, {3, 10, 3}};
    for (auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.per_packet) + " x " + std::to_string(c.rows) + " rows");
        auto o = fast();
        o.frames_per_packet = c.per_packet;
        o.frame_rows = c.rows;
        o.zero_dimensions = c.rows == 240;
        o.data_checksum = c.rows != 240;
        auto& cam = tb.add_camera(o);
        Usb u;
        ASSERT_EQ(u.open(cam.port()), 0);
        ASSERT_TRUE(u.start());
        const uint32_t frlen = 4 * 320 * c.rows * 2;
        auto pk = parse(u.read_stream(3 * (c.want * frlen + 36)));
        ASSERT_GE(pk.size(), 3u);
        for (size_t i = 0; i < pk.size(); ++i) {
            EXPECT_TRUE(pk[i].hdr_ok && pk[i].sum_ok);
            EXPECT_EQ(pk[i].frlen, frlen);
            EXPECT_EQ(pk[i].len, c.want * frlen);
            EXPECT_LT(pk[i].len, 0x100000u);
            EXPECT_EQ(pk[i].fridx, c.want * i);
            EXPECT_TRUE(pk[i].start);
            EXPECT_EQ(pk[i].height, o.zero_dimensions ? 0 : c.rows);
        }
    }
}

TEST_F(Sim, FrameRatePacingDeliversAboutFpsFrames) {
    vxsim::CameraOptions o;
    o.frame_rate = 20;
    auto& cam = tb.add_camera(o);
    Usb u;
    ASSERT_EQ(u.open(cam.port()), 0);
    ASSERT_TRUE(u.start());
    const auto t0 = std::chrono::steady_clock::now();
    auto pk = parse(u.read_stream(5 * (vxsim::kFrameBytes + 360)));
    const double el = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_GE(pk.size(), 50u);
    // Five frames at 20 fps: the first goes at once, the fifth 200 ms later.
    EXPECT_GT(el, 0.17);
    EXPECT_LT(el, 1.0);
}

// A host that stops reading finds, when it reads again, what the FIFO held and then a jump in
// the frame index: no burst of old frames.
TEST_F(Sim, AHostThatStopsReadingFindsAFrameIndexJump) {
    vxsim::CameraOptions o;
    o.frame_rate = 20;
    auto& cam = tb.add_camera(o);
    Usb u;
    ASSERT_EQ(u.open(cam.port()), 0);
    ASSERT_TRUE(u.start());
    Reader rd{u, {}};
    auto starts = [](const std::vector<Packet>& pk) {
        std::vector<uint16_t> f;
        for (auto& p : pk)
            if (p.start) f.push_back(p.fridx);
        return f;
    };
    const auto before = starts(rd.next(30));
    ASSERT_GE(before.size(), 3u);
    for (size_t i = 1; i < before.size(); ++i) EXPECT_EQ(before[i], before[i - 1] + 1);
    std::this_thread::sleep_for(1000ms);  // 20 frames fall due
    const auto after = starts(rd.next(80));
    ASSERT_GE(after.size(), 6u);
    size_t held = 0;
    uint16_t prev = before.back();
    while (held < after.size() && after[held] == prev + 1) prev = after[held++];
    EXPECT_LE(held, o.fifo_frames);
    const int lost = after.back() - before.back() - int(after.size());
    EXPECT_GE(lost, 12);
    EXPECT_GE(cam.counters().frames_dropped, 12u);
}

TEST_F(Sim, RateCapHoldsTheLinkNearItsLimit) {
    auto o = fast();
    o.rate_cap_mbps = 40;
    auto& cam = tb.add_camera(o);
    Usb u;
    ASSERT_EQ(u.open(cam.port()), 0);
    ASSERT_TRUE(u.start());
    u.read_stream(153600);  // the first transfer may use the initial budget
    const auto t0 = std::chrono::steady_clock::now();
    auto s = u.read_stream(8'000'000);
    const double el = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double mbps = double(s.size()) / el / 1e6;
    EXPECT_LT(mbps, 44.0);
    EXPECT_GT(mbps, 5.0);  // loose: sanitizer builds on a shared machine are slow
}

// Transfers are reaped in the order they completed, whatever their type; a control transfer
// takes its time on the default pipe and never completes inside its submission.
TEST_F(Sim, TransfersCompleteAsynchronouslyInCompletionOrder) {
    auto o = fast();
    o.timing.control_us = 250000;  // long against any stall of a loaded machine
    auto& cam = tb.add_camera(o);
    Usb u;
    ASSERT_EQ(u.open(cam.port()), 0);
    ASSERT_TRUE(u.start());
    std::vector<int> order;
    auto cb = [](libusb_transfer* t) { static_cast<std::vector<int>*>(t->user_data)->push_back(t->type); };
    std::vector<uint8_t> bufs[5], ctl(8 + 63);
    libusb_transfer* ts[6];
    auto bulk = [&](int i) {
        bufs[i].resize(153600);
        libusb_fill_bulk_transfer(ts[i] = libusb_alloc_transfer(0), u.h, 0x81, bufs[i].data(), 153600, cb,
                                  &order, 1000);
        return libusb_submit_transfer(ts[i]);
    };
    for (int i = 0; i < 4; ++i) ASSERT_EQ(bulk(i), 0);
    ASSERT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return c.pending_bulk() == 0; }));
    const auto t0 = std::chrono::steady_clock::now();
    libusb_fill_control_setup(ctl.data(), 0xA2, 0xB0, 0, 0, 63);
    libusb_fill_control_transfer(ts[5] = libusb_alloc_transfer(0), u.h, ctl.data(), cb, &order, 1000);
    ASSERT_EQ(libusb_submit_transfer(ts[5]), 0);
    ASSERT_EQ(bulk(4), 0);  // submitted later, done sooner
    while (order.size() < 6) libusb_handle_events(u.ctx);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 250ms);
    const int B = LIBUSB_TRANSFER_TYPE_BULK, C = LIBUSB_TRANSFER_TYPE_CONTROL;
    EXPECT_EQ(order, (std::vector<int>{B, B, B, B, B, C}));
    for (auto* t : ts) libusb_free_transfer(t);
}

// --- faults ------------------------------------------------------------------------------------

class Faults : public Sim {
protected:
    void SetUp() override {
        auto o = fast();
        o.packet_payload = 153600;  // four packets per frame
        o.timing = vxsim::Timing::instant();  // status answers counted exactly
        cam = &tb.add_camera(o);
        ASSERT_EQ(u.open(cam->port()), 0);
    }
    vxsim::Camera* cam = nullptr;
    Usb u;
};

TEST_F(Faults, StallHaltsTheEndpointUntilTheHostClearsIt) {
    ASSERT_TRUE(u.start());
    cam->set_faults([](vxsim::Faults& f) { f.stall_bulk = 2; });
    std::vector<uint8_t> b(153600);
    int got = -1;
    auto bulk = [&](int ms) { return libusb_bulk_transfer(u.h, 0x81, b.data(), int(b.size()), &got, ms); };
    EXPECT_EQ(bulk(1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(bulk(150), LIBUSB_ERROR_TIMEOUT);  // a host that forgets the clear gets nothing
    EXPECT_EQ(got, 0);
    ASSERT_EQ(libusb_clear_halt(u.h, 0x81), 0);
    EXPECT_EQ(bulk(1000), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(libusb_clear_halt(u.h, 0x81), 0);
    EXPECT_EQ(bulk(1000), 0);
    EXPECT_EQ(got, 153600);
    EXPECT_EQ(cam->faults().stall_bulk, 0);
    EXPECT_EQ(cam->counters().clear_halts, 2u);
}

TEST_F(Faults, SilentCameraLetsTransfersTimeOut) {
    ASSERT_TRUE(u.start());
    cam->set_faults([](vxsim::Faults& f) { f.stop_sending = true; });
    std::vector<uint8_t> b(153600);
    int got = -1;
    EXPECT_EQ(libusb_bulk_transfer(u.h, 0x81, b.data(), int(b.size()), &got, 150), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(got, 0);
    cam->set_faults([](vxsim::Faults& f) { f.stop_sending = false; });
    EXPECT_EQ(libusb_bulk_transfer(u.h, 0x81, b.data(), int(b.size()), &got, 1000), 0);
    EXPECT_EQ(got, 153600);
}

TEST_F(Faults, StreamFaultsShowInThePacketsTheyHit) {
    ASSERT_TRUE(u.start());
    Reader rd{u, {}};
    for (auto& p : rd.next(6)) ASSERT_TRUE(p.hdr_ok && p.sum_ok);

    cam->set_faults([](vxsim::Faults& f) { f.corrupt_header = 1; });
    auto pk = rd.next(8);
    ASSERT_GE(pk.size(), 8u);
    EXPECT_EQ(std::count_if(pk.begin(), pk.end(), [](auto& p) { return !p.hdr_ok; }), 1);

    cam->set_faults([](vxsim::Faults& f) { f.corrupt_payload = 1; });
    pk = rd.next(8);
    ASSERT_GE(pk.size(), 8u);
    EXPECT_EQ(std::count_if(pk.begin(), pk.end(), [](auto& p) { return !p.sum_ok; }), 1);
    for (auto& p : pk) EXPECT_TRUE(p.hdr_ok);
}

TEST_F(Faults, IndexFaultsBreakTheSequenceOnce) {
    ASSERT_TRUE(u.start());
    Reader rd{u, {}};
    rd.next(2);
    cam->set_faults([](vxsim::Faults& f) { f.skip_packet_index = 1; });
    auto pk = rd.next(10);
    ASSERT_GE(pk.size(), 10u);
    int gaps = 0;
    for (size_t i = 1; i < pk.size(); ++i) {
        if (pk[i].sidx != uint16_t(pk[i - 1].sidx + 1)) {
            ++gaps;
            EXPECT_FALSE(pk[i].start);  // the index only matters inside a frame
        }
    }
    EXPECT_EQ(gaps, 1);

    cam->set_faults([](vxsim::Faults& f) { f.drop_frame_start = 1; });
    pk = rd.next(12);
    ASSERT_GE(pk.size(), 12u);
    int orphans = 0;
    for (size_t i = 1; i < pk.size(); ++i) {
        // A continuation packet whose frame index differs from the packet before it.
        if (!pk[i].start && pk[i].fridx != pk[i - 1].fridx) {
            ++orphans;
            EXPECT_EQ(pk[i].fridx, pk[i - 1].fridx + 1);
        }
    }
    EXPECT_EQ(orphans, 1);
}

TEST_F(Faults, StatusQueryBusyThenDoneAndInjectedFailure) {
    uint8_t rec[20] = {13, 2, 0xE8, 0x03};
    cam->set_faults([](vxsim::Faults& f) { f.status_busy = 2; });
    ASSERT_EQ(u.out(0xC0, 3, rec, 20), 20);
    EXPECT_EQ(u.status().at(0), 0xFE);
    EXPECT_EQ(u.status().at(0), 0xFE);
    auto st = u.status();
    EXPECT_EQ(st.at(0), 0x00);
    EXPECT_EQ(st.at(1), 0xC0);

    cam->set_faults([](vxsim::Faults& f) { f.fail_next = "sensor not ready"; });
    ASSERT_EQ(u.out(0xC0, 3, rec, 20), 20);
    st = u.status();
    EXPECT_EQ(st.at(0), 0xFF);
    EXPECT_EQ(status_text(st), "sensor not ready");
    ASSERT_EQ(u.out(0xC0, 3, rec, 20), 20);
    EXPECT_EQ(u.status().at(0), 0x00);
}

TEST_F(Faults, HungControlTransferTimesOutAndTheNextOneWorks) {
    cam->set_faults([](vxsim::Faults& f) { f.hang_control = 1; });
    uint32_t t = 1;
    EXPECT_EQ(libusb_control_transfer(u.h, 0x22, 0xC0, 0, 0, (unsigned char*)&t, 4, 150), LIBUSB_ERROR_TIMEOUT);
    auto st = u.status();
    ASSERT_EQ(st.size(), 63u);
    EXPECT_EQ(st[0], 0x00);
    EXPECT_EQ(cam->command_log().size(), 2u);
}

// --- bus events ---------------------------------------------------------------------------------

int count_cameras(const std::function<void(libusb_device*)>& each = {}) {
    Usb u;
    libusb_device** list;
    auto cams = u.cameras(&list);
    if (each)
        for (auto* d : cams) each(d);
    libusb_free_device_list(list, 1);
    return int(cams.size());
}

TEST_F(Sim, UnplugFailsTransfersInFlightAndReplugComesBackElsewhere) {
    auto& cam = tb.add_camera(fast());
    const uint8_t addr = cam.address();
    {
        Usb u;
        ASSERT_EQ(u.open(cam.port()), 0);
        uint8_t rec[20] = {12, 4, 5};
        ASSERT_EQ(u.out(0xC0, 3, rec, 20), 20);
        ASSERT_EQ(u.settled().at(0), 0);
        ASSERT_TRUE(u.start());
        cam.set_faults([](vxsim::Faults& f) { f.stop_sending = true; });
        int r = 0;
        std::thread reader([&] {
            std::vector<uint8_t> b(153600);
            int got;
            r = libusb_bulk_transfer(u.h, 0x81, b.data(), int(b.size()), &got, 3000);
        });
        ASSERT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return c.pending_bulk() == 1; }));
        cam.unplug();
        reader.join();
        EXPECT_EQ(r, LIBUSB_ERROR_NO_DEVICE);
        EXPECT_FALSE(cam.attached());
        EXPECT_FALSE(cam.streaming());
        EXPECT_EQ(u.status().size(), 0u);  // every later request fails too
    }
    EXPECT_EQ(count_cameras(), 0);

    cam.replug();
    EXPECT_TRUE(cam.attached());
    EXPECT_NE(cam.address(), addr);
    int seen = count_cameras([&](libusb_device* d) {
        EXPECT_EQ(libusb_get_port_number(d), cam.port());
        EXPECT_EQ(libusb_get_device_address(d), cam.address());
    });
    EXPECT_EQ(seen, 1);
    // A replug is a power cycle: parameters are back at their power-on values.
    EXPECT_EQ(cam.param(12).at(0), 30);
}

TEST_F(Sim, ResetTargetsRestartReenumerateOrResetTheSensor) {
    vxsim::CameraOptions o;
    o.reenumerate_delay_ms = 150;
    o.reboot_delay_ms = 150;
    auto& cam = tb.add_camera(o);
    uint8_t addr = cam.address();
    auto gone_and_back = [&](uint32_t target) {
        Usb u;
        EXPECT_EQ(u.open(cam.port()), 0);
        EXPECT_EQ(u.out(0xC0, 0, &target, 4), 4);
        if (target == 0) {
            EXPECT_EQ(u.status().at(0), 0);  // answered before the board goes
        }
        EXPECT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return !c.attached(); }, 2s));
        EXPECT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return c.attached(); }, 2s));
        EXPECT_NE(cam.address(), addr);
        addr = cam.address();
    };

    cam.set_reg(1, 160, 0x55);
    cam.set_param(12, {7, 0, 0, 0});
    gone_and_back(3);
    EXPECT_EQ(cam.reg(1, 160), 0x55u);  // a USB re-enumeration keeps the firmware's state
    EXPECT_EQ(count_cameras(), 1);
    gone_and_back(0);
    EXPECT_EQ(cam.reg(1, 160), 0x00u);  // a board restart does not
    EXPECT_EQ(cam.param(12).at(0), 30);

    Usb u;
    ASSERT_EQ(u.open(cam.port()), 0);
    cam.set_reg(1, 160, 0x55);
    cam.set_param(12, {7, 0, 0, 0});
    // Target 1 resets the sensor's registers and nothing else: the stream goes on where it was.
    ASSERT_TRUE(u.start());
    Reader rd{u, {}};
    auto before = rd.next(3);
    uint32_t one = 1;
    ASSERT_EQ(u.out(0xC0, 0, &one, 4), 4);
    EXPECT_EQ(u.settled().at(0), 0);
    EXPECT_EQ(cam.reg(1, 160), 0x00u);
    EXPECT_EQ(cam.reg(1, 130), 23u);
    EXPECT_EQ(cam.param(12).at(0), 7);
    EXPECT_TRUE(cam.attached());
    auto after = rd.next(30);
    ASSERT_GE(after.size(), 30u);
    uint16_t sidx = before.back().sidx;
    for (auto& p : after) {
        EXPECT_TRUE(p.hdr_ok);
        EXPECT_EQ(p.sidx, ++sidx);
    }
}

TEST_F(Sim, ReenumerationKeepsStateAndTheOldHandleIsDead) {
    auto& cam = tb.add_camera({});
    Usb u;
    ASSERT_EQ(u.open(cam.port()), 0);
    cam.set_reg(1, 160, 0x66);
    const uint8_t old = cam.address();
    cam.reenumerate(100);
    EXPECT_FALSE(cam.attached());
    EXPECT_EQ(u.status().size(), 0u);
    ASSERT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return c.attached(); }, 2s));
    EXPECT_NE(cam.address(), old);
    EXPECT_EQ(cam.reg(1, 160), 0x66u);
    EXPECT_EQ(u.status().size(), 0u);  // a handle on the old address stays gone
    Usb fresh;
    ASSERT_EQ(fresh.open(cam.port()), 0);
    EXPECT_EQ(fresh.status().size(), 63u);
}

// Calls of a 100 ms event wait that fit into 600 ms, and the CPU time they took: a loop that
// sleeps in poll makes about six and uses next to nothing.
struct LoopCost {
    int loops = 0;
    double cpu_s = 0;
};
LoopCost event_loop_cost(libusb_context* ctx) {
    auto cpu = [] {
        rusage r;
        getrusage(RUSAGE_SELF, &r);
        return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    LoopCost c;
    const double c0 = cpu();
    const auto t0 = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - t0 < 600ms) {
        timeval tv{0, 100000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        ++c.loops;
    }
    c.cpu_s = cpu() - c0;
    return c;
}

// A bulk transfer that records how it ended and, while `resubmit` holds, goes back into the queue.
struct Xfer {
    std::vector<uint8_t> buf = std::vector<uint8_t>(153600);
    libusb_transfer* t = libusb_alloc_transfer(0);
    std::vector<int> statuses, lengths, resubmits;
    bool resubmit = false;
    Xfer(libusb_device_handle* h) {
        libusb_fill_bulk_transfer(t, h, 0x81, buf.data(), int(buf.size()), on_done, this, 0);
    }
    ~Xfer() { libusb_free_transfer(t); }
    static void LIBUSB_CALL on_done(libusb_transfer* t) {
        auto* x = static_cast<Xfer*>(t->user_data);
        x->statuses.push_back(t->status);
        x->lengths.push_back(t->actual_length);
        if (x->resubmit) x->resubmits.push_back(libusb_submit_transfer(t));
    }
};

// The node is kept unwritable while nothing can be reaped, so an idle event loop sleeps in poll.
TEST_F(Sim, IdleEventLoopSleeps) {
    auto& cam = tb.add_camera({});
    Usb u;
    ASSERT_EQ(u.open(cam.port()), 0);
    Xfer x(u.h);
    ASSERT_EQ(libusb_submit_transfer(x.t), 0);
    const LoopCost c = event_loop_cost(u.ctx);
    EXPECT_LT(c.loops, 20);  // each call waited for its time-out
    EXPECT_LT(c.cpu_s, 0.15);
    EXPECT_TRUE(x.statuses.empty());
    libusb_cancel_transfer(x.t);
    while (x.statuses.empty()) libusb_handle_events(u.ctx);
}

// As a disconnected usbfs node: poll reports an error, libusb drops the node from its loop and
// fails what was in flight, and the loop goes back to sleeping.
TEST_F(Sim, UnpluggedNodeWakesPollWithAnError) {
    auto& cam = tb.add_camera({});
    Usb u;
    ASSERT_EQ(u.open(cam.port()), 0);
    const libusb_pollfd** fds = libusb_get_pollfds(u.ctx);
    ASSERT_NE(fds, nullptr);
    pollfd node{-1, POLLOUT, 0};
    for (auto** f = fds; *f; ++f)
        if ((*f)->events & POLLOUT) node.fd = (*f)->fd;
    libusb_free_pollfds(fds);
    ASSERT_GE(node.fd, 0);
    EXPECT_EQ(poll(&node, 1, 50), 0);

    Xfer x(u.h);
    ASSERT_EQ(libusb_submit_transfer(x.t), 0);
    std::thread unplug([&] {
        std::this_thread::sleep_for(100ms);
        cam.unplug();
    });
    EXPECT_EQ(poll(&node, 1, 5000), 1);  // woken by the unplug itself
    unplug.join();
    EXPECT_EQ(node.revents & (POLLERR | POLLHUP), POLLERR | POLLHUP) << node.revents;

    const LoopCost c = event_loop_cost(u.ctx);
    EXPECT_EQ(x.statuses, std::vector<int>{LIBUSB_TRANSFER_NO_DEVICE});
    EXPECT_LT(c.loops, 20);
    EXPECT_LT(c.cpu_s, 0.15);
}

// A host a ring behind: every queued transfer has completed with data when the camera goes, so
// the host learns of the unplug only from its resubmissions.
TEST_F(Sim, RingBehindUnplugCompletesEveryQueuedTransferFirst) {
    auto& cam = tb.add_camera(fast());
    Usb u;
    ASSERT_EQ(u.open(cam.port()), 0);
    ASSERT_TRUE(u.start());
    cam.set_faults([](vxsim::Faults& f) { f.stop_sending = true; });
    std::vector<std::unique_ptr<Xfer>> ring;
    for (int i = 0; i < 6; ++i) {
        ring.push_back(std::make_unique<Xfer>(u.h));
        ring.back()->resubmit = true;
        ASSERT_EQ(libusb_submit_transfer(ring.back()->t), 0);
    }
    ASSERT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return c.pending_bulk() == 6; }));
    cam.unplug(vxsim::Unplug::ring_behind);
    event_loop_cost(u.ctx);
    std::vector<uint8_t> stream;
    for (auto& x : ring) {
        EXPECT_EQ(x->statuses, std::vector<int>{LIBUSB_TRANSFER_COMPLETED});
        EXPECT_EQ(x->lengths, std::vector<int>{153600});
        EXPECT_EQ(x->resubmits, std::vector<int>{LIBUSB_ERROR_NO_DEVICE});
        stream.insert(stream.end(), x->buf.begin(), x->buf.end());
    }
    // The data is the stream as it was going to come.
    auto pk = parse(stream);
    ASSERT_GE(pk.size(), 14u);
    for (auto& p : pk) EXPECT_TRUE(p.hdr_ok && p.sum_ok);
}

// --- the host against the stricter camera ----------------------------------------------------

// Headers cut by transfer ends at every offset: the library's parser still assembles every
// frame, with nothing discarded or skipped.
TEST_F(Sim, HeadersStraddlingTransfersAtEveryOffsetStillMakeWholeFrames) {
    auto o = fast();
    o.packet_payload = vxsim::kStraddlePayload;
    o.rate_cap_mbps = 0;
    auto& cam = tb.add_camera(o);
    Usb u;
    ASSERT_EQ(u.open(cam.port()), 0);
    ASSERT_TRUE(u.start());
    const vx_stream_cfg cfg{64};
    std::unique_ptr<vx_stream, decltype(&vx_stream_destroy)> ps(vx_stream_create(&cfg), vx_stream_destroy);
    std::vector<uint8_t> all, buf(153600);
    while (all.size() < 27 * (vxsim::kFrameBytes + 36 * 743)) {
        int got = 0;
        ASSERT_EQ(libusb_bulk_transfer(u.h, 0x81, buf.data(), int(buf.size()), &got, 2000), 0);
        ASSERT_EQ(got, 153600);
        vx_stream_feed_input(ps.get(), buf.data(), uint32_t(got));
        all.insert(all.end(), buf.begin(), buf.end());
    }
    std::set<size_t> cut_at;
    size_t at = 0;
    for (auto& p : parse(all)) {
        EXPECT_TRUE(p.hdr_ok && p.sum_ok);
        if (at % 153600 > 153600 - 36) cut_at.insert(153600 - at % 153600);
        at += 36 + p.len;
    }
    EXPECT_EQ(cut_at.size(), 35u);

    vx_stream_state st{};
    vx_stream_get_state(ps.get(), &st);
    EXPECT_GE(st.frames_assembled, 26u);
    EXPECT_EQ(st.frames_discarded, 0u);
    EXPECT_EQ(st.bytes_skipped, 0u);
    std::vector<uint8_t> frame(vxsim::kFrameBytes);
    vx_stream_frame_info info{};
    for (uint16_t n = 0; vx_stream_fetch_frames(ps.get(), frame.data(), uint32_t(frame.size()), 1, &info, 0);
         ++n) {
        EXPECT_EQ(info.fridx, n);
        EXPECT_EQ(rd16(&frame[frame.size() - 2]), vxsim::pattern_sample(n, 3, 239, 319));
    }
}

// A command the camera answers busy is asked about again by the library until it is done; a
// host that does not wait finds its next command refused, since the camera remembers only one.
TEST_F(Sim, TheLibraryAsksAgainWhileTheCameraIsBusy) {
    vxsim::CameraOptions o;
    o.timing = {200, 60, 80, 10000};
    auto& cam = tb.add_camera(o);
    vexel_ll_dev dev{};
    ASSERT_EQ(vexel_ll_dev_open(&dev), &dev);
    vexel_ll_param_rec fps{12, 4, {25}};
    const uint32_t value = 0x42;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(vexel_ll_param_set(&dev, &fps, 1), 1);
    EXPECT_EQ(vexel_ll_reg_write(&dev, 1, 160, &value, 1), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 140ms);
    EXPECT_EQ(cam.reg(1, 160), 0x42u);
    EXPECT_EQ(cam.param(12).at(0), 25);
    EXPECT_GT(cam.counters().busy_answers, 0u);

    uint8_t reset[4] = {5}, stop = 0xC2;
    ASSERT_EQ(vexel_ll_exe_cmd(&dev, 1, 0xC0, 0, reset, 4, 1000), 1);  // busy for 10 s
    ASSERT_EQ(vexel_ll_exe_cmd(&dev, 1, 0xC2, 5, &stop, 1, 1000), 1);
    uint8_t st[63];
    ASSERT_EQ(vexel_ll_exe_cmd(&dev, 0, 0xB0, 0, st, 63, 1000), 1);
    EXPECT_EQ(st[0], 0xFF);
    EXPECT_STREQ(reinterpret_cast<char*>(st + 3), "busy with command 0xC0/0");
    vexel_ll_dev_close(&dev);
}

}  // namespace
