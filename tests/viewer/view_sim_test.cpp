// vexel view as a page drives it, against the simulated camera: the record button records the
// camera into a file beside the viewer, and `vexel view --replay FILE` shows that file.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <gtest/gtest.h>

#include <vexel/record.h>
#include <vexel/vexel.h>

#include "test_util.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using vxtest::contains;
using vxtest::slurp;

// The program in the scratch directory, its output in view.out / view.err.
class ViewProcess {
  public:
    explicit ViewProcess(const std::string& cmd) {
        const std::string line = "exec " + cmd + " >view.out 2>view.err";
        const char* argv[] = {"sh", "-c", line.c_str(), nullptr};
        fs::remove("view.out");
        if (posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) pid_ = -1;
    }
    ~ViewProcess() { stop(); }
    // The page's port from the address the program prints; 0 when none came within a minute.
    unsigned short port() const {
        const std::string key = "http://127.0.0.1:";
        for (int i = 0; i < 600; ++i) {
            const std::string out = slurp("view.out");
            if (const size_t at = out.find(key); at != std::string::npos && out.find('\n', at) != std::string::npos)
                return static_cast<unsigned short>(std::stoul(out.substr(at + key.size())));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return 0;
    }
    // Ctrl-C, then the exit status (-1 when it did not exit normally).
    int stop() {
        if (pid_ <= 0) return -1;
        ::kill(pid_, SIGINT);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
};

// The page's socket.
class Page {
  public:
    explicit Page(unsigned short port) {
        const std::string host = "127.0.0.1:" + std::to_string(port);
        ws_.next_layer().connect({boost::asio::ip::make_address("127.0.0.1"), port});
        ws_.set_option(websocket::stream_base::timeout{std::chrono::seconds(30), std::chrono::seconds(30), false});
        ws_.set_option(websocket::stream_base::decorator([host](websocket::request_type& req) {
            req.set(beast::http::field::origin, "http://" + host);
        }));
        ws_.handshake(host, "/ws");
    }
    void send(const std::string& text) {
        ws_.text(true);
        ws_.write(boost::asio::buffer(text));
    }
    // Reads messages until a text one satisfies `want` (empty when none did in 3000 messages).
    std::string text_until(const std::function<bool(const std::string&)>& want) {
        for (int i = 0; i < 3000; ++i) {
            const std::string m = next();
            if (!ws_.got_binary() && want(m)) return m;
        }
        return {};
    }
    // The next frame message (after the palette and the state).
    std::string frame() {
        for (int i = 0; i < 100; ++i) {
            const std::string m = next();
            if (ws_.got_binary() && m.compare(0, 4, "VXF1") == 0) return m;
        }
        return {};
    }

  private:
    std::string next() {
        buf_.clear();
        beast::error_code ec;
        ws_.read(buf_, ec);
        EXPECT_FALSE(ec) << ec.message();
        return ec ? std::string() : beast::buffers_to_string(buf_.data());
    }
    boost::asio::io_context ioc_;
    websocket::stream<beast::tcp_stream> ws_{ioc_};
    beast::flat_buffer buf_;
};

// The state's record object, "{...}" (filters have "on" fields of their own).
std::string record_of(const std::string& state) {
    const size_t at = state.find(R"("record":{)");
    if (at == std::string::npos) return {};
    return state.substr(at + 9, state.find('}', at) - at - 8);
}

// One filter's object in the state's list, "{...}".
std::string filter_of(const std::string& state, const std::string& name) {
    const size_t at = state.find(R"({"name":")" + name + '"');
    if (at == std::string::npos) return {};
    return state.substr(at, state.find('}', at) - at + 1);
}

using ViewSim = vxtest::ScratchDirTest;

TEST_F(ViewSim, RecordButtonRecordsTheCameraAndReplayShowsTheFile) {
    fs::create_directory("recs");
    std::string file;
    {
        ViewProcess live(std::string(VXSIM_LAUNCHER) + " --fps 30 -- " + VEXEL_CLI + " view --port 0 --record-dir recs");
        const unsigned short port = live.port();
        ASSERT_NE(port, 0) << slurp("view.err");
        Page page(port);
        ASSERT_FALSE(page.frame().empty()) << "frames flow before recording";
        // The depth-quality steps take fractions, checked at the open lower end of their range.
        page.send("filter temporal=0");
        const std::string low = page.text_until([](const std::string& s) { return contains(s, R"("type":"refused")"); });
        EXPECT_TRUE(contains(low, "temporal value '0' not in range")) << low;
        page.send("filter temporal=0.25");
        const std::string taken = page.text_until([](const std::string& s) {
            return contains(filter_of(s, "temporal"), R"("on":true)");
        });
        EXPECT_TRUE(contains(filter_of(taken, "temporal"), R"("real":true,"lo":0,"hi":1,"closed":false,"on":true,"value":0.25})"))
            << taken;
        page.send("record 1");
        // Running, with frames written (the state repeats once a second while recording).
        const std::string on = page.text_until([](const std::string& s) {
            const std::string r = record_of(s);
            return contains(r, R"("on":true)") && !contains(r, R"("frames":0})");
        });
        ASSERT_TRUE(contains(record_of(on), R"("available":true)")) << on;
        page.send("record 1");  // a second start is no second recorder
        page.send("record 0");
        const std::string off = page.text_until([](const std::string& s) { return contains(record_of(s), R"("on":false)"); });
        const std::string r = record_of(off);
        const size_t f = r.find(R"("file":")");
        ASSERT_NE(f, std::string::npos) << off;
        file = r.substr(f + 8, r.find('"', f + 8) - f - 8);
        EXPECT_TRUE(contains(file, "recs/view-") && contains(file, ".vxr")) << file;
        EXPECT_EQ(live.stop(), 130) << slurp("view.err");  // interrupted, after its summary
        EXPECT_TRUE(contains(slurp("view.out"), "frames recorded into " + file)) << slurp("view.out");
    }
    // A complete recording, which opens as a camera.
    vexel_dev* rec = vexel_dev_open_recording(file.c_str());
    ASSERT_NE(rec, nullptr);
    vexel_play_info info{};
    ASSERT_EQ(vexel_play_get_info(rec, &info), 1);
    EXPECT_GE(info.frames, 1u);
    EXPECT_EQ(info.damaged, 0) << info.message;
    vexel_dev_close(rec);
    EXPECT_EQ(std::distance(fs::directory_iterator("recs"), fs::directory_iterator{}), 1) << "one file";

    // The viewer on the recording (no camera at all): frames, and no recording of a recording.
    ViewProcess replay(std::string(VEXEL_CLI) + " view --replay " + file + " --port 0");
    const unsigned short port = replay.port();
    ASSERT_NE(port, 0) << slurp("view.err");
    Page page(port);
    EXPECT_FALSE(page.frame().empty()) << slurp("view.err");
    page.send("record 1");
    const std::string refused = page.text_until([](const std::string& s) { return contains(s, R"("type":"refused")"); });
    EXPECT_TRUE(contains(refused, "the viewer plays a recording")) << refused;
    EXPECT_EQ(replay.stop(), 130) << slurp("view.err");
}

}  // namespace
