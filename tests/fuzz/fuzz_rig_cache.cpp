// Feeds arbitrary files to the simulated camera's calibration cache reader, as they would lie
// in the cache directory (a user's disk, a dead writer's leftovers, another version's files).
//
// Checks: a file is accepted only when it is exactly what the writer makes of its payload for
// this key, every accepted phase lies below one period, and reading the bytes from the cache
// directory agrees with reading them from memory.
//
// Input: the file's bytes; its payload is 64 bytes of phases, the key the one below.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "sim/calib/rig_cache.hpp"

namespace fs = std::filesystem;

namespace {

constexpr const char* kKey = "fuzz key: seed 1";
constexpr size_t kPayload = 64;
fs::path g_dir;

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/vx_fuzz_rig_XXXXXX";
    check(mkdtemp(dir) != nullptr, "mkdtemp");
    g_dir = dir;
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_dir, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    const auto got = vxsim::rig_cache_decode(bytes, kKey, kPayload);
    if (got) {
        check(got->size() == kPayload, "payload size");
        for (size_t i = 0; i < got->size(); i += 2)
            check(((*got)[i] | (*got)[i + 1] << 8) < 30000, "phase range");
        const auto again = vxsim::rig_cache_encode(kKey, *got);
        check(again.size() == size && std::equal(again.begin(), again.end(), data),
              "accepted only as written");
    }
    {
        std::ofstream(g_dir / vxsim::rig_cache_name(kKey), std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }
    check(vxsim::rig_cache_load(g_dir.string(), kKey, kPayload) == got, "the file reads as the bytes do");
    return 0;
}
