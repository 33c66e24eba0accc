// What `vexel view` costs beyond capture and decode: packing a decoded frame into its message,
// and the server sending it to a page over a WebSocket. The server's share is the process's CPU
// time less the reading client's own thread, per frame; `core_at_30fps` is that share of one
// core at 30 frames per second.
#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "viewer/frame_msg.hpp"
#include "viewer/server.hpp"

namespace {

constexpr int kW = 320, kH = 240;

double cpu_seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Images {
    std::vector<float> dist, gray;
    Images() : dist(size_t{kW} * kH), gray(size_t{kW} * kH) {
        for (size_t i = 0; i < dist.size(); ++i) {
            dist[i] = i % 97 == 0 ? 65.5f : 0.5f + static_cast<float>(i % 4000) * 1e-3f;
            gray[i] = static_cast<float>(i % 3000);
        }
    }
};

void BM_PackFrame(benchmark::State& state) {
    const Images img;
    std::vector<uint8_t> out;
    vexel_view::FrameFigures f;
    for (auto _ : state) {
        ++f.seq;
        vexel_view::pack_frame(f, kW, kH, img.dist.data(), img.gray.data(), out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_PackFrame);

void BM_ServeFrame(benchmark::State& state) {
    namespace asio = boost::asio;
    namespace websocket = boost::beast::websocket;
    vexel_view::Server::Options o;
    o.port = 0;
    vexel_view::Server server(o, [](const std::string&) { return std::string(); }, [](const vexel_view::Control&) {});
    server.start();

    asio::io_context ioc;
    websocket::stream<asio::ip::tcp::socket> ws(ioc);
    ws.next_layer().connect({asio::ip::make_address("127.0.0.1"), server.port()});
    const std::string host = "127.0.0.1:" + std::to_string(server.port());
    ws.set_option(websocket::stream_base::decorator(
        [host](websocket::request_type& req) { req.set(boost::beast::http::field::origin, "http://" + host); }));
    ws.handshake(host, "/ws");

    std::mutex mu;
    std::condition_variable cv;
    uint32_t got = 0;
    double client_cpu = 0;
    std::thread client([&] {
        const double c0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
        boost::beast::flat_buffer buf;
        boost::beast::error_code ec;
        for (;;) {
            buf.clear();
            ws.read(buf, ec);
            if (ec) break;
            vexel_view::FrameView v;
            const auto d = buf.cdata();
            if (!vexel_view::read_frame(static_cast<const uint8_t*>(d.data()), d.size(), v)) continue;
            std::lock_guard<std::mutex> l(mu);
            got = v.figures.seq;
            cv.notify_one();
        }
        client_cpu = cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - c0;
    });

    const Images img;
    vexel_view::FrameFigures f;
    const double p0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    for (auto _ : state) {
        ++f.seq;
        auto msg = std::make_shared<std::vector<uint8_t>>();
        vexel_view::pack_frame(f, kW, kH, img.dist.data(), img.gray.data(), *msg);
        server.publish(std::move(msg));
        std::unique_lock<std::mutex> l(mu);
        cv.wait(l, [&] { return got == f.seq; });
    }
    server.stop();  // closes the socket, which ends the client's reads
    client.join();
    const double process = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - p0;
    const double per_frame = (process - client_cpu) / static_cast<double>(state.iterations());
    state.counters["server_us_per_frame"] = per_frame * 1e6;
    state.counters["core_at_30fps"] = per_frame * 30;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kW * kH * 4 + 40));
}
BENCHMARK(BM_ServeFrame)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
