// The launcher and other processes as clients of the simulated camera.
#include <libusb.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim.hpp"

extern char** environ;

namespace {

using namespace std::chrono_literals;

struct Run {
    int status = -1;
    std::string out;
    int code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
};

// Runs a shell command line with our environment minus the preload, as from a plain shell.
Run shell(const std::string& line) {
    Run r;
    FILE* p = popen(("unset LD_PRELOAD UMOCKDEV_DIR; " + line).c_str(), "r");
    char buf[512];
    while (p && fgets(buf, sizeof buf, p)) r.out += buf;
    r.status = p ? pclose(p) : -1;
    return r;
}

Run run(const std::vector<std::string>& args) {
    std::string line;
    for (auto& a : args) line += " '" + a + "'";
    return shell(line);
}

TEST(Launcher, ChildEnumeratesEveryCameraWithItsOptions) {
    auto r = run({VXSIM_LAUNCHER, "--serial", "ONE", "--camera", "--port", "6", "--speed", "12", "--serial", "TWO",
                  "--", VXSIM_PROBE, "list"});
    EXPECT_EQ(r.code(), 0) << r.out;
    EXPECT_NE(r.out.find("1 1 2 3 ONE\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 6 3 2 TWO\n"), std::string::npos) << r.out;
}

TEST(Launcher, ChildReadsAValidStreamAndSeesCommandLineFaults) {
    auto r = run({VXSIM_LAUNCHER, "--pacing", "fast", "--", VXSIM_PROBE, "stream", "8000000"});
    EXPECT_EQ(r.code(), 0) << r.out;
    EXPECT_NE(r.out.find("bad 0"), std::string::npos) << r.out;

    r = run({VXSIM_LAUNCHER, "--pacing", "fast", "--bad-payload", "1", "--", VXSIM_PROBE, "stream", "8000000"});
    EXPECT_EQ(r.code(), 2) << r.out;
    r = run({VXSIM_LAUNCHER, "--unplug-after", "50", "--", VXSIM_PROBE, "stream", "100000000"});
    EXPECT_EQ(r.code(), 3) << r.out;
    // The stream is interface 0's: with it held elsewhere, interface 1 gets no data.
    r = run({VXSIM_LAUNCHER, "--interface0-busy", "--pacing", "fast", "--", VXSIM_PROBE, "stream", "1000000"});
    EXPECT_EQ(r.code(), 1) << r.out;
    EXPECT_NE(r.out.find("bulk: LIBUSB_ERROR_IO"), std::string::npos) << r.out;
}

TEST(Launcher, ExitStatusAndSignalsOfTheChildPassThrough) {
    EXPECT_EQ(run({VXSIM_LAUNCHER, "--", "sh", "-c", "exit 7"}).code(), 7);
    auto r = run({VXSIM_LAUNCHER, "--", "sh", "-c", "kill -TERM $$"});
    ASSERT_TRUE(WIFEXITED(r.status));  // the shell popen runs reports the signal as 128 + n
    EXPECT_EQ(WEXITSTATUS(r.status), 128 + SIGTERM);
    EXPECT_EQ(run({VXSIM_LAUNCHER, "--", "/nonexistent/program"}).code(), 127);
    EXPECT_EQ(run({VXSIM_LAUNCHER, "--no-such-option", "--", "true"}).code(), 2);
    // The child learns that it runs against simulated cameras, and how many.
    r = run({VXSIM_LAUNCHER, "--camera", "--", "sh", "-c", "echo $VXSIM_CAMERAS"});
    EXPECT_EQ(r.out, "2\n");
}

// Numbers are checked against their range, from both sides, and refused with the reason.
TEST(Launcher, RefusesNumbersOutOfRangeWithTheReason) {
    struct Case {
        const char* opt;
        const char *last_good, *first_bad;
        const char* why;
    } cases[] = {
        {"--fps", "1000", "1001", "out of range 0..1000"}, {"--fps", "0", "-5", "out of range 0..1000"},
        {"--bus", "255", "256", "out of range 1..255"},    {"--port", "255", "300", "out of range 0..255"},
        {"--address", "127", "128", "out of range 0..127"}, {"--rows", "1", "0", "out of range 1..240"},
        {"--packet-size", "1048575", "1048576", "out of range 0..1048575"},
        {"--stall", "0", "-1", "out of range 0..1000000000"},
        {"--speed", "12", "100", "want 12, 480 or 5000"}, {"--integration", "65535", "1x", "not a number"},
        {"--chip", "1,2,65535", "1,2", "want PART,NUMBER,WAFER"},
        {"--erase-ms", "60000", "60001", "out of range 0..60000"},
        {"--data-busy", "100:2000", "101:5", "want PERCENT:MS, PERCENT 0-100, MS 0-2000"},
        {"--data-busy", "0:0", "5:2001", "want PERCENT:MS, PERCENT 0-100, MS 0-2000"},
        {"--slow", "1:60000", "1:", "want N:MS, MS 0-60000"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(std::string(c.opt) + " " + c.first_bad);
        EXPECT_EQ(run({VXSIM_LAUNCHER, c.opt, c.last_good, "--", "true"}).code(), 0);
        auto r = shell(std::string(VXSIM_LAUNCHER) + " " + c.opt + " " + c.first_bad + " -- true 2>&1");
        EXPECT_EQ(r.code(), 2);
        const std::string want = std::string("vexel-sim: ") + c.opt + " " + c.first_bad + ": " + c.why + "\n";
        EXPECT_EQ(r.out.rfind(want, 0), 0u) << r.out;
    }
    // -v logs the emulation, and the help says what each fault's count counts.
    auto r = shell(std::string(VXSIM_LAUNCHER) + " -v -- true 2>&1");
    EXPECT_NE(r.out.find("[vxsim] plugged /dev/bus/usb/001/"), std::string::npos) << r.out;
    const std::string help = run({VXSIM_LAUNCHER, "--help"}).out;
    EXPECT_NE(help.find("--stall N                      the next N bulk transfers stall"), help.npos);
    EXPECT_NE(help.find("--busy N                       the next N status queries answer busy"), help.npos);
    EXPECT_NE(help.find("a T0 camera\n                                 gives no depth"), help.npos) << help;
}

TEST(Launcher, ForwardsTerminationToTheChildAndReplugsOnSchedule) {
    // The child reports the signal it got; the launcher then dies of the same one. The signal
    // goes once the child says it is up: a launcher still starting (slow under sanitizers) has
    // no child to forward it to.
    auto r = shell(std::string("o=$(mktemp); ") + VXSIM_LAUNCHER +
                   " -- sh -c 'trap \"echo got-term; exit 9\" TERM; echo up; while :; do sleep 0.05; done' >$o &"
                   " for i in $(seq 600); do grep -q up $o && break; sleep 0.05; done; kill -TERM $!; wait $!;"
                   " echo status=$?; cat $o; rm -f $o");
    EXPECT_NE(r.out.find("got-term"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("status=9"), std::string::npos) << r.out;

    r = run({VXSIM_LAUNCHER, "--unplug-after", "50", "--replug-after", "100", "--", "sh", "-c",
             std::string(VXSIM_PROBE) + " stream 100000000; sleep 0.4; " + VXSIM_PROBE + " list"});
    EXPECT_EQ(r.code(), 0) << r.out;
    EXPECT_NE(r.out.find("vanished"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 1 3 3 VX0001"), std::string::npos) << r.out;  // same port, next address
}

TEST(Launcher, PythonScriptsUsingPyusbSeeTheCamera) {
    const char* script =
        "import usb.core\n"
        "d = usb.core.find(idVendor=0x111b, idProduct=0x1238)\n"
        "d.set_configuration(1)\n"
        "d.ctrl_transfer(0x22, 0xC0, 4, 0, bytes([3] + [0] * 19))\n"
        "st = d.ctrl_transfer(0xA2, 0xB0, 0, 0, 63)\n"
        "rec = d.ctrl_transfer(0xA2, 0xC0, 4, 0, 20)\n"
        "print(d.serial_number, bytes(rec[2:1 + rec[1]]).decode(), st[0], st[1])\n";
    auto r = run({VXSIM_LAUNCHER, "--serial", "PY1", "--product", "C-E3-2.0", "--", "/usr/bin/python3", "-c", script});
    EXPECT_EQ(r.code(), 0) << r.out;
    EXPECT_EQ(r.out, "PY1 C-E3-2.0 0 192\n");
}

// A client in another process that is killed while it streams: its transfers and claims must
// go, so the next client can claim the interface and the node does not stay ready.
TEST(Clients, KilledClientInAnotherProcessReleasesItsClaimAndTransfers) {
    vxsim::Testbed tb;
    vxsim::CameraOptions o;
    o.pacing = vxsim::Pacing::fast;
    auto& cam = tb.add_camera(o);
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
    posix_spawn_file_actions_addclose(&fa, pipefd[0]);
    pid_t pid;
    char* argv[] = {const_cast<char*>(VXSIM_PROBE), const_cast<char*>("hold"), nullptr};
    ASSERT_EQ(posix_spawn(&pid, VXSIM_PROBE, &fa, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(pipefd[1]);
    char line[16] = {};
    ASSERT_GT(read(pipefd[0], line, sizeof line - 1), 0);
    close(pipefd[0]);
    EXPECT_STREQ(line, "holding\n");
    ASSERT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return c.counters().bulk_urbs > 20; }));
    EXPECT_EQ(cam.claimed_interfaces(), std::vector<int>{0});

    kill(pid, SIGKILL);
    int st;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return c.clients() == 0; }));
    EXPECT_TRUE(cam.claimed_interfaces().empty());
    EXPECT_EQ(cam.pending_bulk(), 0);

    libusb_context* ctx;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, vxsim::kVendorId, vxsim::kProductId);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(libusb_claim_interface(h, 0), 0);
    // The camera still streams (the dead client never stopped it) and the new client gets data.
    std::vector<uint8_t> b(153600);
    int got = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, b.data(), int(b.size()), &got, 1000), 0);
    EXPECT_EQ(got, 153600);
    libusb_release_interface(h, 0);
    libusb_close(h);
    libusb_exit(ctx);
}

}  // namespace
