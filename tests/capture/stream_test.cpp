#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <vexel/log.h>
#include "capture/stream.hpp"
#include "capture/stream_gen.hpp"

namespace {

using vxtest::StreamGen;

struct Got {
    vx_stream_frame_info info;
    std::vector<uint8_t> bytes;
};

class Parser {
  public:
    explicit Parser(uint32_t max_frames = 1000) {
        const vx_stream_cfg c{max_frames};
        s = vx_stream_create(&c);
    }
    ~Parser() { vx_stream_destroy(s); }

    // Feeds `v` cut before every offset in `cuts` (ascending).
    void feed(const std::vector<uint8_t>& v, const std::vector<size_t>& cuts = {}) {
        size_t from = 0;
        for (size_t c : cuts) {
            vx_stream_feed_input(s, v.data() + from, uint32_t(c - from));
            from = c;
        }
        vx_stream_feed_input(s, v.data() + from, uint32_t(v.size() - from));
    }

    std::vector<Got> drain() {
        std::vector<Got> out;
        Got g;
        while (vx_stream_fetch_frames(s, &g, 0, 1, &g.info, 1) == 1) {
            g.bytes.assign(g.info.frlen, 0);
            EXPECT_EQ(vx_stream_fetch_frames(s, g.bytes.data(), g.info.frlen, 1, nullptr, 0), 1u);
            out.push_back(g);
        }
        return out;
    }

    vx_stream_state state() {
        vx_stream_state st;
        vx_stream_get_state(s, &st);
        return st;
    }

    vx_stream* s;
};

void expect_frames(const std::vector<Got>& got, const std::vector<vxtest::Frame>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        const vx_stream_frame_info& in = got[i].info;
        const vxtest::Hdr& h = want[i].start;
        EXPECT_EQ(in.fridx, want[i].fridx);
        EXPECT_EQ(in.frlen, h.frlen);
        EXPECT_EQ(in.frfmt, h.frfmt);
        EXPECT_EQ(in.width, h.width);
        EXPECT_EQ(in.height, h.height);
        EXPECT_EQ(in.sensor_temp, h.sensor_temp);
        EXPECT_EQ(in.illum_temp, h.illum_temp);
        EXPECT_EQ(in.spare, h.spare);
        EXPECT_EQ(got[i].bytes, want[i].bytes);
    }
}

// Runs `f` with debug messages on the console and returns what was printed.
std::string logged(const std::function<void()>& f) {
    vx_log_enable(VX_LOG_CONSOLE, VX_LOG_DBG, nullptr);
    ::testing::internal::CaptureStdout();
    f();
    std::string out = ::testing::internal::GetCapturedStdout();
    vx_log_enable(VX_LOG_CONSOLE, VX_LOG_WRN, nullptr);
    return out;
}

// The statistics words without the reset time stamp.
std::vector<uint32_t> counters(const vx_stream_state& st) {
    const auto* w = reinterpret_cast<const uint32_t*>(&st);
    return {w, w + offsetof(vx_stream_state, reset_sec) / sizeof(uint32_t)};
}

// A stream mixing everything a healthy camera sends plus the faults whose recovery point is
// a packet boundary, so every cut must give the same outcome.
StreamGen mixed_stream(uint32_t seed) {
    StreamGen g(seed);
    g.sidx = 65534, g.fridx = 65535, g.frfmt = 0x3FF;  // indices wrap early on; the largest format
    g.frame(1000);
    g.frame(3001, 3);  // odd shares: packet boundaries fall mid-word
    g.sums = true;
    g.frame(2050, 3);
    g.frames_in_packet(501, 2);
    auto at = g.frame(1500, 3, false);
    g.out[at[2] + 40] ^= 0x10;  // last packet fails its data sum
    g.frame(777, 2);
    g.sums = false;
    at = g.frame(900, 3, false);
    g.out.resize(at[2]);  // interrupted: the next frame start meets it incomplete
    g.frames_in_packet(64, 3);
    g.frame(4096, 2);
    return g;
}

TEST(StreamSplit, AnyCutsGiveIdenticalFramesAndStatistics) {
    const StreamGen g = mixed_stream(7);
    Parser whole;
    whole.feed(g.out);
    const auto ref = whole.drain();
    expect_frames(ref, g.frames);
    const vx_stream_state rs = whole.state();
    EXPECT_EQ(rs.frames_discarded, 2u);
    EXPECT_EQ(rs.frames_assembled, g.frames.size());

    std::vector<std::vector<size_t>> cut_sets;
    std::vector<size_t> every(g.out.size() - 1);
    for (size_t i = 0; i < every.size(); ++i) every[i] = i + 1;
    cut_sets.push_back(every);
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        std::mt19937 rng(seed);
        std::vector<size_t> cuts;
        for (size_t at = rng() % 200 + 1; at < g.out.size(); at += rng() % (seed * 150) + 1)
            cuts.push_back(at);
        cut_sets.push_back(cuts);
    }
    for (const auto& cuts : cut_sets) {
        SCOPED_TRACE(cuts.size());
        Parser p;
        p.feed(g.out, cuts);
        const auto got = p.drain();
        ASSERT_EQ(got.size(), ref.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(std::memcmp(&got[i].info, &ref[i].info, sizeof(vx_stream_frame_info)), 0) << i;
            EXPECT_EQ(got[i].bytes, ref[i].bytes) << i;
        }
        // Only bytes skipped may differ: pieces of the failed 500-byte packet before its last one
        // were appended, and are skipped with its frame.
        auto got_c = counters(p.state()), ref_c = counters(rs);
        EXPECT_TRUE(got_c[6] >= ref_c[6] && got_c[6] < ref_c[6] + 500) << got_c[6];
        got_c[6] = ref_c[6] = 0;
        EXPECT_EQ(got_c, ref_c);
    }
}

// Garbage with false magics, lost and corrupt packets: how many bytes were skipped depends on
// where the pieces end, but which frames survive and the frame counts must not.
TEST(StreamSplit, HostileStreamsGiveTheSameFramesWhateverTheCuts) {
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        SCOPED_TRACE(seed);
        StreamGen g(seed);
        auto& rng = g.rng();
        for (int seg = 0; seg < 30; ++seg) {
            g.sums = rng() % 2;
            const uint32_t frlen = 40 + rng() % 400;
            switch (rng() % 6) {
                case 0: {  // garbage with false magics, always followed by a frame start
                    for (unsigned k = rng() % 3; k > 0; --k) {
                        g.garbage(rng() % 40);
                        g.out.push_back(0xFB);
                        g.out.push_back(0x98);
                    }
                    g.garbage(rng() % 40);
                    break;
                }
                case 1: {  // interrupted
                    const auto at = g.frame(frlen, 3, false);
                    g.out.resize(at[2]);
                    break;
                }
                case 2: {  // a packet lost
                    const auto at = g.frame(frlen, 3, false);
                    g.out.erase(g.out.begin() + long(at[1]), g.out.begin() + long(at[2]));
                    break;
                }
                case 3: {  // a continuation header damaged
                    const auto at = g.frame(frlen, 3, false);
                    g.out[at[1] + 30] ^= 0x40;
                    break;
                }
                case 4: {  // payload damaged under a data sum
                    g.sums = true;
                    const auto at = g.frame(frlen, 2, false);
                    g.out[at[1] + 36 + rng() % (frlen / 2)] ^= 0x01;
                    break;
                }
                default:
                    g.frame(frlen, 1 + rng() % 3);
            }
        }
        g.frame(64);
        Parser whole;
        whole.feed(g.out);
        expect_frames(whole.drain(), g.frames);
        auto ref = counters(whole.state());
        ref[6] = 0;  // bytes skipped
        for (uint32_t cut_seed = 1; cut_seed <= 4; ++cut_seed) {
            std::mt19937 cr(cut_seed);
            std::vector<size_t> cuts;
            for (size_t at = cr() % 50 + 1; at < g.out.size(); at += cr() % (cut_seed * cut_seed * 40) + 1)
                cuts.push_back(at);
            Parser p;
            p.feed(g.out, cuts);
            expect_frames(p.drain(), g.frames);
            auto got = counters(p.state());
            got[6] = 0;
            EXPECT_EQ(got, ref) << cut_seed;
        }
    }
}

TEST(StreamHeader, FoundWhereverAPieceEndsInsideIt) {
    for (uint32_t k = 1; k < 36; ++k) {
        SCOPED_TRACE(k);
        StreamGen g(k);
        g.frame(64);
        const size_t second = g.frame(64)[0];
        Parser first_split, second_split;
        first_split.feed(g.out, {k});            // piece holds only header bytes
        second_split.feed(g.out, {second + k});  // piece ends in a header after a payload; k=1 is a lone 0xFB
        for (Parser* p : {&first_split, &second_split}) {
            expect_frames(p->drain(), g.frames);
            EXPECT_EQ(p->state().bytes_skipped, 0u);
            EXPECT_EQ(p->state().frames_discarded, 0u);
        }
    }
}

TEST(StreamHeader, FalseMagicJustBeforeARealHeaderNeverHidesIt) {
    for (size_t gap : {2u, 12u, 35u}) {
        StreamGen g{uint32_t(gap)};
        g.frame(64);
        const size_t fake = g.out.size();
        g.out.push_back(0xFB);
        g.out.push_back(0x98);
        g.garbage(gap - 2);
        g.frame(64);
        ASSERT_FALSE(vx::stream_hdr_valid(&g.out[fake]));
        for (size_t cut = fake + 1; cut < fake + gap + 36; ++cut) {
            SCOPED_TRACE(testing::Message() << "gap " << gap << " cut " << cut - fake);
            Parser p;
            p.feed(g.out, {cut});
            expect_frames(p.drain(), g.frames);
            EXPECT_EQ(p.state().frames_discarded, 0u);
        }
    }
}

TEST(StreamHeader, InvalidHeadersAreSearchedPast) {
    struct Bad {
        const char* what;
        std::function<void(vxtest::Hdr&)> field;
        int byte, flip;  // applied after encoding
    };
    const std::vector<Bad> bad = {
        {"len bound", [](auto& h) { h.len = 0x100000; }, 0, 0},
        {"frlen bound", [](auto& h) { h.frlen = 0x8000000; }, 0, 0},
        {"frlen zero", [](auto& h) { h.frlen = 0; }, 0, 0},
        {"format bound", [](auto& h) { h.frfmt = 0x400; }, 0, 0},
        {"checksum", [](auto&) {}, 35, 1},
        {"magic", [](auto&) {}, 1, 2},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.what);
        StreamGen g;
        vxtest::Hdr h = g.next_hdr(64, true);
        h.len = 64;
        b.field(h);
        auto hb = vxtest::encode(h);
        hb[size_t(b.byte)] ^= uint8_t(b.flip);
        g.out.assign(hb.begin(), hb.end());
        g.garbage(64);
        g.frame(100);
        for (bool bytewise : {false, true}) {
            Parser p;
            std::vector<size_t> cuts;
            for (size_t i = 1; bytewise && i < g.out.size(); ++i) cuts.push_back(i);
            p.feed(g.out, cuts);
            expect_frames(p.drain(), g.frames);
            // Split feeding counts skipped bytes per piece differently; only the whole stream is exact.
            EXPECT_TRUE(bytewise || p.state().bytes_skipped == 100u) << p.state().bytes_skipped;
        }
    }
}

TEST(StreamFrames, TwoFramesInOnePacketAndTheIndexStepAfterIt) {
    StreamGen g;
    g.fridx = 7;
    g.frames_in_packet(128, 2);
    g.frame(128);  // 9: continues the step of two
    g.fridx = 11;
    g.frame(128);  // 10 is missing
    Parser p;
    const std::string log = logged([&] { p.feed(g.out); });
    const auto got = p.drain();
    ASSERT_EQ(got.size(), 4u);
    expect_frames(got, g.frames);
    EXPECT_EQ(got[0].info.fridx, 7);
    EXPECT_EQ(got[1].info.fridx, 8);
    EXPECT_EQ(log.find("cur=9)"), std::string::npos) << log;
    EXPECT_NE(log.find("missing frame: jumpping frame idx (prev=10, cur=11)"), std::string::npos) << log;
    EXPECT_EQ(p.state().frames_discarded, 0u);
}

TEST(StreamFrames, PacketIndexGapDiscardsUntilNextFrameStart) {
    StreamGen g;
    g.frame(3000, 3);
    const auto at = g.frame(3000, 3, false);
    g.out.erase(g.out.begin() + long(at[1]), g.out.begin() + long(at[2]));
    g.frame(3000, 3);
    Parser p;
    const std::string log = logged([&] { p.feed(g.out); });
    expect_frames(p.drain(), g.frames);
    EXPECT_NE(log.find("stream hdr idx not correct (prev=3, cur=5)"), std::string::npos) << log;
    const auto st = p.state();
    EXPECT_EQ(st.frames_discarded, 1u);
    EXPECT_EQ(st.bytes_skipped, 1000u + 1000u);  // first packet's bytes + the orphan's payload
}

TEST(StreamHeader, LargestPayloadLengthIsAccepted) {
    StreamGen g;
    g.frame(0xFFFFF);
    Parser p;
    p.feed(g.out);
    expect_frames(p.drain(), g.frames);
}

TEST(StreamFrames, FrameStartWhileIncompleteDiscardsTheOldFrame) {
    StreamGen g;
    const auto at = g.frame(3000, 3, false);
    g.out.resize(at[2]);
    g.frame(500);
    Parser p;
    const std::string log = logged([&] { p.feed(g.out); });
    expect_frames(p.drain(), g.frames);
    EXPECT_NE(log.find("frame bound met, prev not complete"), std::string::npos);
    EXPECT_EQ(p.state().frames_discarded, 1u);
    EXPECT_EQ(p.state().bytes_skipped, 2000u);
}

TEST(StreamChecksum, CorruptWordDiscardsUntilNextFrameStart) {
    // Four 1000-byte packets, packet 0 or 1 failing its sum, fed whole or cut 400 bytes into the
    // failed payload. Its last piece is never appended, so of it only the 400 bytes before a cut
    // are skipped; the other packets' 3000 bytes always are. The frame counts as discarded even
    // when the packet that began it left no byte behind.
    for (const size_t bad : {size_t(0), size_t(1)}) {
        StreamGen g;
        g.sums = true;
        const auto at = g.frame(4000, 4, false);
        g.out[at[bad] + 36 + 600] ^= 0x80;
        g.frame(800);
        for (const size_t cut : {size_t(0), size_t(400)}) {
            Parser p;
            const std::string log = logged([&] { p.feed(g.out, {at[bad] + 36 + (cut ? cut : 1000)}); });
            expect_frames(p.drain(), g.frames);
            EXPECT_NE(log.find("verify data checksum failed: sidx=" + std::to_string(bad)), std::string::npos);
            EXPECT_EQ(p.state().frames_discarded, 1u) << bad << "/" << cut;
            EXPECT_EQ(p.state().bytes_skipped, 3000u + cut) << bad << "/" << cut;
        }
    }
}

TEST(StreamChecksum, HoldsForPayloadCutAtAnyByte) {
    for (uint32_t frlen : {4096u, 4099u}) {  // the trailing partial word is not summed
        StreamGen g;
        g.sums = true;
        g.frame(frlen);
        for (size_t off = 1; off < 9; ++off) {
            SCOPED_TRACE(off);
            Parser p;
            p.feed(g.out, {36 + off, 36 + off + 2, 36 + off + 1001});
            expect_frames(p.drain(), g.frames);
            EXPECT_EQ(p.state().frames_discarded, 0u);
        }
    }
}

TEST(StreamBuffer, KeepsTheNewestMaxFrames) {
    StreamGen g;
    for (int i = 0; i < 5; ++i) g.frame(256);
    Parser p(2);
    EXPECT_EQ(vx_stream_feed_input(p.s, g.out.data(), uint32_t(g.out.size())), 1);
    const auto st = p.state();
    EXPECT_EQ(st.frames_ready, 2u);
    EXPECT_EQ(st.frames_dropped, 3u);
    EXPECT_EQ(st.frames_moved, 5u);
    EXPECT_EQ(st.bytes_skipped, 3u * 256u);
    expect_frames(p.drain(), {g.frames[3], g.frames[4]});
}

TEST(StreamBuffer, LeadingGarbageCountsAsSkipped) {
    StreamGen g;
    g.garbage(777);
    g.frame(100);
    Parser p;
    p.feed(g.out);
    expect_frames(p.drain(), g.frames);
    EXPECT_EQ(p.state().bytes_skipped, 777u);
}

TEST(StreamFetch, PeekLeavesFramesRemoveTakesThem) {
    StreamGen g;
    g.frame(100);
    g.frame(200);
    g.frame(300);
    Parser p;
    p.feed(g.out);
    EXPECT_EQ(vx_stream_fetch_frames(p.s, nullptr, 0, 10, nullptr, 1), 3u);
    EXPECT_EQ(vx_stream_fetch_frames(p.s, nullptr, 0, 0, nullptr, 0), 0u);

    std::vector<uint8_t> buf(250, 0xEE);
    vx_stream_frame_info info{};
    EXPECT_EQ(vx_stream_fetch_frames(p.s, buf.data(), 250, 2, &info, 1), 2u);
    EXPECT_EQ(info.frlen, 100u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 100, g.frames[0].bytes.begin()));
    EXPECT_TRUE(std::equal(buf.begin() + 100, buf.end(), g.frames[1].bytes.begin()));
    EXPECT_EQ(p.state().frames_ready, 3u);

    EXPECT_EQ(vx_stream_fetch_frames(p.s, nullptr, 0, 2, &info, 0), 2u);
    EXPECT_EQ(p.state().frames_ready, 1u);
    expect_frames(p.drain(), {g.frames[2]});
}

void* failing_alloc(size_t) {
    return nullptr;
}

TEST(StreamAlloc, FailedNodeDropsTheFrameUntilNextFrameStart) {
    StreamGen g;
    g.frame(2000, 2, false);
    const size_t second = g.out.size();
    g.frame(500);
    Parser p;
    static_cast<vx::StreamParser*>(p.s)->set_node_alloc(failing_alloc);
    vx_log_enable(VX_LOG_CONSOLE, VX_LOG_ERR, nullptr);
    ::testing::internal::CaptureStdout();
    p.feed({g.out.begin(), g.out.begin() + long(second)}, {36 + 10});
    const std::string log = ::testing::internal::GetCapturedStdout();
    vx_log_enable(VX_LOG_CONSOLE, VX_LOG_WRN, nullptr);
    EXPECT_NE(log.find("[ERR] [_fr_node_add_data] malloc failed: 2036 bytes"), std::string::npos) << log;
    EXPECT_EQ(p.state().frames_discarded, 1u);
    EXPECT_TRUE(p.drain().empty());

    // Still discarding: the next frame start, not the leftover continuation, resumes assembly.
    static_cast<vx::StreamParser*>(p.s)->set_node_alloc(nullptr);
    p.feed({g.out.begin() + long(second), g.out.end()});
    expect_frames(p.drain(), g.frames);
    const auto st = p.state();
    EXPECT_EQ(st.frames_discarded, 1u);
    EXPECT_EQ(st.frames_assembled, 1u);
}

TEST(StreamReset, ForgetsFramesPartialHeaderAndCounters) {
    StreamGen g;
    g.frame(300);
    g.frame(300);
    Parser p;
    p.feed({g.out.begin(), g.out.end() - 300 - 20});  // ends inside the second header
    ASSERT_EQ(p.state().frames_ready, 1u);
    vx_stream_reset(p.s);
    EXPECT_EQ(counters(p.state()), counters(vx_stream_state{}));
    StreamGen g2(9);
    g2.frame(300);
    p.feed(g2.out);
    expect_frames(p.drain(), g2.frames);
    EXPECT_EQ(p.state().bytes_skipped, 0u);
}

TEST(StreamThreads, ConsumerRacesTheFeeder) {
    StreamGen g;
    for (int i = 0; i < 300; ++i) g.frame(512 + (i % 3) * 100, 1 + i % 2);
    Parser p(4);
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        std::mt19937 rng(3);
        for (size_t at = 0; at < g.out.size();) {
            const size_t n = std::min<size_t>(rng() % 3000 + 1, g.out.size() - at);
            vx_stream_feed_input(p.s, g.out.data() + at, uint32_t(n));
            at += n;
        }
        done = true;
    });
    size_t taken = 0;
    std::vector<uint8_t> buf(1024);
    vx_stream_frame_info info;
    for (bool last = false; !last;) {
        last = done;
        while (vx_stream_fetch_frames(p.s, buf.data(), uint32_t(buf.size()), 1, &info, 0) == 1) {
            ASSERT_LT(info.fridx, g.frames.size());
            ASSERT_EQ(info.frlen, g.frames[info.fridx].start.frlen);
            ASSERT_TRUE(std::equal(g.frames[info.fridx].bytes.begin(), g.frames[info.fridx].bytes.end(),
                                   buf.begin()));
            ++taken;
        }
    }
    feeder.join();
    EXPECT_EQ(taken + p.state().frames_dropped, g.frames.size());
}

TEST(StreamApi, RefusesNullArgumentsAndKeepsConfiguration) {
    EXPECT_EQ(vx_stream_create(nullptr), nullptr);
    Parser p(10);
    vx_stream_cfg c{};
    EXPECT_EQ(vx_stream_get_cfg(p.s, &c), 1);
    EXPECT_EQ(c.max_frames, 10u);
    c.max_frames = 3;
    EXPECT_EQ(vx_stream_set_cfg(p.s, &c), 1);
    vx_stream_cfg back{};
    vx_stream_get_cfg(p.s, &back);
    EXPECT_EQ(back.max_frames, 3u);
    EXPECT_EQ(vx_stream_set_cfg(p.s, nullptr), 0);
    EXPECT_EQ(vx_stream_feed_input(nullptr, "x", 1), 0);
    EXPECT_EQ(vx_stream_feed_input(p.s, nullptr, 5), 0);
    EXPECT_EQ(vx_stream_get_state(p.s, nullptr), 0);
    EXPECT_EQ(vx_stream_fetch_frames(nullptr, nullptr, 0, 1, nullptr, 0), 0u);
    EXPECT_EQ(vx_stream_reset(nullptr), 0);
}

}  // namespace
