// Data transfers against the simulated camera's flash: real libusb, real transport, public calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <vexel/vexel.h>

#include "core/device.hpp"
#include "datax/datax.hpp"
#include "sim/firmware/flash.hpp"
#include "test_util.hpp"
#include "transport/sim_fixture.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(gen());
    return b;
}

void put_file(const fs::path& p, const Bytes& b) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes file_bytes(const fs::path& p) {
    const std::string s = vxtest::slurp(p);
    return Bytes(s.begin(), s.end());
}

// The board waits the library asked for; the real ones would sleep 20 s.
std::mutex g_wait_mu;
std::vector<unsigned> g_waits;
void record_wait(unsigned ms) {
    std::lock_guard lk(g_wait_mu);
    g_waits.push_back(ms);
}
std::vector<unsigned> waits() {
    std::lock_guard lk(g_wait_mu);
    return g_waits;
}

class Datax : public vxtest::ScratchDirTest {
protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        vx::datax::set_board_wait(record_wait);
        std::lock_guard lk(g_wait_mu);
        g_waits.clear();
    }
    void TearDown() override {
        stop();
        vx::datax::set_board_wait(nullptr);
        vx::datax::set_erase_limit_ms(vx::datax::kEraseLimitMs);
        ScratchDirTest::TearDown();
    }
    // A fresh bus with one camera, opened through the public interface. Its firmware (slot 0)
    // is version 0 unless the options preload slot 0, so that images of any version may be
    // written: every write must carry a version above the firmware's.
    vxsim::Camera& start(vxsim::CameraOptions o = {}) {
        stop();
        o.product = "A-T0-1";
        o.firmware_version = 0;
        if (!flash_timing_) {
            o.flash_erase_ms = 0;
            o.timing.flash_program_ms = 0;
            o.timing.data_busy_percent = 0;
        }
        tb_ = std::make_unique<vxsim::Testbed>();
        cam_ = &tb_->add_camera(o);
        EXPECT_EQ(vexel_dev_open(&dev_), &dev_);
        cam_->clear_logs();
        return *cam_;
    }
    void stop() {
        if (dev_.handle) vexel_dev_close(&dev_);
        tb_.reset();
        cam_ = nullptr;
    }
    // OUT phases of one data command, as the camera received them.
    std::vector<vxsim::ControlRecord> sent(uint16_t value) const {
        return vxt::commands(*cam_, LL_CMD_DATA, value, true);
    }
    bool reset_sent() const { return !vxt::commands(*cam_, 0xC0, 0, true).empty(); }

    vxt::LogCapture log_;
    // Set: the camera's flash takes its time (erase, programming, busy answers) as the options
    // say; otherwise it answers at once, so that the suite does not wait out a real erase at
    // every write.
    bool flash_timing_ = false;
    std::unique_ptr<vxsim::Testbed> tb_;
    vxsim::Camera* cam_ = nullptr;
    vexel_dev dev_{};
};

TEST(DataxCrc, IsXmodemOverTheBlockBytes) {
    const struct {
        std::string in;
        uint16_t crc;
    } cases[] = {{"", 0}, {"A", 0x58E5}, {"123456789", 0x31C3}};
    for (const auto& c : cases)
        EXPECT_EQ(al_data_calc_crc(reinterpret_cast<const uint8_t*>(c.in.data()), uint16_t(c.in.size())), c.crc) << c.in;
    const Bytes block = pattern(1018, 1);
    EXPECT_EQ(al_data_calc_crc(block.data(), 1018), vxsim::crc16_xmodem(block.data(), 1018));
    EXPECT_EQ(al_data_calc_crc(nullptr, 5), 0);
}

TEST_F(Datax, FileBufferCheckFailsOnEmptyAndMissingFiles) {
    put_file("three.bin", {7, 8, 9});
    put_file("empty.bin", {});
    uint32_t size = 1234;
    EXPECT_EQ(al_data_build_file_buffer("three.bin", &size), 1);
    EXPECT_EQ(size, 3u);
    EXPECT_TRUE(log_.has("[al_data_build_file_buffer] File read ok,3,7"));
    size = 1234;
    EXPECT_EQ(al_data_build_file_buffer("empty.bin", &size), -1);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(al_data_build_file_buffer("missing.bin", &size), -1);
    EXPECT_EQ(al_data_build_file_buffer(nullptr, nullptr), -1);
}

TEST_F(Datax, WriteThenReadBackIsIdenticalBlockForBlock) {
    vxsim::Camera& cam = start();
    uint16_t version = 1;
    for (size_t n : {1, 1017, 1018, 1019, 2036, 2037, 300000}) {
        SCOPED_TRACE(n);
        const Bytes data = pattern(n, static_cast<uint32_t>(n));
        put_file("img.bin", data);
        cam.clear_logs();
        ASSERT_EQ(vexel_data_download(&dev_, "img.bin", 7, ++version, 0xDEAD), 1);
        const auto blocks = sent(AL_ACTION_DATA);
        ASSERT_EQ(blocks.size(), (n + 1017) / 1018);
        for (size_t i = 0; i < blocks.size(); ++i) {
            const Bytes& rec = blocks[i].data;
            const size_t len = std::min<size_t>(1018, n - i * 1018);
            al_block_hdr hdr;
            std::memcpy(&hdr, rec.data(), sizeof hdr);
            const uint32_t hdr_len = hdr.len;
            const uint16_t hdr_crc = hdr.crc;
            ASSERT_EQ(hdr_len, len);
            ASSERT_EQ(rec.size(), sizeof hdr + len);
            EXPECT_TRUE(std::equal(rec.begin() + 6, rec.end(), data.begin() + long(i * 1018)));
            EXPECT_EQ(hdr_crc, vxsim::crc16_xmodem(rec.data() + 6, len));
        }
        const auto img = cam.flash_image(7);
        ASSERT_TRUE(img);
        EXPECT_EQ(img->version, version);
        EXPECT_EQ(img->bytes, data);
        ASSERT_EQ(vexel_data_upload(&dev_, 7, "back.bin"), 1);
        EXPECT_EQ(file_bytes("back.bin"), data);
    }
    EXPECT_TRUE(waits().empty());  // type 7 has no final stage
    EXPECT_FALSE(reset_sent());

    // An empty file is no image: refused before any command.
    put_file("empty.bin", {});
    cam.clear_logs();
    EXPECT_EQ(vexel_data_download(&dev_, "empty.bin", 7, ++version, 0), -1);
    EXPECT_TRUE(cam.command_log().empty());
}

// Whatever type is written, the host compares the new version with the firmware's (slot 0),
// and the camera compares it with the slot's own.
TEST_F(Datax, NewImageMustCarryAVersionAboveTheFirmwares) {
    vxsim::CameraOptions o;
    o.flash[4] = {5, pattern(100, 4)};
    o.flash[0] = {50, pattern(10, 0)};  // the firmware the camera runs
    vxsim::Camera& cam = start(o);
    EXPECT_EQ(dev_.version[2] | dev_.version[3] << 8, 50);
    put_file("img.bin", pattern(3000, 9));
    const struct {
        uint16_t version;
        int result;
        const char* message;
    } cases[] = {{6, -1, "[ERR] [vexel_bin_data_write] Wrong version(Target:50,Now:6)"},
                 {50, -1, "[ERR] [vexel_bin_data_write] Wrong version(Target:50,Now:50)"},
                 {51, 1, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        cam.clear_logs();
        EXPECT_EQ(vexel_firmware_upgrade(&dev_, 4, c.version, "img.bin"), c.result);
        if (!c.message) continue;
        EXPECT_TRUE(log_.has(c.message));
        std::vector<uint8_t> asked;
        for (const auto& r : sent(AL_DATA_INFO)) asked.push_back(r.data[0]);
        EXPECT_EQ(asked, std::vector<uint8_t>{0});  // slot 0, not slot 4
        for (const auto& rec : cam.command_log())
            EXPECT_TRUE(rec.request == 0xB0 || (rec.request == LL_CMD_DATA && rec.value == AL_DATA_INFO))
                << "command " << int(rec.request) << "/" << rec.value;
        EXPECT_EQ(cam.flash_image(4)->bytes, pattern(100, 4));
    }
    EXPECT_EQ(cam.flash_image(4)->version, 51);
    // The camera still refuses a version its own slot already has.
    o.flash[4] = {60, pattern(100, 4)};
    start(o);
    EXPECT_EQ(vexel_firmware_upgrade(&dev_, 4, 55, "img.bin"), -1);
    EXPECT_TRUE(log_.has("Wrong version(Target:60,Now:55)"));
}

// A type-0 write replaces the firmware: after the board's restart the camera reports the new
// version, which the next write must exceed.
TEST_F(Datax, FirmwareWriteChangesWhatTheCameraRunsAfterItsRestart) {
    vxsim::CameraOptions o;
    o.flash[0] = {0x0140, pattern(2000, 1)};
    vxsim::Camera& cam = start(o);
    EXPECT_EQ(dev_.version[2] | dev_.version[3] << 8, 0x0140);
    const Bytes fw = pattern(3000, 2);
    put_file("fw.bin", fw);
    const uint8_t addr = cam.address();
    ASSERT_EQ(vexel_firmware_upgrade(&dev_, 0, 0x0150, "fw.bin"), 1);
    ASSERT_TRUE(cam.wait_until([&](const vxsim::Camera& k) { return k.attached() && k.address() != addr; }, 10s));
    vexel_dev_close(&dev_);
    ASSERT_EQ(vexel_dev_open(&dev_), &dev_);
    EXPECT_EQ(dev_.version[2] | dev_.version[3] << 8, 0x0150);
    EXPECT_EQ(cam.param(6).at(2) | cam.param(6).at(3) << 8, 0x0150);
    put_file("blob.bin", pattern(500, 3));
    EXPECT_EQ(vexel_data_download(&dev_, "blob.bin", 7, 0x0148, 0), -1);
    EXPECT_TRUE(log_.has("Wrong version(Target:336,Now:328)"));
    EXPECT_EQ(vexel_data_download(&dev_, "blob.bin", 7, 0x0151, 0), 1);
    ASSERT_EQ(vexel_data_upload(&dev_, 0, "back.bin"), 1);
    EXPECT_EQ(file_bytes("back.bin"), fw);
}

// The camera's own time: an erase of many "still erasing" answers, one of 1.5 s under data
// commands that answer busy and an erase command completed 1.2 s late, and one that outlasts
// the host's limit. The image goes in and comes back byte for byte, the erase reports come
// first and the blocks' after; only the limit fails the write, naming it.
TEST_F(Datax, EraseAndBusyTimesAreWaitedOutUpToTheLimit) {
    const struct {
        unsigned erase_ms, acks, busy_percent, slow_ms, limit_ms;
    } cases[] = {{0, 300, 0, 0, vx::datax::kEraseLimitMs}, {1500, 0, 40, 1200, 5000}, {2000, 0, 0, 0, 100}};
    const Bytes img = pattern(5 * 1018 - 9, 3);  // one sector
    put_file("img.bin", img);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.erase_ms) + " ms, limit " + std::to_string(c.limit_ms) + " ms");
        vxsim::CameraOptions o;
        o.flash_erase_ms = c.erase_ms;
        o.flash_erase_acks = c.acks;
        o.timing.data_busy_percent = c.busy_percent;
        flash_timing_ = true;
        vxsim::Camera& cam = start(o);
        vx::datax::set_erase_limit_ms(c.limit_ms);
        struct Ctx {
            vxsim::Camera* cam;
            unsigned slow_ms;
            std::vector<int> stages;
        } ctx{&cam, c.slow_ms, {}};
        auto cb = [](uint32_t, uint32_t, int stage, void* user) -> int {
            auto* x = static_cast<Ctx*>(user);
            if (x->stages.empty())  // the erase command goes out next
                x->cam->set_faults([x](vxsim::Faults& f) {
                    f.slow_command = 1;
                    f.slow_command_ms = x->slow_ms;
                });
            x->stages.push_back(stage);
            return 0;
        };
        const auto t0 = std::chrono::steady_clock::now();
        const bool ok = c.limit_ms > c.erase_ms;
        EXPECT_EQ(vexel_firmware_upgrade_ex(&dev_, 5, 1, "img.bin", cb, &ctx), ok ? 1 : -1);
        const auto took = std::chrono::steady_clock::now() - t0;
        const size_t erase_reports = size_t(std::count(ctx.stages.begin(), ctx.stages.end(), VX_DATAX_ERASE));
        std::printf("[ datax ] erase %u ms per 64 KiB, %u%% busy: %s after %lld ms, %zu erase reports, %llu busy\n",
                    c.erase_ms, c.busy_percent, ok ? "written" : "refused",
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
                    erase_reports, static_cast<unsigned long long>(cam.counters().busy_answers));
        EXPECT_EQ(log_.has("flash erase still running after 100 ms"), !ok);
        if (!ok) {
            EXPECT_FALSE(cam.flash_image(5).has_value());
            continue;
        }
        EXPECT_GE(took, std::chrono::milliseconds(std::max(c.erase_ms, c.slow_ms)));
        EXPECT_GE(erase_reports, c.acks ? 301u : 2u);
        EXPECT_TRUE(std::is_partitioned(ctx.stages.begin(), ctx.stages.end(), [](int st) { return st == VX_DATAX_ERASE; }));
        EXPECT_EQ(ctx.stages.size() - erase_reports, (img.size() + 1017) / 1018);
        EXPECT_GT(cam.counters().busy_answers, 0u);  // at least while blocks were programmed
        ASSERT_EQ(vexel_data_upload(&dev_, 5, "back.bin"), 1);
        EXPECT_EQ(file_bytes("back.bin"), img);
    }
}

TEST_F(Datax, FailedWritesReportFailureAndSkipTheBoardRestart) {
    const struct {
        const char* name;
        std::function<void(vxsim::Faults&)> fault;
        const char* message;
    } cases[] = {
        {"start refused", [](vxsim::Faults& f) { f.flash_refuse_start = 1; }, "Wrong version(Target:0,Now:9)"},
        {"erase never ends", [](vxsim::Faults& f) { f.flash_erase_hangs = true; }, "flash erase still running after 300 ms"},
        {"bad CRC", [](vxsim::Faults& f) { f.flash_bad_crc_block = 1; }, "Data transfer failed A.indx1, 1"},
        {"bad ack", [](vxsim::Faults& f) { f.flash_bad_ack_block = 1; }, "Data transfer failed B."},
        {"camera leaves", [](vxsim::Faults& f) { f.flash_drop_block = 1; }, "Data transfer failed D."},
        {"info query fails", [](vxsim::Faults& f) { f.fail_next = "flash busy"; }, "Get info failed"},
    };
    vx::datax::set_erase_limit_ms(300);
    put_file("fw.bin", pattern(5000, 5));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vxsim::Camera& cam = start();
        cam.set_faults(c.fault);
        EXPECT_EQ(vexel_firmware_upgrade(&dev_, 0, 9, "fw.bin"), -1);
        EXPECT_TRUE(log_.has(c.message));
        EXPECT_FALSE(reset_sent());
        EXPECT_TRUE(!cam.flash_image(0) || cam.flash_image(0)->version == 0);  // never the new one
    }
    EXPECT_EQ(log_.count("[ERR] [vexel_bin_data_write] data upgrade failed!"), 5);
    EXPECT_FALSE(log_.has("Wait board to reset"));
    EXPECT_TRUE(waits().empty());
}

TEST_F(Datax, TypeDecidesTheFinalStage) {
    const struct {
        uint8_t type;
        bool reset;
        std::vector<unsigned> waits;
    } cases[] = {{0, true, {20000}}, {1, true, {20000}}, {2, false, {7000}}, {3, false, {7000}}, {4, false, {}}};
    const Bytes fw = pattern(3000, 8);
    put_file("fw.bin", fw);
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.type));
        {
            std::lock_guard lk(g_wait_mu);
            g_waits.clear();
        }
        vxsim::Camera& cam = start();
        const uint8_t addr = cam.address();
        ASSERT_EQ(vexel_firmware_upgrade(&dev_, c.type, 2, "fw.bin"), 1);
        EXPECT_EQ(reset_sent(), c.reset);
        EXPECT_EQ(waits(), c.waits);
        if (!c.reset) continue;
        // The board restarts with the new image in place, and the device opens again.
        ASSERT_TRUE(cam.wait_until([&](const vxsim::Camera& k) { return k.attached() && k.address() != addr; }, 10s));
        vexel_dev_close(&dev_);
        ASSERT_EQ(vexel_dev_open(&dev_), &dev_);
        ASSERT_EQ(vexel_data_upload(&dev_, c.type, "back.bin"), 1);
        EXPECT_EQ(file_bytes("back.bin"), fw);
    }
    EXPECT_EQ(log_.count("[WRN] [vexel_bin_data_write]  * Wait board to reset..."), 2);
    EXPECT_EQ(log_.count("!!! DO NOT RESET or POWER OFF the board until return !!!!"), 4);
}

TEST_F(Datax, ReadsComeInPiecesOf450) {
    const struct {
        size_t n;
        std::vector<uint32_t> pieces;
    } cases[] = {{0, {}}, {450, {450}}, {451, {450, 1}}, {900, {450, 450}}};
    vxsim::CameraOptions o;
    for (uint8_t t = 0; t < 4; ++t) o.flash[uint8_t(10 + t)] = {1, pattern(cases[t].n, t)};
    vxsim::Camera& cam = start(o);
    for (uint8_t t = 0; t < 4; ++t) {
        SCOPED_TRACE(cases[t].n);
        cam.clear_logs();
        ASSERT_EQ(vexel_data_upload(&dev_, uint8_t(10 + t), "out.bin"), 1);
        ASSERT_TRUE(fs::exists("out.bin"));
        EXPECT_EQ(file_bytes("out.bin"), o.flash[uint8_t(10 + t)].bytes);
        std::vector<uint32_t> lens;
        for (const auto& r : sent(AL_DATA_PAYLOAD)) lens.push_back(r.data[4] | r.data[5] << 8);
        EXPECT_EQ(lens, cases[t].pieces);
    }
    // Nothing stored, or an information query that fails: no file at all.
    EXPECT_EQ(vexel_data_upload(&dev_, 99, "none.bin"), -1);
    EXPECT_TRUE(log_.has("[ERR] [vexel_bin_data_read] No valid data to read, please check"));
    cam.set_faults([](vxsim::Faults& f) { f.fail_next = "flash busy"; });
    EXPECT_EQ(vexel_data_upload(&dev_, 13, "none.bin"), -1);
    EXPECT_FALSE(fs::exists("none.bin"));
    // No name: calib.bin in the working directory.
    ASSERT_EQ(vexel_data_upload(&dev_, 13, nullptr), 1);
    EXPECT_EQ(file_bytes(dir_ / "calib.bin"), o.flash[13].bytes);
}

TEST_F(Datax, ReadThatStopsHalfWayLeavesTheCallersFileAlone) {
    vxsim::CameraOptions o;
    o.flash[6] = {1, pattern(2000, 6)};
    vxsim::Camera& cam = start(o);
    struct Ctx {
        vxsim::Camera* cam;
        bool cancel;
        std::vector<uint32_t> seen;
    };
    auto cb = [](uint32_t done, uint32_t total, int stage, void* user) -> int {
        auto* c = static_cast<Ctx*>(user);
        EXPECT_EQ(stage, VX_DATAX_READ);
        EXPECT_EQ(total, 2000u);
        c->seen.push_back(done);
        if (done < 900) return 0;
        if (c->cancel) return 1;
        c->cam->set_faults([](vxsim::Faults& f) { f.fail_next = "flash read error"; });
        return 0;
    };
    for (bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "piece failed");
        put_file("keep.bin", {1, 2, 3});
        Ctx ctx{&cam, cancel, {}};
        EXPECT_EQ(vexel_data_upload_ex(&dev_, 6, "keep.bin", cb, &ctx), -1);
        EXPECT_EQ(ctx.seen, (std::vector<uint32_t>{450, 900}));
        EXPECT_EQ(file_bytes("keep.bin"), (Bytes{1, 2, 3}));
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
    }
}

TEST_F(Datax, WriteReportsProgressAndCancelsBetweenBlocks) {
    vxsim::Camera& cam = start();
    const uint32_t total = 5 * 1018;
    put_file("img.bin", pattern(total, 2));
    struct Ctx {
        vexel_dev* dev;
        uint32_t cancel_at;
        std::vector<std::pair<int, uint32_t>> seen;
        bool busy = true;
    };
    auto cb = [](uint32_t done, uint32_t all, int stage, void* user) -> int {
        auto* c = static_cast<Ctx*>(user);
        EXPECT_EQ(all, 5u * 1018);
        c->busy = c->busy && c->dev->busy == 1;
        c->seen.emplace_back(stage, done);
        return stage == VX_DATAX_WRITE && done >= c->cancel_at;
    };
    Ctx full{&dev_, UINT32_MAX, {}};
    ASSERT_EQ(vexel_firmware_upgrade_ex(&dev_, 2, 1, "img.bin", cb, &full), 1);
    std::vector<std::pair<int, uint32_t>> expect(4, {VX_DATAX_ERASE, 0});  // before the erase, then 3 acks
    for (uint32_t b = 1; b <= 5; ++b) expect.emplace_back(VX_DATAX_WRITE, b * 1018);
    expect.emplace_back(VX_DATAX_RESTART, total);
    EXPECT_EQ(full.seen, expect);
    EXPECT_TRUE(full.busy);
    EXPECT_EQ(waits(), std::vector<unsigned>{7000});

    Ctx stop{&dev_, 2036, {}};
    cam.clear_logs();
    EXPECT_EQ(vexel_firmware_upgrade_ex(&dev_, 2, 2, "img.bin", cb, &stop), -1);
    EXPECT_EQ(sent(AL_ACTION_DATA).size(), 2u);
    EXPECT_EQ(waits().size(), 1u);
    EXPECT_EQ(dev_.busy, 0);
    // The camera starts over at the next start.
    EXPECT_EQ(vexel_firmware_upgrade(&dev_, 2, 2, "img.bin"), 1);
    EXPECT_EQ(cam.flash_image(2)->version, 2);
}

TEST_F(Datax, AnotherThreadsCommandsGoBetweenTheSteps) {
    start();
    const Bytes data = pattern(40 * 1018, 11);
    put_file("img.bin", data);
    static std::atomic<int> reads, failures;
    reads = failures = 0;
    std::atomic<bool> done{false};
    std::thread other([&] {
        while (!done) {
            vexel_param_item item{};
            item.param_id = VX_PARAM_FPS;
            ++(vexel_param_batch_get(&dev_, &item, 1) == 1 ? reads : failures);
        }
    });
    // Between two blocks the transfer holds nothing: the other thread's reads get through.
    auto cb = [](uint32_t, uint32_t, int stage, void* user) -> int {
        if (stage == VX_DATAX_WRITE && !*static_cast<bool*>(user)) {
            const int seen = reads.load();
            *static_cast<bool*>(user) = vxt::eventually([&] { return reads.load() > seen + 2; }, 10s);
        }
        return 0;
    };
    bool interleaved = false;
    EXPECT_EQ(vexel_firmware_upgrade_ex(&dev_, 5, 1, "img.bin", cb, &interleaved), 1);
    EXPECT_EQ(vexel_data_upload(&dev_, 5, "back.bin"), 1);
    done = true;
    other.join();
    EXPECT_TRUE(interleaved);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(file_bytes("back.bin"), data);
}

TEST_F(Datax, PublicCallsNeedAnOpenDevice) {
    put_file("img.bin", {1});
    vexel_dev closed{};
    for (vexel_dev* d : {static_cast<vexel_dev*>(nullptr), &closed}) {
        EXPECT_EQ(vexel_firmware_upgrade(d, 4, 1, "img.bin"), -1);
        EXPECT_EQ(vexel_firmware_upgrade_ex(d, 4, 1, "img.bin", nullptr, nullptr), -1);
        EXPECT_EQ(vexel_data_download(d, "img.bin", 4, 1, 0), -1);
        EXPECT_EQ(vexel_data_upload(d, 4, "x.bin"), -1);
        EXPECT_EQ(vexel_data_upload_ex(d, 4, "x.bin", nullptr, nullptr), -1);
    }
    EXPECT_EQ(log_.count("[DBG] [vexel_"), 10);
    EXPECT_EQ(log_.count("] Wrong params\n"), 10);
    EXPECT_FALSE(fs::exists("x.bin"));
}

TEST_F(Datax, StepsSendOnlyWhatTheCameraCanTake) {
    vxsim::CameraOptions o;
    o.flash[3] = {7, pattern(20, 3)};
    vxsim::Camera& cam = start(o);
    vexel_ll_dev* ll = &dev_.handle->ll;
    uint8_t rec[13] = {};
    EXPECT_EQ(al_data_read_action_info(ll, 2, rec), 1);
    const al_block_hdr none{0, 0};
    EXPECT_EQ(al_data_send_action_info(ll, AL_ACTION_DATA, &none), -1);
    Bytes big(6 + 1019);
    const al_block_hdr over{0, 1019};
    std::memcpy(big.data(), &over, sizeof over);
    EXPECT_EQ(al_data_send_action_info(ll, AL_ACTION_DATA, big.data()), -1);
    EXPECT_EQ(al_data_send_action_info(ll, 9, rec), -1);
    EXPECT_TRUE(cam.command_log().empty());

    // 1018 bytes travel; without an erase first the camera refuses them.
    const al_block_hdr full{0, 1018};
    std::memcpy(big.data(), &full, sizeof full);
    EXPECT_EQ(al_data_send_action_info(ll, AL_ACTION_DATA, big.data()), -1);
    EXPECT_EQ(sent(AL_ACTION_DATA).size(), 1u);

    al_data_info info{};
    info.type = 3;
    ASSERT_EQ(al_get_data_info(ll, AL_DATA_INFO, &info, sizeof info), 1);
    const uint16_t version = info.version;
    const uint32_t size = info.data_size;
    EXPECT_EQ(version, 7);
    EXPECT_EQ(size, 20u);
    uint8_t three[3];  // a piece needs a buffer of its own size only
    ASSERT_EQ(al_get_data_payload(ll, three, 3), 1);
    EXPECT_EQ(Bytes(three, three + 3), Bytes(o.flash[3].bytes.begin(), o.flash[3].bytes.begin() + 3));
    EXPECT_EQ(al_data_read_action_info(ll, AL_ACTION_ACK_SHORT, rec), 1);
    EXPECT_EQ(vxt::commands(cam, LL_CMD_DATA, AL_ACTION_ACK_SHORT, false).back().length, 9);
}

// A regular file is replaced whole; a pipe, /dev/stdout or a symbolic link is written through,
// and stays what it was.
TEST_F(Datax, ReadWritesThroughWhatIsNotARegularFile) {
    vxsim::CameraOptions o;
    o.flash[6] = {1, pattern(2000, 6)};
    start(o);
    const Bytes& data = o.flash[6].bytes;
    put_file("real.bin", {1, 2, 3});
    fs::create_symlink("real.bin", "link.bin");
    fs::create_symlink("made.bin", "dangling.bin");
    ASSERT_EQ(::mkfifo("pipe", 0600), 0);
    // The reading end is open before the write, so the write neither blocks nor meets a closed
    // pipe; 2000 bytes fit in the pipe.
    const int rd = ::open("pipe", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(rd, 0);
    for (const char* name : {"link.bin", "dangling.bin", "pipe"}) EXPECT_EQ(vexel_data_upload(&dev_, 6, name), 1) << name;
    EXPECT_TRUE(fs::is_symlink("link.bin"));
    EXPECT_TRUE(fs::is_symlink("dangling.bin"));
    EXPECT_EQ(file_bytes("real.bin"), data);
    EXPECT_EQ(file_bytes("made.bin"), data);
    EXPECT_TRUE(fs::is_fifo("pipe"));
    Bytes piped(4096);
    const ssize_t got = ::read(rd, piped.data(), piped.size());
    ::close(rd);
    piped.resize(size_t(std::max<ssize_t>(got, 0)));
    EXPECT_EQ(piped, data);
    // A regular file is still only replaced when the read is complete.
    put_file("plain.bin", {9});
    EXPECT_EQ(vexel_data_upload(&dev_, 6, "plain.bin"), 1);
    EXPECT_EQ(file_bytes("plain.bin"), data);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 6);  // no leftovers
}

// Two reads of different slots on one device: the second waits for the first instead of moving
// the camera's read position under it; a transfer started from inside another is refused.
TEST_F(Datax, TransfersOnOneDeviceTakeTurns) {
    vxsim::CameraOptions o;
    o.flash[5] = {1, pattern(20000, 5)};
    o.flash[6] = {1, pattern(20000, 6)};
    start(o);
    static std::atomic<bool> a_reporting, a_complete, b_reporting, b_after_a;
    static std::atomic<int> nested;
    a_reporting = a_complete = b_reporting = b_after_a = false;
    nested = 0;
    static vexel_dev* dev;
    dev = &dev_;
    auto cb_a = [](uint32_t done, uint32_t total, int, void*) -> int {
        if (!a_reporting.exchange(true)) {
            nested = vexel_data_upload(dev, 6, "nested.bin");
            // Time for the other thread's read to come between the pieces, if it can.
            vxt::eventually([] { return b_reporting.load(); }, 1000ms);
        }
        if (done == total) a_complete = true;
        return 0;
    };
    auto cb_b = [](uint32_t, uint32_t, int, void*) -> int {
        if (!b_reporting.exchange(true)) b_after_a = a_complete.load();
        return 0;
    };
    int b_result = 0;
    std::thread b([&] {
        ASSERT_TRUE(vxt::eventually([] { return a_reporting.load(); }, 10s));
        b_result = vexel_data_upload_ex(&dev_, 6, "b.bin", cb_b, nullptr);
    });
    EXPECT_EQ(vexel_data_upload_ex(&dev_, 5, "a.bin", cb_a, nullptr), 1);
    b.join();
    EXPECT_EQ(b_result, 1);
    EXPECT_EQ(nested.load(), -1);
    EXPECT_TRUE(log_.has("[ERR] [vexel_bin_data_read] another data transfer is running on this device"));
    EXPECT_FALSE(fs::exists("nested.bin"));
    EXPECT_TRUE(b_after_a.load());
    EXPECT_EQ(file_bytes("a.bin"), o.flash[5].bytes);
    EXPECT_EQ(file_bytes("b.bin"), o.flash[6].bytes);
}

}  // namespace
