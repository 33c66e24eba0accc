#include "viewer/http_check.hpp"

#include <array>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

namespace vexel_view {

namespace {

Verdict refuse(http::status status, std::string why) {
    return {Route::refuse, status, std::move(why)};
}

// Same result time whatever prefix of the token matches.
bool same_token(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// Value of `key` in a query "a=1&b=2"; false when absent.
bool query_value(std::string_view query, std::string_view key, std::string_view& value) {
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const std::size_t eq = pair.find('=');
        if (pair.substr(0, eq) == key) {
            value = eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1);
            return true;
        }
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return false;
}

bool loopback_host(std::string_view host, unsigned short port) {
    const std::string p = ":" + std::to_string(port);
    const std::array<std::string, 3> names = {"127.0.0.1" + p, "localhost" + p, "[::1]" + p};
    for (const std::string& n : names)
        if (host == n) return true;
    return false;
}

}  // namespace

void limit(RequestParser& parser) {
    parser.header_limit(kHeaderLimit);
    parser.body_limit(0);
}

Verdict check_request(const http::request<http::empty_body>& req, const Access& access) {
    if (req.method() != http::verb::get) return refuse(http::status::method_not_allowed, "only GET is served");
    const std::string_view target(req.target().data(), req.target().size());
    if (target.empty() || target.front() != '/') return refuse(http::status::bad_request, "bad request target");
    const std::size_t q = target.find('?');
    const std::string_view path = target.substr(0, q);
    const std::string_view query = q == std::string_view::npos ? std::string_view{} : target.substr(q + 1);
    Route route;
    if (path == "/")
        route = Route::page;
    else if (path == "/ws")
        route = Route::socket;
    else
        return refuse(http::status::not_found, "no such page");

    const auto host_field = req.find(http::field::host);
    if (host_field == req.end()) return refuse(http::status::bad_request, "no Host header");
    const std::string_view host(host_field->value().data(), host_field->value().size());
    if (!access.open && !loopback_host(host, access.port))
        return refuse(http::status::forbidden, "this server answers to its loopback address only");
    if (!access.token.empty()) {
        std::string_view token;
        if (!query_value(query, "token", token) || !same_token(token, access.token))
            return refuse(http::status::forbidden, "the address needs the token the server printed");
    }
    if (route == Route::page) return {Route::page, http::status::ok, {}};

    if (!boost::beast::websocket::is_upgrade(req))
        return refuse(http::status::bad_request, "expected a WebSocket upgrade");
    // Browsers send the page's origin with every socket they open; only our own page may.
    const auto origin = req.find(http::field::origin);
    if (origin == req.end() ||
        std::string_view(origin->value().data(), origin->value().size()) != "http://" + std::string(host))
        return refuse(http::status::forbidden, "WebSocket from another origin");
    return {Route::socket, http::status::switching_protocols, {}};
}

Verdict parse_failure(const boost::beast::error_code& ec) {
    if (ec == http::error::header_limit) return refuse(http::status::request_header_fields_too_large, "headers too large");
    if (ec == http::error::body_limit || ec == http::error::unexpected_body)
        return refuse(http::status::payload_too_large, "requests carry no body");
    return refuse(http::status::bad_request, "malformed request");
}

Verdict check_request_bytes(std::string_view bytes, const Access& access) {
    RequestParser parser;
    limit(parser);
    parser.eager(true);
    boost::beast::error_code ec;
    std::size_t used = 0;
    while (!parser.is_done() && used < bytes.size()) {
        const std::size_t n = parser.put(boost::asio::buffer(bytes.data() + used, bytes.size() - used), ec);
        if (ec == http::error::need_more) {
            ec = {};
            if (n == 0) break;
        }
        if (ec) return parse_failure(ec);
        used += n;
    }
    if (!parser.is_done()) return refuse(http::status::bad_request, "incomplete request");
    return check_request(parser.get(), access);
}

}  // namespace vexel_view
