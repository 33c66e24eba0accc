// vexel: the command-line face of libvexel. `vexel --help` lists the commands, `vexel CMD --help`
// their options. Exit status: 0 done, 1 the operation failed, 2 bad usage, 130 interrupted.
//
// Without a camera: vexel-sim -- vexel capture -n 30 -o out
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "cli.hpp"

#ifndef VEXEL_VERSION
#define VEXEL_VERSION "unknown"
#endif

using namespace vexel_cli;

namespace {

struct Globals {
    int verbose = 0;
    bool quiet = false;
    std::string log_file, prefix, replay, record;
    bool realtime = false;
};

// Library messages: console (now stderr) from -v/-q, the file only with --log, never a dated
// log file in the working directory.
void start_library(const Globals& g) {
    unsigned console = VX_LOG_WRN;
    if (g.quiet)
        console = VX_LOG_OFF;
    else if (g.verbose > 0)
        console = static_cast<unsigned>(std::max(0, VX_LOG_WRN - g.verbose));
    unsigned file = VX_LOG_OFF;
    if (!g.log_file.empty()) file = std::min<unsigned>(console, VX_LOG_DBG);
    vexel_init(g.log_file.empty() ? "/dev/null" : g.log_file.c_str());
    vexel_log_cfg(console, file,
                  g.verbose >= 3 ? unsigned{VX_LOG_DBG} : unsigned{VX_LOG_OFF});  // libusb's own
    set_calibration_home(!g.prefix.empty());
    if (!g.prefix.empty()) {
        std::string p = g.prefix;
        if (p.back() != '/') p += '/';
        if (vexel_path_cfg(p.c_str()) != 0) fail("cannot create the prefix directory %s", g.prefix.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "vexel: the USB time-of-flight camera from the command line.\n"
        "Results go to stdout; messages, progress and the library's log lines to stderr.",
        "vexel"};
    app.set_version_flag("--version", "vexel " VEXEL_VERSION);
    app.fallthrough();  // the options below are also taken after the command
    app.failure_message([](const CLI::App* a, const CLI::Error& e) {
        std::string cmd = a->get_name();
        for (const CLI::App* s : a->get_subcommands()) cmd += " " + s->get_name();
        return "vexel: " + std::string(e.what()) + "\nRun '" + cmd + " --help' for more information.\n";
    });
    // Words no command takes land here, so they are refused by name rather than ignored.
    std::vector<std::string> stray;
    app.add_option("stray", stray)->group("");
    Globals g;
    app.add_flag("-v,--verbose", g.verbose, "more library messages: -v information, -vv debug, -vvv trace");
    app.add_flag("-q,--quiet", g.quiet, "no library messages");
    app.add_option("--log", g.log_file, "append the library's debug log to FILE");
    app.add_option("--prefix", g.prefix,
                   "directory of the calibration and lens files (default: $XDG_CACHE_HOME/vexel/SERIAL-CHIP/, "
                   "else ~/.cache/vexel/SERIAL-CHIP/)")
        ->check(CLI::Validator(
            [](std::string& p) {
                return std::string(p.empty() || p.size() > 250 ? "needs 1 to 250 characters" : "");
            },
            "DIR"));
    app.add_option("--replay", g.replay, "run the command on a recording made by `vexel record` instead of a camera")
        ->check(CLI::ExistingFile);
    app.add_flag("--realtime", g.realtime, "with --replay: frames at the camera's rate, not as fast as taken");
    app.add_option("--record", g.record, "record the command's camera into FILE while it runs (see `vexel record`)");

    Commands cmds;
    add_camera_commands(app, cmds);
    add_capture_commands(app, cmds);
    add_compare_command(app, cmds);
    add_transfer_commands(app, cmds);
#ifdef VEXEL_WITH_VIEWER
    add_view_command(app, cmds);
#endif
    add_record_command(app, cmds);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;  // help and version on stdout; anything else is bad usage
    }
    if (app.get_subcommands().empty() || !stray.empty()) {
        if (app.get_subcommands().empty() && !stray.empty())
            std::fprintf(stderr, "vexel: unknown command '%s'\n", stray[0].c_str());
        else if (!stray.empty())
            std::fprintf(stderr, "vexel: unexpected argument '%s'\n", stray[0].c_str());
        else
            std::fprintf(stderr, "vexel: a command is required\n");
        std::fputs("Run 'vexel --help' for more information.\n", stderr);
        return 2;
    }

    // A log file that cannot be opened is bad usage; left to the library, it would report it
    // and then append to "vx.log" in the working directory instead.
    if (!g.log_file.empty()) {
        FILE* f = std::fopen(g.log_file.c_str(), "ab");
        if (!f) {
            std::fprintf(stderr, "vexel: cannot open the log file %s: %s\nRun 'vexel --help' for more information.\n",
                         g.log_file.c_str(), std::strerror(errno));
            return 2;
        }
        std::fclose(f);
    }
    separate_output();
    catch_interrupt();
    int rc = 1;
    try {
        set_verbosity(g.verbose);
        start_library(g);
        set_replay(g.replay, g.realtime);
        set_record(g.record);
        for (const Command& c : cmds)
            if (c.app->parsed()) rc = c.run();
    } catch (const Failure& e) {
        std::fprintf(stderr, "vexel: %s\n", e.what());
        rc = 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vexel: %s\n", e.what());
        rc = 1;
    }
    vexel_uninit();
    if (g_interrupted.load()) rc = kExitInterrupted;  // after the summary and the files of what ran
    if (std::fflush(out()) != 0 || std::ferror(out())) {
        std::fprintf(stderr, "vexel: cannot write the results: %s\n", std::strerror(errno));
        return 1;
    }
    return rc;
}
