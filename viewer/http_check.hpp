// Which requests the viewer serves: the page, its WebSocket, and a refusal with a status for
// everything else. The request bytes come from any program that can reach the port, so the
// checks run on the parsed request before anything is served.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <boost/beast/core/error.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/status.hpp>

namespace vexel_view {

namespace http = boost::beast::http;

// Who may talk to the server.
struct Access {
    unsigned short port = 0;  // the listening port, as it appears in Host and Origin
    // Listening beyond loopback: any Host name is taken, and the token is required. On loopback
    // only the loopback names are taken, so a page from elsewhere cannot reach the server
    // through a name that resolves to 127.0.0.1.
    bool open = false;
    std::string token;  // when not empty, the query must carry token=<this>
};

enum class Route { page, socket, refuse };

struct Verdict {
    Route route = Route::refuse;
    http::status status = http::status::bad_request;
    std::string why;  // the body of a refusal
};

// Request lines and headers together; the page and socket requests need a few hundred bytes.
constexpr std::size_t kHeaderLimit = 8192;

using RequestParser = http::request_parser<http::empty_body>;
// The server's limits on a parser: headers up to kHeaderLimit, no body at all.
void limit(RequestParser& parser);

Verdict check_request(const http::request<http::empty_body>& req, const Access& access);
// The refusal for a request the parser rejected.
Verdict parse_failure(const boost::beast::error_code& ec);
// Parses the bytes of one request with the server's limits and checks it; a request that
// does not end within the bytes is refused as incomplete.
Verdict check_request_bytes(std::string_view bytes, const Access& access);

}  // namespace vexel_view
