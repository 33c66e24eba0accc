// Data blob throughput through the transport against the simulated camera's flash (real libusb,
// emulated bus). A block of 1018 bytes costs six control round trips (block, acknowledgement
// request and reply, each with its status query), a piece of 450 four. The block CRC is the
// host's own share of the work.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <vexel/datax_protocol.h>
#include <vexel/log.h>
#include <vexel/transport.h>
#include "sim/sim.hpp"

namespace {

vexel_ll_dev g_dev;
vxsim::Camera* g_cam = nullptr;
std::string g_dir;

std::vector<uint8_t> image(size_t n) {
    std::mt19937 gen(7);
    std::vector<uint8_t> b(n);
    for (auto& x : b) x = static_cast<uint8_t>(gen());
    return b;
}

void BM_BlockCrc(benchmark::State& state) {
    const auto block = image(AL_DATA_BLOCK_SIZE);
    for (auto _ : state) benchmark::DoNotOptimize(al_data_calc_crc(block.data(), AL_DATA_BLOCK_SIZE));
    state.SetBytesProcessed(int64_t(state.iterations()) * AL_DATA_BLOCK_SIZE);
}
BENCHMARK(BM_BlockCrc);

// One iteration writes the whole image as a new version of slot 8 (no final stage).
void BM_Write(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    const std::string path = g_dir + "/write.bin";
    const auto bytes = image(n);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(n));
    uint16_t version = 0;
    for (auto _ : state) {
        if (vexel_bin_data_write(&g_dev, 8, ++version, 0, path.c_str()) != 1) state.SkipWithError("write failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
    g_cam->set_flash_image(8, {});
}
BENCHMARK(BM_Write)->Arg(64 << 10)->Arg(256 << 10)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Read(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    g_cam->set_flash_image(9, {1, image(n)});
    const std::string path = g_dir + "/read.bin";
    for (auto _ : state) {
        if (vexel_bin_data_read(&g_dev, 9, path.c_str()) != 1) state.SkipWithError("read failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}
BENCHMARK(BM_Read)->Arg(64 << 10)->Arg(256 << 10)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    vxsim::ensure_preload(argc, argv);
    benchmark::Initialize(&argc, argv);
    vx_log_enable(VX_LOG_CONSOLE, 4, nullptr);
    char tmpl[] = "/tmp/bench_datax_XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    g_dir = tmpl;
    {
        vxsim::Testbed tb;
        g_cam = &tb.add_camera({});
        if (vexel_ll_dev_open(&g_dev) != &g_dev) {
            std::fprintf(stderr, "no simulated camera\n");
            return 1;
        }
        benchmark::RunSpecifiedBenchmarks();
        vexel_ll_dev_close(&g_dev);
    }
    std::remove((g_dir + "/write.bin").c_str());
    std::remove((g_dir + "/read.bin").c_str());
    ::rmdir(g_dir.c_str());
    benchmark::Shutdown();
    return 0;
}
