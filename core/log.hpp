// Internal logging helpers: every module logs through these.
#pragma once

#include <cstdarg>
#include <cstdint>

#include <vexel/log.h>

namespace vx {

const char* level_tag(int level);

// vx_log with the level's own tag.
void logf(int level, const char* fmt, ...) VX_PRINTF(2, 3);
void vlogf(int level, const char* fmt, std::va_list ap);

inline constexpr int kTrc = VX_LOG_TRC;
inline constexpr int kDbg = VX_LOG_DBG;
inline constexpr int kInf = VX_LOG_INF;
inline constexpr int kWrn = VX_LOG_WRN;
inline constexpr int kErr = VX_LOG_ERR;

// True when a message at `level` would reach at least one channel; lets hot paths skip
// building expensive arguments.
bool log_enabled(int level);

}  // namespace vx
