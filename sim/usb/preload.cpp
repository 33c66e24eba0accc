#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/sim.hpp"

namespace vxsim {

namespace {
constexpr const char* kPreload = "libumockdev-preload.so.0";
}

bool preload_active() { return dlopen(kPreload, RTLD_NOW | RTLD_NOLOAD) != nullptr; }

void ensure_preload(int, char** argv) {
    if (preload_active()) {
        unsetenv("VXSIM_REEXEC");  // our children start their own check afresh
        return;
    }
    // A second attempt means the loader refused the library: running on would silently test
    // nothing, so stop here.
    if (std::getenv("VXSIM_REEXEC")) {
        std::fprintf(stderr, "vxsim: %s did not load; is umockdev installed?\n", kPreload);
        std::exit(77);
    }
    std::string pre = kPreload;
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old) pre += std::string(":") + old;
    setenv("LD_PRELOAD", pre.c_str(), 1);
    setenv("VXSIM_REEXEC", "1", 1);
    // ASan insists on being first in the link order; the preload comes before it here.
    std::string asan = "verify_asan_link_order=0";
    if (const char* old = std::getenv("ASAN_OPTIONS"); old && *old) asan = std::string(old) + ":" + asan;
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("vxsim: re-exec with the umockdev preload");
    std::exit(127);
}

}  // namespace vxsim

// ThreadSanitizer sees glib's, umockdev's and libusb's own synchronisation only partly (they are
// not instrumented) and reports their internals; our instrumented code is still checked.
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
