// The viewer's HTTP and WebSocket server. It serves the page and one socket per open page;
// the program behind it publishes frames and state, and receives the controls the page sends.
//
// Threads: the server runs its own thread. publish(), send_state() and the counters may be
// called from any thread and never wait for a client: each socket has at most one message in
// flight, and a socket that is still busy when newer frames arrive gets only the newest one
// (the page sees the jump in the sequence number). The control sink runs on the server's thread
// and must not block.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "viewer/controls.hpp"

namespace vexel_view {

class Server {
  public:
    struct Options {
        std::string bind = "127.0.0.1";
        unsigned short port = 8080;  // 0: any free port
        // A bind address beyond loopback requires a random token in the URL and takes any Host
        // name; `open` asks for the same on loopback.
        bool open = false;
        // A socket whose message has not gone out in this time is closed (a page that stopped
        // reading); so is a connection that has not sent its request.
        std::chrono::milliseconds write_timeout{10000};
        std::chrono::milliseconds request_timeout{10000};
        int max_sockets = 8;
    };
    using ControlSink = std::function<void(const Control&)>;

    Server(Options options, FilterCheck check_filter, ControlSink sink);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and starts the server's thread; throws std::runtime_error naming the address when
    // it cannot listen.
    void start();
    void stop();

    unsigned short port() const;
    // The address to open, with the token when one is required.
    std::string url() const;
    const std::string& token() const;

    // The state every page gets first and after every change (a JSON text).
    void send_state(std::string json);
    // A message only the pages see, e.g. a control the camera refused (a JSON text).
    void send_note(std::string json);
    // The palette message (frame_msg.hpp), sent to each socket once before its first frame.
    void set_palette(std::vector<uint8_t> message);
    // The newest frame message; replaces one not yet sent.
    void publish(std::shared_ptr<const std::vector<uint8_t>> frame);

    struct Counters {
        uint64_t published = 0;      // frames handed to publish()
        uint64_t sent = 0;           // frame messages written to sockets
        uint64_t dropped = 0;        // sockets closed because their page stopped reading
        int sockets = 0;             // open sockets
    };
    Counters counters() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace vexel_view
