#include "viewer/server.hpp"

#include <atomic>
#include <deque>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "viewer/http_check.hpp"

namespace vexel_view {

extern const unsigned char kPage[];
extern const std::size_t kPageSize;

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using error_code = beast::error_code;

namespace {

constexpr const char* kServerName = "vexel-view";
// A control message is a few dozen bytes; anything much longer is not from our page.
constexpr std::size_t kMaxControlBytes = 1024;
// Text messages waiting for a socket that is not reading; beyond this it is dropped.
constexpr std::size_t kMaxQueuedTexts = 64;

std::string random_token() {
    std::random_device rd;  // the kernel's random source
    static const char* const hex = "0123456789abcdef";
    std::string t;
    for (int i = 0; i < 4; ++i) {
        const uint32_t w = rd();
        for (int k = 0; k < 8; ++k) t += hex[(w >> (4 * k)) & 15];
    }
    return t;
}

uint32_t seq_of(const std::vector<uint8_t>& m) {
    return m.size() >= 8 ? uint32_t{m[4]} | uint32_t{m[5]} << 8 | uint32_t{m[6]} << 16 | uint32_t{m[7]} << 24 : 0;
}

}  // namespace

class Socket;

struct Server::Impl {
    Options opt;
    FilterCheck check_filter;
    ControlSink sink;
    asio::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    std::thread thread;
    Access access;
    unsigned short port = 0;
    std::string token;

    mutable std::mutex mu;  // guards the three below
    std::string state;
    std::shared_ptr<const std::vector<uint8_t>> palette;
    std::shared_ptr<const std::vector<uint8_t>> latest;

    std::atomic<bool> wake_posted{false};
    std::atomic<uint64_t> published{0}, sent{0}, dropped{0};
    std::atomic<int> socket_count{0};
    std::vector<std::weak_ptr<Socket>> sockets;  // server thread only

    void accept();
    void wake_all();
    void each_socket(const std::function<void(Socket&)>& f);
    std::shared_ptr<const std::vector<uint8_t>> newest() const {
        std::lock_guard<std::mutex> l(mu);
        return latest;
    }
};

// One page's WebSocket: the state first, the palette, then frames as the socket drains.
class Socket : public std::enable_shared_from_this<Socket> {
  public:
    Socket(tcp::socket s, Server::Impl* srv)
        : ws_(std::move(s)), timer_(ws_.get_executor()), srv_(srv) {}

    void run(http::request<http::empty_body> req) {
        req_ = std::move(req);
        ws_.read_message_max(kMaxControlBytes);
        ws_.auto_fragment(false);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& res) { res.set(http::field::server, kServerName); }));
        arm(srv_->opt.request_timeout);
        ws_.async_accept(req_, [self = shared_from_this()](error_code ec) { self->on_accept(ec); });
    }

    void queue_text(std::string text) {
        if (closed_) return;
        if (texts_.size() >= kMaxQueuedTexts) {
            drop();
            return;
        }
        texts_.push_back(std::move(text));
        pump();
    }

    // Writes the next message if none is in flight: texts, the palette once, the newest frame.
    void pump() {
        if (writing_ || closed_ || !open_) return;
        if (!texts_.empty()) {
            out_text_ = std::move(texts_.front());
            texts_.pop_front();
            ws_.text(true);
            write(asio::buffer(out_text_), false);
            return;
        }
        if (!palette_sent_) {
            std::lock_guard<std::mutex> l(srv_->mu);
            out_bin_ = srv_->palette;
        }
        if (!palette_sent_ && out_bin_) {
            palette_sent_ = true;
            ws_.binary(true);
            write(asio::buffer(*out_bin_), false);
            return;
        }
        auto frame = srv_->newest();
        if (!frame || (any_sent_ && seq_of(*frame) == last_seq_)) return;
        last_seq_ = seq_of(*frame);
        any_sent_ = true;
        out_bin_ = std::move(frame);
        ws_.binary(true);
        write(asio::buffer(*out_bin_), true);
    }

    void close() {
        if (closed_) return;
        closed_ = true;
        timer_.cancel();
        error_code ignored;
        ws_.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
        ws_.next_layer().close(ignored);
        if (open_) --srv_->socket_count;
        open_ = false;
    }

  private:
    void arm(std::chrono::milliseconds ms) {
        timer_.expires_after(ms);
        timer_.async_wait([self = shared_from_this()](error_code ec) {
            if (!ec) self->drop();
        });
    }

    void drop() {
        if (closed_) return;
        ++srv_->dropped;
        close();
    }

    void on_accept(error_code ec) {
        timer_.cancel();
        if (ec) {
            close();
            return;
        }
        open_ = true;
        ++srv_->socket_count;
        srv_->sockets.push_back(weak_from_this());
        std::string state;
        {
            std::lock_guard<std::mutex> l(srv_->mu);
            state = srv_->state;
        }
        if (!state.empty()) texts_.push_back(std::move(state));
        read();
        pump();
    }

    void write(asio::const_buffer buf, bool frame) {
        writing_ = true;
        arm(srv_->opt.write_timeout);
        ws_.async_write(buf, [self = shared_from_this(), frame](error_code ec, std::size_t) {
            self->writing_ = false;
            self->timer_.cancel();
            if (ec) {
                self->close();
                return;
            }
            if (frame) ++self->srv_->sent;
            self->pump();
        });
    }

    void read() {
        ws_.async_read(in_, [self = shared_from_this()](error_code ec, std::size_t) { self->on_read(ec); });
    }

    void on_read(error_code ec) {
        if (ec) {  // closed by the page, or a message beyond kMaxControlBytes
            close();
            return;
        }
        const auto data = in_.cdata();
        const std::string text(static_cast<const char*>(data.data()), data.size());
        const bool was_text = ws_.got_text();
        in_.consume(in_.size());
        std::string why = "controls are text messages";
        std::optional<Control> c;
        if (was_text) c = parse_control(text, srv_->check_filter, why);
        if (c)
            srv_->sink(*c);
        else
            queue_text(R"({"type":"refused","why":)" + json_string(why) + "}");
        read();
    }

  public:
    static std::string json_string(std::string_view s) {
        std::string o = "\"";
        for (char ch : s) {
            const auto u = static_cast<unsigned char>(ch);
            if (ch == '"' || ch == '\\') {
                o += '\\';
                o += ch;
            } else if (u < 0x20 || u >= 0x7f) {
                char b[8];
                std::snprintf(b, sizeof b, "\\u%04x", u);
                o += b;
            } else {
                o += ch;
            }
        }
        return o + "\"";
    }

  private:
    websocket::stream<tcp::socket> ws_;
    http::request<http::empty_body> req_;
    asio::steady_timer timer_;
    Server::Impl* srv_;
    beast::flat_buffer in_;
    std::deque<std::string> texts_;
    std::string out_text_;
    std::shared_ptr<const std::vector<uint8_t>> out_bin_;
    uint32_t last_seq_ = 0;
    bool any_sent_ = false, palette_sent_ = false, writing_ = false, open_ = false, closed_ = false;
};

// One HTTP exchange: read a request, answer it or hand the connection to a Socket.
class Exchange : public std::enable_shared_from_this<Exchange> {
  public:
    Exchange(tcp::socket s, Server::Impl* srv)
        : sock_(std::move(s)), timer_(sock_.get_executor()), srv_(srv) {}

    void run() {
        parser_.emplace();
        limit(*parser_);
        arm(srv_->opt.request_timeout);
        http::async_read(sock_, buf_, *parser_,
                         [self = shared_from_this()](error_code ec, std::size_t) { self->on_read(ec); });
    }

  private:
    void arm(std::chrono::milliseconds ms) {
        timer_.expires_after(ms);
        timer_.async_wait([self = shared_from_this()](error_code ec) {
            if (ec) return;
            error_code ignored;
            self->sock_.close(ignored);
        });
    }

    void on_read(error_code ec) {
        timer_.cancel();
        if (ec == http::error::end_of_stream || ec == asio::error::operation_aborted ||
            ec == asio::error::connection_reset || ec == asio::error::eof) {
            error_code ignored;
            sock_.close(ignored);
            return;
        }
        const Verdict v = ec ? parse_failure(ec) : check_request(parser_->get(), srv_->access);
        const unsigned version = ec ? 11 : parser_->get().version();
        if (v.route == Route::socket) {
            if (srv_->socket_count.load() >= srv_->opt.max_sockets) {
                answer({Route::refuse, http::status::service_unavailable, "too many pages open"}, version);
                return;
            }
            std::make_shared<Socket>(std::move(sock_), srv_)->run(parser_->release());
            return;
        }
        answer(v, version);
    }

    void answer(const Verdict& v, unsigned version) {
        res_.version(version);
        res_.set(http::field::server, kServerName);
        res_.keep_alive(false);
        res_.set(http::field::cache_control, "no-store");
        res_.set("X-Content-Type-Options", "nosniff");
        if (v.route == Route::page) {
            res_.result(http::status::ok);
            res_.set(http::field::content_type, "text/html; charset=utf-8");
            // Everything the page needs is inside it; it talks only to this server, and the
            // token in its address goes nowhere else.
            res_.set("Content-Security-Policy",
                     "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                     "connect-src 'self'; img-src data: blob:; frame-ancestors 'none'");
            res_.set("Referrer-Policy", "no-referrer");
            res_.body().assign(reinterpret_cast<const char*>(kPage), kPageSize);
        } else {
            res_.result(v.status);
            res_.set(http::field::content_type, "text/plain; charset=utf-8");
            res_.body() = v.why + "\n";
        }
        res_.prepare_payload();
        arm(srv_->opt.request_timeout);
        http::async_write(sock_, res_, [self = shared_from_this()](error_code, std::size_t) { self->linger(); });
    }

    // After the answer, read and drop what the client still sends until it closes, so closing
    // with unread bytes does not reset the connection before the client has read the answer.
    void linger() {
        error_code ignored;
        sock_.shutdown(tcp::socket::shutdown_send, ignored);
        sock_.async_read_some(asio::buffer(sink_), [self = shared_from_this()](error_code ec, std::size_t n) {
            self->drained_ += n;
            if (ec || self->drained_ > 1 << 20) {
                self->timer_.cancel();
                error_code ignored2;
                self->sock_.close(ignored2);
                return;
            }
            self->linger();
        });
    }

    tcp::socket sock_;
    asio::steady_timer timer_;
    Server::Impl* srv_;
    beast::flat_buffer buf_{kHeaderLimit + 1024};
    std::optional<RequestParser> parser_;
    http::response<http::string_body> res_;
    char sink_[4096];
    std::size_t drained_ = 0;
};

void Server::Impl::accept() {
    acceptor.async_accept([this](error_code ec, tcp::socket s) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
        if (!ec) std::make_shared<Exchange>(std::move(s), this)->run();
        accept();
    });
}

void Server::Impl::each_socket(const std::function<void(Socket&)>& f) {
    std::vector<std::shared_ptr<Socket>> live;
    for (auto& w : sockets)
        if (auto s = w.lock()) live.push_back(std::move(s));
    sockets.clear();
    for (auto& s : live) sockets.push_back(s);
    for (auto& s : live) f(*s);
}

void Server::Impl::wake_all() {
    wake_posted = false;
    each_socket([](Socket& s) { s.pump(); });
}

Server::Server(Options options, FilterCheck check_filter, ControlSink sink) : impl_(std::make_unique<Impl>()) {
    impl_->opt = std::move(options);
    impl_->check_filter = std::move(check_filter);
    impl_->sink = std::move(sink);
}

Server::~Server() {
    stop();
}

void Server::start() {
    Impl& m = *impl_;
    error_code ec;
    const auto addr = asio::ip::make_address(m.opt.bind, ec);
    if (ec) throw std::runtime_error("'" + m.opt.bind + "' is not an IP address");
    const tcp::endpoint ep(addr, m.opt.port);
    if (!m.acceptor.open(ep.protocol(), ec))
        if (!m.acceptor.set_option(asio::socket_base::reuse_address(true), ec))
            if (!m.acceptor.bind(ep, ec)) m.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec)
        throw std::runtime_error("cannot listen on " + m.opt.bind + ":" + std::to_string(m.opt.port) + ": " +
                                 ec.message());
    m.port = m.acceptor.local_endpoint().port();
    const bool open = m.opt.open || !addr.is_loopback();
    if (open) m.token = random_token();
    m.access = Access{m.port, open, m.token};
    m.accept();
    m.thread = std::thread([&m] { m.ioc.run(); });
}

void Server::stop() {
    Impl& m = *impl_;
    if (!m.thread.joinable()) return;
    asio::post(m.ioc, [&m] {
        error_code ignored;
        m.acceptor.close(ignored);
        m.each_socket([](Socket& s) { s.close(); });
        m.ioc.stop();
    });
    m.thread.join();
}

unsigned short Server::port() const {
    return impl_->port;
}

std::string Server::url() const {
    const Impl& m = *impl_;
    std::string host = m.opt.bind;
    if (host == "0.0.0.0" || host == "::") host = "127.0.0.1";  // any address: the local one works
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    std::string u = "http://" + host + ":" + std::to_string(m.port) + "/";
    if (!m.token.empty()) u += "?token=" + m.token;
    return u;
}

const std::string& Server::token() const {
    return impl_->token;
}

void Server::send_state(std::string json) {
    {
        std::lock_guard<std::mutex> l(impl_->mu);
        impl_->state = json;
    }
    send_note(std::move(json));
}

void Server::send_note(std::string json) {
    asio::post(impl_->ioc, [m = impl_.get(), j = std::move(json)] { m->each_socket([&](Socket& s) { s.queue_text(j); }); });
}

void Server::set_palette(std::vector<uint8_t> message) {
    std::lock_guard<std::mutex> l(impl_->mu);
    impl_->palette = std::make_shared<const std::vector<uint8_t>>(std::move(message));
}

void Server::publish(std::shared_ptr<const std::vector<uint8_t>> frame) {
    {
        std::lock_guard<std::mutex> l(impl_->mu);
        impl_->latest = std::move(frame);
    }
    ++impl_->published;
    // One wake-up at a time: frames arriving while it waits only replace the newest.
    if (!impl_->wake_posted.exchange(true)) asio::post(impl_->ioc, [m = impl_.get()] { m->wake_all(); });
}

Server::Counters Server::counters() const {
    return {impl_->published.load(), impl_->sent.load(), impl_->dropped.load(), impl_->socket_count.load()};
}

}  // namespace vexel_view
