// vexel record: a camera's run into a recording file that `vexel --replay FILE ...` plays back.
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "cli.hpp"

namespace vexel_cli {

namespace {

struct RecordOpts {
    long long frames = 0, seconds = 0, idle = 5, level = 1;
    std::string device = "0";
    std::string out = "recording.vxr";
    Settings settings;
};

double mib(uint64_t bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

int cmd_record(const RecordOpts& o, const Target& t) {
    const std::string file = t.place(o.out, false);
    if (t.many) std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    vexel_rec_options opt{};
    opt.zstd_level = static_cast<int32_t>(o.level);
    Camera cam(t.index, Need::control, false, [&](vexel_dev* dev) {
        apply_settings(dev, o.settings);
        // The file is written in place: a run cut off by a crash or an unplug still replays.
        if (!vexel_rec_start(dev, file.c_str(), &opt)) fail("cannot record into %s", file.c_str());
    });
    const bool tty = ::isatty(STDERR_FILENO) == 1;
    const auto t0 = std::chrono::steady_clock::now();
    auto last_shown = t0;
    long raw_frames = 0;
    std::vector<uint8_t> raw;
    vexel_frame_info info{};
    {
        FramePump pump(cam.dev(), static_cast<long>(o.frames), o.idle);
        while (pump.next(raw, info)) {
            ++raw_frames;
            const auto now = std::chrono::steady_clock::now();
            const double s = std::chrono::duration<double>(now - t0).count();
            if (now - last_shown >= std::chrono::milliseconds(tty ? 200 : 5000)) {
                vexel_rec_stats st{};
                vexel_rec_get_stats(cam.dev(), &st);
                std::fprintf(stderr, "%srecording %s: %ld frames, %.1f s, %.1f MiB written%s", tty ? "\r" : "",
                             file.c_str(), raw_frames, s, mib(st.file_bytes), tty ? "  " : "\n");
                last_shown = now;
            }
            if (o.seconds > 0 && s >= static_cast<double>(o.seconds)) break;
        }
        if (tty && raw_frames > 0) std::fputc('\n', stderr);
        std::fprintf(out(), "%s\n", pump.summary().c_str());
        vexel_rec_stats st{};
        const bool complete = vexel_rec_stop(cam.dev(), &st) == 1;
        std::fprintf(out(), "%s: %llu frames, %llu capture events, %u chunks, %.1f MiB (%.0f %% of %.1f MiB recorded)\n",
                     file.c_str(), static_cast<unsigned long long>(st.frames),
                     static_cast<unsigned long long>(st.events), st.chunks, mib(st.file_bytes),
                     st.raw_bytes ? 100.0 * static_cast<double>(st.file_bytes) / static_cast<double>(st.raw_bytes) : 0.0,
                     mib(st.raw_bytes));
        if (st.frames_lost > 0)
            std::fprintf(stderr, "vexel: %llu frames not recorded: the disk did not keep up\n",
                         static_cast<unsigned long long>(st.frames_lost));
        if (!complete) fail("recording %s failed: %s", file.c_str(), st.message);
        const std::string why = pump.problem();
        const bool until_stopped = o.frames == 0 && o.seconds == 0;
        if (why.empty() || (until_stopped && why == "interrupted")) return 0;
        if (why == "interrupted") return kExitInterrupted;
        fail("%s", why.c_str());
    }
}

}  // namespace

void add_record_command(CLI::App& app, Commands& cmds) {
    auto o = std::make_shared<RecordOpts>();
    CLI::App* sub = app.add_subcommand(
        "record", "a camera's frames, settings and calibration into a file that --replay FILE plays back");
    add_devices_option(sub, o->device);
    auto* n = add_number(sub, "-n,--frames", o->frames, 0, 100000000, "frames to record, 0: until Ctrl-C");
    auto* s = add_number(sub, "--seconds", o->seconds, 0, 86400, "seconds to record, 0: until Ctrl-C");
    n->excludes(s);
    add_number(sub, "--timeout", o->idle, 1, 3600, "give up after this many seconds without a frame")
        ->capture_default_str();
    add_number(sub, "--level", o->level, -7, 19, "zstd compression level of the chunks")->capture_default_str();
    sub->add_option("-o,--output", o->out, "the recording file")->capture_default_str();
    add_settings_options(sub, o->settings);
    cmds.push_back({sub, [o] { return run_on_cameras(o->device, [o](const Target& t) { return cmd_record(*o, t); }); }});
}

}  // namespace vexel_cli
