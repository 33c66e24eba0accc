// The recording file without a camera: writer and reader agree, and every kind of damage is
// found and named instead of read.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "record/reader.hpp"
#include "record/records.hpp"
#include "record/writer.hpp"
#include "test_util.hpp"

namespace {

using namespace vx::rec;
namespace fs = std::filesystem;

class RecordFile : public vxtest::ScratchDirTest {
protected:
    // A file of `frames` frames of `frame_bytes`, a register write after the second one, and
    // one chunk per `per_chunk` frames.
    std::string write(int frames, uint32_t frame_bytes = 4000, int per_chunk = 2) {
        const std::string path = (dir_ / "t.vxr").string();
        WriterOptions o;
        o.chunk_bytes = static_cast<uint32_t>(per_chunk) * (frame_bytes + 36) - 1;
        o.chunk_ms = 60000;
        std::string err;
        auto w = Writer::create(path, o, 5, err);
        EXPECT_TRUE(w) << err;
        vexel_ll_param_rec id{};
        id.id = 3;
        id.len = 8;
        std::memcpy(id.val, "A-E2-1.0", 8);
        w->push(Kind::identity, encode_params({id}), false);
        Settings s;
        s.regs.push_back({1, 0, {7, 8, 9}});
        w->push(Kind::settings, encode_settings(s), false);
        w->cut();
        for (int k = 0; k < frames; ++k) {
            vx_stream_frame_info info{};
            info.frlen = frame_bytes;
            info.fridx = static_cast<uint16_t>(100 + k);
            info.frfmt = 2;
            Out f;
            encode_frame_head(f, 1000u * k, info);
            for (uint32_t i = 0; i < frame_bytes; ++i) f.u8(static_cast<uint8_t>(k * 7 + i % 251));
            w->push(Kind::frame, std::move(f.bytes), true);
            if (k == 1) w->push(Kind::reg_write, encode_reg_write(1500, true, {1, 1, {42}}), false);
        }
        EXPECT_TRUE(w->finish());
        vexel_rec_stats st{};
        w->stats(st);
        EXPECT_EQ(st.frames, static_cast<uint64_t>(frames));
        EXPECT_EQ(st.settings, 1u);
        EXPECT_EQ(st.file_bytes, fs::file_size(path));
        return path;
    }

    static void patch(const std::string& path, uint64_t at, const std::function<void(uint8_t&)>& edit) {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(static_cast<std::streamoff>(at));
        char c;
        f.get(c);
        auto b = static_cast<uint8_t>(c);
        edit(b);
        f.seekp(static_cast<std::streamoff>(at));
        f.put(static_cast<char>(b));
    }

    // Frames read from every chunk until the first failure; `err` holds that failure.
    static std::vector<uint16_t> frames_of(Reader& r, std::string& err) {
        std::vector<uint16_t> idx;
        std::vector<uint8_t> raw;
        std::vector<RecordView> recs;
        for (size_t i = 0; i < r.chunks().size(); ++i) {
            if (!r.load(i, raw, recs, err)) break;
            for (const RecordView& v : recs) {
                FrameRec f;
                if (v.kind == Kind::frame && decode_frame(v, f)) idx.push_back(f.info.fridx);
            }
        }
        return idx;
    }
};

TEST_F(RecordFile, ReadsBackWhatWasWrittenThroughTheIndex) {
    const std::string path = write(7);
    std::string err;
    auto r = Reader::open(path, err);
    ASSERT_TRUE(r) << err;
    EXPECT_EQ(r->damage(), "");
    EXPECT_EQ(r->frames(), 7u);
    EXPECT_EQ(r->start_mono_ns(), 5u);
    ASSERT_EQ(r->chunks().size(), 5u) << "the start chunk and four of two frames or fewer";
    EXPECT_FALSE(r->chunks()[1].head.flags & kChunkHasSettings);
    EXPECT_TRUE(r->chunks()[2].head.flags & kChunkHasSettings) << "the write after the second frame";
    const auto idx = frames_of(*r, err);
    EXPECT_EQ(idx, (std::vector<uint16_t>{100, 101, 102, 103, 104, 105, 106}));

    std::vector<uint8_t> raw;
    std::vector<RecordView> recs;
    ASSERT_TRUE(r->load(0, raw, recs, err)) << err;
    ASSERT_EQ(recs.size(), 2u);
    std::vector<vexel_ll_param_rec> params;
    ASSERT_TRUE(decode_params(recs[0], params));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(params[0].val), 8), "A-E2-1.0");
    Settings s;
    ASSERT_TRUE(decode_settings(recs[1], s));
    EXPECT_EQ(s.regs.at(0).values, (std::vector<uint32_t>{7, 8, 9}));
}

// Each row damages a fresh file and says what the reader must make of it.
TEST_F(RecordFile, DamageIsFoundAndNamed) {
    struct Case {
        const char* what;
        std::function<void(const std::string&)> damage;
        bool opens;              // the file still opens
        uint32_t frames;         // frames the reader finds
        const char* message;     // in the open error or the damage note
        bool chunk_fails;        // a chunk then fails to load
    };
    const uint64_t first_chunk = kFileHeaderBytes;
    const std::vector<Case> cases = {
        {"not a recording", [](const std::string& p) { patch(p, 0, [](uint8_t& b) { b = 'X'; }); }, false, 0,
         "not a vexel recording", false},
        {"a later version", [](const std::string& p) { patch(p, 8, [](uint8_t& b) { b = 3; }); }, false, 0,
         "version 3 is not one this library reads", false},
        {"cut inside the fourth chunk",
         [](const std::string& p) {
             std::string err;
             auto r = Reader::open(p, err);
             const uint64_t cut = r->chunks()[3].offset + 100;
             r.reset();
             fs::resize_file(p, cut);
         },
         true, 4, "cut off", false},
        {"cut at a chunk end, no index",
         [](const std::string& p) {
             std::string err;
             auto r = Reader::open(p, err);
             const uint64_t cut = r->chunks()[3].offset;
             r.reset();
             fs::resize_file(p, cut);
         },
         true, 4, "without its index", false},
        {"cut inside the start chunk", [&](const std::string& p) { fs::resize_file(p, first_chunk + 40); }, false, 0,
         "cut off", false},
        {"damaged index entry: chunks walked",
         [](const std::string& p) {
             const auto size = fs::file_size(p);
             patch(p, size - kEndBytes - 20, [](uint8_t& b) { b ^= 0x40; });
         },
         true, 7, "index is damaged", false},
        {"damaged compressed bytes",
         [](const std::string& p) {
             std::string err;
             auto r = Reader::open(p, err);
             const uint64_t at = r->chunks()[2].offset + kChunkHeaderBytes + 30;
             r.reset();
             patch(p, at, [](uint8_t& b) { b ^= 0xFF; });
         },
         true, 7, "", true},
        {"chunk header claims more than the file holds",
         [](const std::string& p) {
             std::string err;
             auto r = Reader::open(p, err);
             const uint64_t at = r->chunks()[2].offset + 7;  // high byte of the stored size
             r.reset();
             patch(p, at, [](uint8_t& b) { b = 0x7F; });
         },
         true, 2, "damaged chunk header", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = write(7);
        c.damage(path);
        std::string err;
        auto r = Reader::open(path, err);
        ASSERT_EQ(static_cast<bool>(r), c.opens) << err;
        if (!r) {
            EXPECT_TRUE(vxtest::contains(err, c.message)) << err;
            continue;
        }
        EXPECT_EQ(r->frames(), c.frames);
        EXPECT_TRUE(vxtest::contains(r->damage(), c.message)) << r->damage();
        std::string load_err;
        const auto idx = frames_of(*r, load_err);
        if (c.chunk_fails) {
            EXPECT_TRUE(vxtest::contains(load_err, "chunk 2 is damaged")) << load_err;
            EXPECT_EQ(idx.size(), 2u) << "the frames before the damaged chunk";
        } else {
            EXPECT_EQ(load_err, "");
            EXPECT_EQ(idx.size(), c.frames);
        }
    }
}

// Frame bytes are stored as planes since version 2: every length comes back byte for byte, a
// version 1 file still reads, and a chunk flag the file's version does not have is refused.
TEST_F(RecordFile, FrameBytesComeBackAndOlderFilesRead) {
    const std::string path = (dir_ / "lengths.vxr").string();
    const std::vector<uint32_t> lengths = {1, 2, 3, 4000, 4001};
    std::string err;
    {
        auto w = Writer::create(path, WriterOptions{}, 0, err);
        ASSERT_TRUE(w) << err;
        for (uint32_t n : lengths) {
            vx_stream_frame_info info{};
            info.frlen = n;
            info.fridx = static_cast<uint16_t>(n);
            Out f;
            encode_frame_head(f, n, info);
            for (uint32_t i = 0; i < n; ++i) f.u8(static_cast<uint8_t>(i * 13 + n));
            w->push(Kind::frame, std::move(f.bytes), true);
        }
        ASSERT_TRUE(w->finish());
    }
    auto r = Reader::open(path, err);
    ASSERT_TRUE(r) << err;
    std::vector<uint8_t> raw;
    std::vector<RecordView> recs;
    std::vector<uint32_t> seen;
    for (size_t c = 0; c < r->chunks().size(); ++c) {
        EXPECT_TRUE(r->chunks()[c].head.flags & kChunkFramePlanes);
        ASSERT_TRUE(r->load(c, raw, recs, err)) << err;
        for (const RecordView& v : recs) {
            FrameRec f;
            ASSERT_TRUE(decode_frame(v, f));
            seen.push_back(f.info.frlen);
            for (uint32_t i = 0; i < f.info.frlen; ++i)
                ASSERT_EQ(f.bytes[i], static_cast<uint8_t>(i * 13 + f.info.frlen)) << f.info.frlen << " bytes";
        }
    }
    EXPECT_EQ(seen, lengths);

    // Flags 4 is known to no version; flags 2 only from version 2 on.
    const std::string old = (dir_ / "old.vxr").string();
    fs::copy_file(std::string(VEXEL_RECORDING_CORPUS) + "/complete", old);
    for (const auto& [file, flag, reads] : {std::tuple{path, 4, false}, std::tuple{old, 0, true},
                                           std::tuple{old, 2, false}}) {
        SCOPED_TRACE(file + " flag " + std::to_string(flag));
        auto f = Reader::open(file, err);
        ASSERT_TRUE(f) << err;
        const size_t last = f->chunks().size() - 1;
        if (flag) patch(file, f->chunks()[last].offset + 28, [flag](uint8_t& b) { b = static_cast<uint8_t>(b | flag); });
        f = Reader::open(file, err);
        ASSERT_TRUE(f) << err;
        EXPECT_EQ(f->load(last, raw, recs, err), reads) << err;
        if (reads) {
            EXPECT_GT(f->frames(), 0u);
        } else {
            EXPECT_TRUE(vxtest::contains(err, "stored in a way this library does not read")) << err;
        }
    }
}

// Record bodies are checked against their own length at both ends of each bound.
TEST_F(RecordFile, RecordBodiesAreBounded) {
    vx_stream_frame_info info{};
    info.frlen = 8;
    Out f;
    encode_frame_head(f, 1, info);
    f.raw("12345678", 8);
    FrameRec fr;
    EXPECT_TRUE(decode_frame({Kind::frame, f.bytes.data(), static_cast<uint32_t>(f.bytes.size())}, fr));
    EXPECT_FALSE(decode_frame({Kind::frame, f.bytes.data(), static_cast<uint32_t>(f.bytes.size() - 1)}, fr));
    f.u8(0);
    EXPECT_FALSE(decode_frame({Kind::frame, f.bytes.data(), static_cast<uint32_t>(f.bytes.size())}, fr));

    RegWriteRec w;
    auto body = encode_reg_write(1, true, {1, 0, std::vector<uint32_t>(kMaxRegisters)});
    EXPECT_TRUE(decode_reg_write({Kind::reg_write, body.data(), static_cast<uint32_t>(body.size())}, w));
    body = encode_reg_write(1, true, {1, 0, std::vector<uint32_t>(kMaxRegisters + 1)});
    EXPECT_FALSE(decode_reg_write({Kind::reg_write, body.data(), static_cast<uint32_t>(body.size())}, w));

    FileRec file;
    for (const char* name : {"../escape", "a/b", ".."}) {
        body = encode_file(FileRole::calib_params, name, {1, 2});
        EXPECT_FALSE(decode_file({Kind::file, body.data(), static_cast<uint32_t>(body.size())}, file)) << name;
    }
    body = encode_file(FileRole::calib_params, "tcm_ex_drnu_param_W007_C042", {1, 2});
    EXPECT_TRUE(decode_file({Kind::file, body.data(), static_cast<uint32_t>(body.size())}, file));
    EXPECT_EQ(file.size, 2u);
}

}  // namespace
