// Runs a libFuzzer harness once over every seed of the corpus directories or files it is given,
// so the seeds replay as a plain test in builds without libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> seeds;
    for (int i = 1; i < argc; ++i) {
        if (std::filesystem::is_directory(argv[i])) {
            for (const auto& e : std::filesystem::directory_iterator(argv[i]))
                if (e.is_regular_file()) seeds.push_back(e.path());
        } else if (std::filesystem::is_regular_file(argv[i])) {
            seeds.emplace_back(argv[i]);
        } else {
            std::fprintf(stderr, "no such seed or corpus: %s\n", argv[i]);
            return 1;
        }
    }
    std::sort(seeds.begin(), seeds.end());
    for (const auto& p : seeds) {
        std::ifstream in(p, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        std::printf("%s (%zu bytes)\n", p.filename().c_str(), bytes.size());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu seeds replayed\n", seeds.size());
    return seeds.empty() ? 1 : 0;  // an empty corpus is a fault of its own
}
