// Chip-level routines the library exports but whose work on the sensor is not part of this
// system: each says so and fails, rather than pretending to have done it.
#include <vexel/chip.h>

#include "core/log.hpp"

namespace {

int unsupported(const char* fn) {
    vx::logf(vx::kErr, "[%s] not supported on this system\n", fn);
    return -1;
}

}  // namespace

extern "C" {

// The analogue channels it would open do not exist here; the temperatures come with the frames.
VX_API int temperatureInit(void) { return 0; }

VX_API int calculationInitKalman(void) { return unsupported(__func__); }
VX_API int imageCorrectionTransform(void) { return unsupported(__func__); }
VX_API int dllInitialize(int) { return unsupported(__func__); }
VX_API int dllLockAutomatically(int) { return unsupported(__func__); }
VX_API int flimSetT1(int, int) { return unsupported(__func__); }
VX_API int flimSetT2(int, int) { return unsupported(__func__); }
VX_API int flimSetT3(int, int) { return unsupported(__func__); }
VX_API int flimSetT4(int, int) { return unsupported(__func__); }
VX_API int flimSetTREP(int, int) { return unsupported(__func__); }
VX_API int flimSetRepetitions(int, int) { return unsupported(__func__); }
VX_API int flimSetFlashDelay(int, int) { return unsupported(__func__); }
VX_API int flimSetFlashWidth(int, int) { return unsupported(__func__); }

}  // extern "C"
