#include "core/path.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include <vexel/path.h>

#include "core/log.hpp"

namespace {

constexpr size_t kPrefixSize = 256;
char g_prefix[kPrefixSize] = {'.', '\\'};
std::mutex g_prefix_mu;  // prefix writes vs. paths built on other threads

bool is_sep(char c) { return c == '/' || c == '\\'; }

int make_dir(const char* p) {
    struct stat st {};
    if (::stat(p, &st) == 0) return 0;
    return ::mkdir(p, 0775);
}

}  // namespace

namespace vx {

std::string prefixed_path(const char* name) {
    std::string out;
    {
        std::lock_guard lock(g_prefix_mu);
        out = g_prefix;
    }
    for (char& c : out)
        if (c == '\\') c = '/';
    if (name) out += name;
    return out;
}

void reset_path_prefix() {
    std::lock_guard lock(g_prefix_mu);
    std::memset(g_prefix, 0, sizeof g_prefix);
    g_prefix[0] = '.';
    g_prefix[1] = '\\';
}

char* path_prefix_buffer() { return g_prefix; }

}  // namespace vx

extern "C" {

VX_API int vexel_path_cfg(const char* path) {
    if (!path) path = "";
    {
        std::lock_guard lock(g_prefix_mu);
        std::memset(g_prefix, 0, sizeof g_prefix);
        std::strncpy(g_prefix, path, kPrefixSize - 1);
    }
    vx::logf(vx::kDbg, "[%s] PATH_PREIFX: %s\n", __func__, g_prefix);

    std::string chain = path;
    if (chain.size() > kPrefixSize - 1) chain.resize(kPrefixSize - 1);
    if (!chain.empty() && is_sep(chain.back())) chain.pop_back();
    if (chain.empty()) return 0;
    int r = 0;
    // Every separator after the first character ends one directory of the chain.
    for (size_t i = 1; i < chain.size(); ++i) {
        if (!is_sep(chain[i])) continue;
        chain[i] = '\0';
        r = make_dir(chain.c_str());
        chain[i] = '/';
    }
    r = make_dir(chain.c_str());
    return r;
}

VX_API const char* vexel_path_get(void) { return g_prefix; }

}  // extern "C"
