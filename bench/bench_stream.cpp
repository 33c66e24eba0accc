// Stream parser throughput against a plain memcpy of the same bytes, in the transport's piece size.
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "capture/stream.hpp"
#include "tests/capture/stream_gen.hpp"

namespace {

constexpr uint32_t kFrameLen = 4 * 320 * 240 * 2;  // four planes of 16-bit samples
constexpr uint32_t kPiece = 153600;                // one bulk transfer
constexpr unsigned kPacketsPerFrame = 8;
constexpr unsigned kFrames = 8;

const std::vector<uint8_t>& stream(bool sums) {
    static std::vector<uint8_t> with[2];
    auto& s = with[sums];
    if (s.empty()) {
        vxtest::StreamGen g(42);
        g.sums = sums;
        for (unsigned i = 0; i < kFrames; ++i) g.frame(kFrameLen, kPacketsPerFrame);
        s = std::move(g.out);
    }
    return s;
}

void BM_Parser(benchmark::State& state) {
    const auto& in = stream(state.range(0) != 0);
    const vx_stream_cfg cfg{10};
    vx_stream* s = vx_stream_create(&cfg);
    unsigned got = 0;
    for (auto _ : state) {
        // Frames are taken as they become ready, as the capture loop does.
        for (size_t at = 0; at < in.size(); at += kPiece) {
            const size_t n = std::min<size_t>(kPiece, in.size() - at);
            if (vx_stream_feed_input(s, in.data() + at, uint32_t(n)))
                got += vx_stream_fetch_frames(s, nullptr, 0, kFrames, nullptr, 0);
        }
    }
    if (got != state.iterations() * kFrames) state.SkipWithError("frames lost");
    vx_stream_state st;
    vx_stream_get_state(s, &st);
    state.counters["discarded"] = st.frames_discarded;
    vx_stream_destroy(s);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_Parser)->ArgName("data_sums")->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

// The floor: the same bytes copied once, piece by piece, into a frame-sized destination.
void BM_Memcpy(benchmark::State& state) {
    const auto& in = stream(false);
    std::vector<uint8_t> dst(kFrameLen);
    for (auto _ : state) {
        size_t off = 0;
        for (size_t at = 0; at < in.size(); at += kPiece) {
            const size_t n = std::min<size_t>(kPiece, in.size() - at);
            for (size_t done = 0; done < n;) {
                const size_t c = std::min(n - done, dst.size() - off);
                std::memcpy(dst.data() + off, in.data() + at + done, c);
                done += c;
                off = (off + c) % dst.size();
            }
        }
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
