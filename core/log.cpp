#include "core/log.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "core/clock.hpp"
#include <vexel/transport.h>

namespace {

struct LogState {
    std::atomic<unsigned> threshold[3] = {3u, 1u, 5u};
    std::mutex mu;  // serialises each message's writes and guards the file
    FILE* file = nullptr;
    std::atomic<bool> has_file{false};  // lets filtering skip the lock
    const char* file_path = nullptr;  // compared by identity, never dereferenced after open

    // The console's replacement while set. Called without `mu`: a sink may take locks of its own
    // (an interpreter's) that a thread logging under `mu` could be waiting for.
    std::shared_mutex sink_mu;
    vexel_log_sink_cb sink = nullptr;
    void* sink_user = nullptr;
    std::atomic<bool> has_sink{false};
};

LogState& state() {
    static LogState s;
    return s;
}

constexpr const char* kTags[] = {"TRC", "DBG", "INF", "WRN", "ERR"};

unsigned thread_id() { return static_cast<unsigned>(::syscall(SYS_gettid)); }

void format_prefix(char (&buf)[48]) {
    const vx::Timestamp t = vx::now();
    const time_t secs = static_cast<time_t>(t.sec);
    struct tm lt {};
    localtime_r(&secs, &lt);
    std::snprintf(buf, sizeof buf, "%04u/%02u/%02u %02u:%02u:%02u.%03u[%u]", unsigned(lt.tm_year + 1900),
                  unsigned(lt.tm_mon + 1), unsigned(lt.tm_mday), unsigned(lt.tm_hour), unsigned(lt.tm_min),
                  unsigned(lt.tm_sec), t.usec / 1000u, thread_id());
}

bool reaches(unsigned level, int slot) {
    const LogState& s = state();
    return level != VX_LOG_OFF && level >= s.threshold[slot].load(std::memory_order_relaxed) &&
           (slot != VX_LOG_FILE || s.has_file.load(std::memory_order_relaxed));
}

void set_file(LogState& s, FILE* f) {
    s.file = f;
    s.has_file.store(f != nullptr, std::memory_order_relaxed);
}

// Writes one message to every channel its level reaches; `tag` null means raw text.
void emit(int level, const char* tag, const char* fmt, va_list ap) {
    const auto lvl = static_cast<unsigned>(level);
    bool console = reaches(lvl, VX_LOG_CONSOLE);
    const bool file = reaches(lvl, VX_LOG_FILE);
    if (!console && !file) return;  // per-transfer trace lines cost nothing when filtered
    char prefix[48];
    if (tag) format_prefix(prefix);

    LogState& s = state();
    if (console && s.has_sink.load(std::memory_order_acquire)) {
        std::string text(256, '\0');
        va_list cp;
        va_copy(cp, ap);
        const int n = std::vsnprintf(text.data(), text.size(), fmt, cp);
        va_end(cp);
        if (n >= static_cast<int>(text.size())) {
            text.resize(static_cast<size_t>(n) + 1);
            va_copy(cp, ap);
            std::vsnprintf(text.data(), text.size(), fmt, cp);
            va_end(cp);
        }
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        std::shared_lock sink_lock(s.sink_mu);
        if (s.sink) {
            s.sink(level, text.c_str(), s.sink_user);
            console = false;
        }
    }
    if (!console && !file) return;
    std::lock_guard lock(s.mu);
    if (console) {
        va_list cp;
        va_copy(cp, ap);
        if (tag) std::fprintf(stdout, "%s[%s] ", prefix, tag);
        std::vfprintf(stdout, fmt, cp);
        va_end(cp);
    }
    if (file && s.file) {  // re-checked under the lock: the file may have closed meanwhile
        va_list cp;
        va_copy(cp, ap);
        if (tag) std::fprintf(s.file, "%s[%s] ", prefix, tag);
        std::vfprintf(s.file, fmt, cp);
        va_end(cp);
        std::fflush(s.file);
    }
}

}  // namespace

namespace vx {

const char* level_tag(int level) {
    return level >= 0 && level < 5 ? kTags[level] : "";
}

void vlogf(int level, const char* fmt, va_list ap) { emit(level, level_tag(level), fmt, ap); }

void logf(int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    emit(level, level_tag(level), fmt, ap);
    va_end(ap);
}

bool log_enabled(int level) {
    const auto lvl = static_cast<unsigned>(level);
    return reaches(lvl, VX_LOG_CONSOLE) || reaches(lvl, VX_LOG_FILE);
}

}  // namespace vx

extern "C" {

VX_API int vx_log_enable(unsigned index, unsigned level, const char* path) {
    if (index > 2) return 0;
    LogState& s = state();
    s.threshold[index].store(level, std::memory_order_relaxed);
    if (index != VX_LOG_FILE) return 1;

    std::lock_guard lock(s.mu);
    if (path == nullptr) {
        if (s.file) return 1;
        path = "vx.log";
    } else if (path == s.file_path && s.file) {
        return 1;
    }
    if (s.file) {
        std::fclose(s.file);
        set_file(s, nullptr);
    }
    s.file_path = path;
    set_file(s, std::fopen(path, "ab"));
    if (!s.file) {
        std::fprintf(stderr, "cannot open file %s for write\n", path);
        return 0;
    }
    return 1;
}

VX_API int vx_log_disable(void) {
    LogState& s = state();
    for (auto& t : s.threshold) t.store(VX_LOG_OFF, std::memory_order_relaxed);
    std::lock_guard lock(s.mu);
    int r = 0;
    if (s.file) {
        r = std::fclose(s.file);
        set_file(s, nullptr);
    }
    return r;
}

VX_API void vx_log(int level, const char* tag, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    emit(level, tag ? tag : "", fmt, ap);
    va_end(ap);
}

VX_API void vx_log_raw(int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    emit(level, nullptr, fmt, ap);
    va_end(ap);
}

VX_API int vexel_log_cfg(unsigned console_level, unsigned file_level, unsigned transport_level) {
    vx_log_enable(VX_LOG_CONSOLE, console_level, nullptr);
    vx_log_enable(VX_LOG_FILE, file_level, nullptr);
    return vexel_ll_set_debug(transport_level);
}

VX_API void vexel_log_set_sink(vexel_log_sink_cb cb, void* user) {
    LogState& s = state();
    std::unique_lock lock(s.sink_mu);  // waits for calls of the previous sink to return
    s.sink = cb;
    s.sink_user = user;
    s.has_sink.store(cb != nullptr, std::memory_order_release);
}

VX_API const char* vexel_error_name(int code) {
    switch (code) {
        case VEXEL_OK: return "OK";
        case VEXEL_ERR_CAP_TIMEOUT: return "VEXEL_ERR_CAP_TIMEOUT";
        case VEXEL_ERR_CAP_STALL: return "VEXEL_ERR_CAP_STALL";
        case VEXEL_ERR_CAP_ERROR: return "VEXEL_ERR_CAP_ERROR";
        case VEXEL_ERR_CAP_UNKNOWN: return "VEXEL_ERR_CAP_UNKNOWN";
        case VEXEL_ERR_CAP_FRAME_DISCARD: return "VEXEL_ERR_CAP_FRAME_DISCARD";
        default: return "**UNKNOWN**";
    }
}

}  // extern "C"
