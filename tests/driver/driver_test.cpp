// The epc driver without a camera: lens parameters and their reload, frame information, and a
// driver whose start failed.
#include <cmath>
#include <string>
#include <vector>

#include <vexel/driver.h>
#include <vexel/stream.h>
#include <vexel/vexel.h>

#include "chip/chip_fixture.hpp"
#include "driver/epc.hpp"
#include "test_util.hpp"

namespace {

class EpcTest : public chiptest::ChipTest {
protected:
    void SetUp() override {
        ChipTest::SetUp();
        vx::epc::set_lens_record(vx::epc::kDefaultLens);
    }
    void TearDown() override {
        vx::epc::set_lens_record(vx::epc::kDefaultLens);
        ChipTest::TearDown();
    }
    bool reload(const std::string& text, std::string* log = nullptr) {
        write_bytes(file("lens_param.txt"), std::vector<uint8_t>(text.begin(), text.end()));
        bool r = false;
        const std::string out = output_of([&] { r = vx::epc::update_lens_param(file("lens_param.txt")); });
        if (log) *log = out;
        return r;
    }
    const vexel_driver_op& ops = g_vexel_driver_op_epc;
};

// Files of 11 lines (the first token of each counts) replace the record only when all of it is
// usable; other line counts keep what was read, with a warning.
TEST_F(EpcTest, LensReload) {
    const std::string good = "160.5 cx\n120.25\n200\n201\n-0.1\n0.2\n-0.003\n0.004\n-0.05\n0x140 w\n0360\n";
    auto with = [&](int line, const std::string& v) {
        std::string text;
        for (int i = 0; i < 11; ++i) text += (i == line ? v : std::string("7")) + "\n";
        return text;
    };
    const struct {
        std::string text;
        bool result;
        double cx;
        int32_t img_w, img_h;  // the record afterwards (hexadecimal and octal sizes read as %i does)
        const char* message;
    } cases[] = {
        {good, true, 160.5, 320, 240, "Reload lens param ok"},
        {good + "extra\n", false, 160.5, 320, 240, "Param number maybe not right"},
        {"1\n2\n3\n4\n   \n5\n6\n7\n8\n100\n", false, 1, 100, 240, "Param number maybe not right"},
        {with(9, "4096"), true, 7, 4096, 7, "ok"},     {with(10, "1"), true, 7, 7, 1, "ok"},
        {with(0, "-5"), true, -5, 7, 7, "ok"},         {with(2, "0.001"), true, 7, 7, 7, "ok"},
        {with(9, "4097"), false, 0, 0, 0, "image size"}, {with(10, "0"), false, 0, 0, 0, "image size"},
        {with(9, "99999999999"), false, 0, 0, 0, "image size"},
        {with(2, "0"), false, 0, 0, 0, "focal length"}, {with(3, "-204"), false, 0, 0, 0, "focal length"},
        {with(2, "nan"), false, 0, 0, 0, "focal length"}, {with(1, "-1e999"), false, 0, 0, 0, "principal point"},
        {with(0, "inf"), false, 0, 0, 0, "principal point"}, {with(8, "nan"), false, 0, 0, 0, "coefficient"},
    };
    for (const auto& c : cases) {
        vx::epc::set_lens_record(vx::epc::kDefaultLens);
        std::string log;
        EXPECT_EQ(reload(c.text, &log), c.result) << c.text;
        EXPECT_TRUE(vxtest::contains(log, c.message)) << c.message << "\n" << log;
        const vexel_lens_param p = vx::epc::lens_record();
        if (c.img_w == 0) {  // refused: the whole record kept
            EXPECT_EQ(0, std::memcmp(&p, &vx::epc::kDefaultLens, sizeof p)) << c.text;
        } else {
            EXPECT_EQ(p.cx, c.cx);
            EXPECT_EQ(p.img_w, c.img_w);
            EXPECT_EQ(p.img_h, c.img_h);
        }
    }
    std::filesystem::remove(file("lens_param.txt"));
    const std::string log = output_of([&] { EXPECT_FALSE(vx::epc::update_lens_param(file("lens_param.txt"))); });
    EXPECT_TRUE(vxtest::contains(log, "Open failed, use default param")) << log;
}

TEST_F(EpcTest, LensParametersScaleToBinnedSizes) {
    vexel_lens_param p{};
    // Each axis by its own factor: equal binning would hide an exchanged one.
    for (const vexel_lens_param& want : {vexel_lens_param{78.631, 61.0415, 105.3915, 102.4085, {}, 160, 120},
                                         vexel_lens_param{157.262, 61.0415, 210.783, 102.4085, {}, 320, 120},
                                         vexel_lens_param{78.631, 122.083, 105.3915, 204.817, {}, 160, 240}}) {
        ASSERT_EQ(ops.lens_param_get(nullptr, &p, want.img_w, want.img_h), 1);
        for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ((&p.cx)[i], (&want.cx)[i]) << i << " " << want.img_w;
        EXPECT_EQ(p.dcoeff[2], vx::epc::kDefaultLens.dcoeff[2]);
        EXPECT_EQ(p.img_w * 1000 + p.img_h, want.img_w * 1000 + want.img_h);
    }
    std::string log = output_of([&] { EXPECT_EQ(epc_lens_param_get(nullptr, &p, 300, 240), 0); });
    EXPECT_TRUE(vxtest::contains(log, "lens param not match the frame size: lens: 320x240, frame: 300x240")) << log;
    for (auto [w, h] : {std::pair{0, 240}, {640, 480}}) EXPECT_EQ(ops.lens_param_get(nullptr, &p, w, h), 0);
    EXPECT_EQ(ops.lens_param_get(nullptr, nullptr, 320, 240), 0);
}

TEST_F(EpcTest, FrameInformationUsesTheEffectiveGeometry) {
    vx::epc::State st;
    st.en_temp_mon.store(0);  // the monitor needs a camera
    vexel_driver_entry drv{"EPC chip driver", "E2", &ops, nullptr, &st};
    const struct {
        uint32_t len;
        uint16_t fmt, w, h;
        uint32_t out_w, out_h;  // 0: refused, info zeroed
        uint8_t depth;
    } cases[] = {{614400, 2, 0, 0, 320, 240, 8}, {153600, 2, 160, 120, 160, 120, 8}, {614401, 2, 0, 0, 0, 0, 0},
                 {4608041, 171, 0, 0, 320, 240, 60}, {100, 171, 7, 3, 7, 3, 4}};
    for (const auto& c : cases) {
        vx_stream_frame_info raw{c.len, 9, c.fmt, c.w, c.h, 351, -12, 0};
        vexel_frame_info info;
        std::memset(&info, 0xAB, sizeof info);
        EXPECT_EQ(ops.frame_get_info(&drv, &info, &raw), c.out_w ? 1 : 0) << c.len;
        const vexel_frame_info want{c.out_w ? c.len : 0, c.out_w ? c.fmt : uint16_t{0}, static_cast<uint16_t>(c.out_w ? 9 : 0),
                                    c.out_w, c.out_h, c.depth, {0, 0, 0}};
        EXPECT_EQ(0, std::memcmp(&info, &want, sizeof info)) << c.len;
        // The decode geometry is the frame's, also when the header leaves it to the driver.
        EXPECT_EQ(pruGetNCols(), c.w ? c.w : 320);
        EXPECT_EQ(pruGetNRowsPerHalf(), (c.h ? c.h : 240) / 2);
    }
    EXPECT_EQ(st.frame_valid.load(), 1);
    EXPECT_EQ(st.t_sensor.load(), 351);
    EXPECT_EQ(temperatureGetIbTemperatureByFrameHeader(), -12);
}

// The stub driver of the T0 family converts whole 32-bit words; a raw length that ends in a
// partial word takes only the bytes the frame has, never the ones behind it.
TEST(TiStub, DecodeReadsOnlyTheRawBytes) {
    const vexel_driver_op& ti = g_vexel_driver_op_ti;
    vexel_frame_info info{8, 2, 0, 320, 240, 4, {}};
    // Two words, then what lies behind the frame: 0xFF everywhere.
    std::vector<uint8_t> raw{0x00, 0x08, 0x00, 0x04, 0x00, 0x02, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};
    const struct {
        int type, raw_len;
        float want0, want1;  // -1: not written
    } cases[] = {
        {2, 8, 0.5f, 0.125f},  {1, 8, 0.25f * 3.122838f, 0.0625f * 3.122838f},
        {2, 6, 0.5f, 0.125f},  {1, 6, 0.25f * 3.122838f, 0.0f},  // the high half of word 1 is missing
        {1, 5, 0.25f * 3.122838f, 0.0f}, {2, 5, 0.5f, 0.0f},    // one byte of word 1
        {2, 4, 0.5f, -1.0f},   {1, 1, 0.0f, -1.0f},              // word 0 alone, then its low byte alone
    };
    for (const auto& c : cases) {
        float out[3] = {-1.0f, -1.0f, -1.0f};
        EXPECT_EQ(ti.frame_decode(nullptr, out, sizeof out, c.type, raw.data(), c.raw_len, &info), 320 * 240);
        EXPECT_FLOAT_EQ(out[0], c.want0) << c.type << " " << c.raw_len;
        EXPECT_FLOAT_EQ(out[1], c.want1) << c.type << " " << c.raw_len;
        EXPECT_EQ(out[2], -1.0f);
    }
}

}  // namespace
