// The viewer's server as a browser and a hostile client see it: which requests it answers and
// how, the WebSocket handshake and messages, controls in and out of range, and a page that
// stops reading while frames keep coming.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "viewer/controls.hpp"
#include "viewer/frame_msg.hpp"
#include "viewer/http_check.hpp"
#include "viewer/server.hpp"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;
using vexel_view::Control;
using vexel_view::Server;

// The command line's filter check, in miniature: a known name and a value below 10.
std::string check_filter(const std::string& s) {
    if (s == "median=3" || s == "hdr" || s == "hdr=off") return {};
    return "bad filter '" + s + "'";
}

class Served : public ::testing::Test {
  protected:
    void start(Server::Options o = {}) {
        o.port = 0;
        server_ = std::make_unique<Server>(o, check_filter, [this](const Control& c) {
            std::lock_guard<std::mutex> l(mu_);
            controls_.push_back(c);
        });
        const uint32_t words[3] = {0x0000ff, 0x00ff00, 0xff0000};
        server_->set_palette(vexel_view::pack_palette(words, 3));
        server_->send_state(R"({"type":"state"})");
        server_->start();
    }
    void TearDown() override {
        if (server_) server_->stop();
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(server_->port()); }

    // Sends raw bytes, returns the status and body of the answer (0 when none came).
    std::pair<int, std::string> raw(const std::string& bytes) {
        asio::io_context ioc;
        tcp::socket s(ioc);
        s.connect({asio::ip::make_address("127.0.0.1"), server_->port()});
        asio::write(s, asio::buffer(bytes));
        beast::flat_buffer buf;
        http::response<http::string_body> res;
        beast::error_code ec;
        http::read(s, buf, res, ec);
        if (ec) return {0, ec.message()};
        return {res.result_int(), res.body()};
    }
    std::string get(const std::string& target, const std::string& extra = "") {
        return "GET " + target + " HTTP/1.1\r\nHost: " + host() + "\r\n" + extra + "\r\n";
    }

    // An open socket as the page opens it, handshake done.
    struct Client {
        asio::io_context ioc;
        websocket::stream<tcp::socket> ws{ioc};
        beast::flat_buffer buf;
        std::string read_text() {
            buf.clear();
            ws.read(buf);
            EXPECT_TRUE(ws.got_text());
            return beast::buffers_to_string(buf.data());
        }
        std::vector<uint8_t> read_binary() {
            buf.clear();
            ws.read(buf);
            EXPECT_TRUE(ws.got_binary());
            const auto d = buf.data();
            const auto* p = static_cast<const uint8_t*>(d.data());
            return {p, p + d.size()};
        }
    };
    std::unique_ptr<Client> connect(const std::string& origin, const std::string& target = "/ws",
                                    beast::error_code* err = nullptr) {
        auto c = std::make_unique<Client>();
        c->ws.next_layer().connect({asio::ip::make_address("127.0.0.1"), server_->port()});
        c->ws.set_option(websocket::stream_base::decorator(
            [origin](websocket::request_type& req) { req.set(http::field::origin, origin); }));
        beast::error_code ec;
        c->ws.handshake(host(), target, ec);
        if (err) *err = ec;
        if (ec) return nullptr;
        return c;
    }
    std::vector<Control> controls() {
        std::lock_guard<std::mutex> l(mu_);
        return controls_;
    }
    // Waits until `pred` holds, at most two seconds.
    template <class P>
    bool eventually(P pred) {
        for (int i = 0; i < 200 && !pred(); ++i) std::this_thread::sleep_for(10ms);
        return pred();
    }

    std::unique_ptr<Server> server_;
    std::mutex mu_;
    std::vector<Control> controls_;
};

std::shared_ptr<const std::vector<uint8_t>> frame(uint32_t seq, int w = 4, int h = 2) {
    std::vector<float> d(size_t(w * h), 1.5f), g(size_t(w * h), 300.0f);
    vexel_view::FrameFigures f;
    f.seq = seq;
    f.frame_idx = seq + 100;
    return std::make_shared<const std::vector<uint8_t>>(vexel_view::pack_frame(f, w, h, d.data(), g.data()));
}

TEST_F(Served, AnswersThePageAndRefusesEverythingElseWithItsStatus) {
    start();
    const std::string h = host();
    struct Case {
        const char* what;
        std::string request;
        int status;
    };
    const std::string big(vexel_view::kHeaderLimit, 'a');
    const std::string fits(vexel_view::kHeaderLimit - 200, 'a');
    const Case cases[] = {
        {"the page", get("/"), 200},
        {"the page over HTTP/1.0", "GET / HTTP/1.0\r\nHost: " + h + "\r\n\r\n", 200},
        {"localhost by name", "GET / HTTP/1.1\r\nHost: localhost:" + std::to_string(server_->port()) + "\r\n\r\n", 200},
        {"a header just inside the limit", get("/", "X-Pad: " + fits + "\r\n"), 200},
        {"a header beyond the limit", get("/", "X-Pad: " + big + "\r\n"), 431},
        {"unknown path", get("/etc/passwd"), 404},
        {"path outside the root", get("/../"), 404},
        {"target without a slash", get("index.html"), 400},
        {"POST", "POST / HTTP/1.1\r\nHost: " + h + "\r\nContent-Length: 0\r\n\r\n", 405},
        {"a body", "GET / HTTP/1.1\r\nHost: " + h + "\r\nContent-Length: 5\r\n\r\nhello", 413},
        {"chunked body", "GET / HTTP/1.1\r\nHost: " + h + "\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 413},
        {"no Host", "GET / HTTP/1.1\r\n\r\n", 400},
        {"another Host (DNS rebinding)", "GET / HTTP/1.1\r\nHost: evil.example:80\r\n\r\n", 403},
        {"loopback Host on another port", "GET / HTTP/1.1\r\nHost: 127.0.0.1:1\r\n\r\n", 403},
        {"garbage", "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 400},
        {"bad version", "GET / HTTP/9.9x\r\nHost: " + h + "\r\n\r\n", 400},
        {"header without colon", "GET / HTTP/1.1\r\nHost " + h + "\r\n\r\n", 400},
        {"socket path without upgrade", get("/ws"), 400},
    };
    for (const Case& c : cases) {
        const auto [status, body] = raw(c.request);
        EXPECT_EQ(status, c.status) << c.what << ": " << body;
    }
    const auto [status, page] = raw(get("/"));
    EXPECT_NE(page.find("<canvas id=\"cloud\""), std::string::npos);
    EXPECT_EQ(page.find("http://"), std::string::npos) << "the page fetches nothing from elsewhere";
    // The server is still there after all that.
    EXPECT_EQ(raw(get("/")).first, 200);
}

TEST_F(Served, WithATokenOnlyTheFullAddressIsServed) {
    Server::Options o;
    o.open = true;
    start(o);
    const std::string& t = server_->token();
    ASSERT_EQ(t.size(), 32u);
    EXPECT_NE(server_->url().find("?token=" + t), std::string::npos);
    std::string wrong = t;
    wrong[31] = wrong[31] == '0' ? '1' : '0';
    EXPECT_EQ(raw(get("/?token=" + t)).first, 200);
    EXPECT_EQ(raw(get("/")).first, 403);
    EXPECT_EQ(raw(get("/?token=" + wrong)).first, 403);
    EXPECT_EQ(raw(get("/?token=" + t.substr(0, 31))).first, 403);
    EXPECT_EQ(raw("GET /?token=" + t + " HTTP/1.1\r\nHost: robot.local:8080\r\n\r\n").first, 200)
        << "beyond loopback any host name reaches the server";
    beast::error_code ec;
    EXPECT_EQ(connect("http://" + host(), "/ws", &ec), nullptr);
    EXPECT_NE(connect("http://" + host(), "/ws?token=" + t), nullptr);
}

TEST_F(Served, SocketsOpenOnlyFromThePagesOwnOrigin) {
    start();
    beast::error_code ec;
    EXPECT_EQ(connect("http://evil.example", "/ws", &ec), nullptr);
    EXPECT_EQ(connect("http://127.0.0.1:1", "/ws", &ec), nullptr);
    EXPECT_EQ(connect("", "/ws", &ec), nullptr);
    auto c = connect("http://" + host());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->read_text(), R"({"type":"state"})");
    const auto palette = c->read_binary();
    ASSERT_EQ(palette.size(), 8u + 9u);
    EXPECT_EQ(palette[8], 0xff);   // entry 0 red
    EXPECT_EQ(palette[12], 0xff);  // entry 1 green
}

TEST_F(Served, FramesArriveAsBinaryMessagesInMillimetres) {
    start();
    auto c = connect("http://" + host());
    ASSERT_NE(c, nullptr);
    c->read_text();
    c->read_binary();
    const float metres[6] = {1.2344f, 1.2346f, 65.3f, 65.5f, NAN, 59.9994f};
    const float gray[6] = {0.0f, 12.7f, 65535.0f, 1e9f, -3.0f, 400.0f};
    vexel_view::FrameFigures f;
    f.seq = 7;
    f.frame_idx = 65535;
    f.gaps = 2;
    f.missing = 5;
    f.camera_fps = 29.5f;
    f.sensor_temp = -125;
    f.temps_known = true;
    server_->publish(std::make_shared<const std::vector<uint8_t>>(vexel_view::pack_frame(f, 3, 2, metres, gray)));
    const auto msg = c->read_binary();
    vexel_view::FrameView v;
    ASSERT_TRUE(vexel_view::read_frame(msg.data(), msg.size(), v));
    EXPECT_EQ(v.width, 3);
    EXPECT_EQ(v.height, 2);
    EXPECT_EQ(v.figures.seq, 7u);
    EXPECT_EQ(v.figures.frame_idx, 65535u);
    EXPECT_EQ(v.figures.gaps, 2u);
    EXPECT_EQ(v.figures.missing, 5u);
    EXPECT_FLOAT_EQ(v.figures.camera_fps, 29.5f);
    EXPECT_EQ(v.figures.sensor_temp, -125);
    EXPECT_TRUE(v.figures.temps_known);
    const uint16_t mm[6] = {1234, 1235, 0, 0, 0, 59999};
    const uint16_t amp[6] = {0, 12, 65535, 65535, 0, 400};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(v.depth_mm(i), mm[i]) << i;
        EXPECT_EQ(v.amp(i), amp[i]) << i;
    }
    EXPECT_FALSE(vexel_view::read_frame(msg.data(), msg.size() - 1, v)) << "a cut frame is not a frame";
}

TEST_F(Served, ControlsAreCheckedWithTheirRangesBeforeTheyGoOn) {
    start();
    auto c = connect("http://" + host());
    ASSERT_NE(c, nullptr);
    c->read_text();
    c->read_binary();
    struct Case {
        std::string text;
        bool taken;
    };
    const Case cases[] = {
        {"integration 1", true},       {"integration 4000", true},  {"integration 0", false},
        {"integration 4001", false},   {"integration -5", false},   {"integration 0x10", false},
        {"integration 99999999999", false}, {"integration", false}, {"integration 800 ", false},
        {"fps 1", true},               {"fps 100", true},           {"fps 0", false},
        {"fps 101", false},            {"pause 1", true},           {"pause 0", true},
        {"pause 2", false},            {"filter median=3", true},   {"filter hdr", true},
        {"filter median=4", false},    {"filter", false},           {"reboot now", false},
        {"", false},                   {"record 1", true},          {"record 0", true},
        {"record 2", false},           {"record", false},           {"record -1", false},
    };
    for (const Case& k : cases) {
        c->ws.text(true);
        c->ws.write(asio::buffer(k.text));
        if (!k.taken) {
            EXPECT_NE(c->read_text().find(R"("type":"refused")"), std::string::npos) << k.text;
        }
    }
    c->ws.binary(true);
    c->ws.write(asio::buffer(std::string("fps 30")));
    EXPECT_NE(c->read_text().find("text"), std::string::npos) << "a binary control is refused";
    ASSERT_TRUE(eventually([&] { return controls().size() == 10; }));
    const auto got = controls();
    EXPECT_EQ(got[0].kind, Control::integration);
    EXPECT_EQ(got[0].value, 1);
    EXPECT_EQ(got[1].value, 4000);
    EXPECT_EQ(got[2].kind, Control::frame_rate);
    EXPECT_EQ(got[4].kind, Control::pause);
    EXPECT_EQ(got[4].value, 1);
    EXPECT_EQ(got[6].kind, Control::filter_setting);
    EXPECT_EQ(got[6].filter, "median=3");
    EXPECT_EQ(got[8].kind, Control::record);
    EXPECT_EQ(got[8].value, 1);
    EXPECT_EQ(got[9].value, 0);

    // A message far beyond any control ends that socket, and only that one.
    // (The server may close before the client has written all of it.)
    c->ws.text(true);
    beast::error_code ec;
    c->ws.write(asio::buffer(std::string(5000, 'x')), ec);
    beast::flat_buffer b;
    if (!ec) c->ws.read(b, ec);
    EXPECT_TRUE(ec);
    EXPECT_EQ(raw(get("/")).first, 200);
    EXPECT_NE(connect("http://" + host()), nullptr);
}

TEST_F(Served, APageThatStopsReadingHoldsUpNobody) {
    Server::Options o;
    o.write_timeout = 500ms;
    start(o);
    auto stuck = connect("http://" + host());
    auto live = connect("http://" + host());
    ASSERT_TRUE(stuck && live);
    live->read_text();
    live->read_binary();
    // 300 frames of a full image are far more than the socket buffers hold; publish never
    // waits for the stuck page, and the live page gets the newest frame.
    constexpr uint32_t kFrames = 300;
    uint32_t seen = 0, last_seq = 0, jumps = 0;
    std::thread reader([&] {
        while (last_seq < kFrames) {
            const auto m = live->read_binary();
            vexel_view::FrameView v;
            if (!vexel_view::read_frame(m.data(), m.size(), v)) break;
            if (seen && v.figures.seq != last_seq + 1) ++jumps;
            EXPECT_GT(v.figures.seq, last_seq);
            last_seq = v.figures.seq;
            ++seen;
        }
    });
    for (uint32_t s = 1; s <= kFrames; ++s) server_->publish(frame(s, 320, 240));
    reader.join();
    EXPECT_EQ(last_seq, kFrames) << "the newest frame always goes out";
    EXPECT_EQ(server_->counters().published, kFrames);
    EXPECT_GT(seen, 0u);
    // The stuck page is dropped once its write has waited past the time-out.
    ASSERT_TRUE(eventually([&] { return server_->counters().dropped == 1; })) << server_->counters().dropped;
    EXPECT_EQ(server_->counters().sockets, 1);
    server_->publish(frame(kFrames + 1, 320, 240));
    const auto m = live->read_binary();
    vexel_view::FrameView v;
    ASSERT_TRUE(vexel_view::read_frame(m.data(), m.size(), v));
    EXPECT_EQ(v.figures.seq, kFrames + 1);
}

TEST_F(Served, RefusesSocketsBeyondItsLimitAndAddressesItCannotBind) {
    Server::Options o;
    o.max_sockets = 2;
    start(o);
    auto a = connect("http://" + host());
    auto b = connect("http://" + host());
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(eventually([&] { return server_->counters().sockets == 2; }));
    beast::error_code ec;
    EXPECT_EQ(connect("http://" + host(), "/ws", &ec), nullptr);
    a.reset();
    ASSERT_TRUE(eventually([&] { return server_->counters().sockets == 1; }));
    EXPECT_NE(connect("http://" + host()), nullptr);

    Server::Options clash;
    clash.port = server_->port();
    Server second(clash, check_filter, [](const Control&) {});
    EXPECT_THROW(second.start(), std::runtime_error);
    Server::Options nonsense;
    nonsense.bind = "not-an-address";
    Server third(nonsense, check_filter, [](const Control&) {});
    EXPECT_THROW(third.start(), std::runtime_error);
}

}  // namespace
