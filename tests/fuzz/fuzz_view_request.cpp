// Feeds arbitrary bytes to the viewer's HTTP request reader and its checks, as a client of the
// server may send them, on loopback and with a token; whatever comes in gets a verdict, and only
// a request that names the page or the socket with the right host, token and origin is served.
//
// Input: the request bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "viewer/http_check.hpp"

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vexel_view;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const Access configs[] = {{8080, false, ""}, {8080, true, "0123456789abcdef0123456789abcdef"}};
    for (const Access& a : configs) {
        const Verdict v = check_request_bytes(bytes, a);
        if (v.route == Route::refuse) {
            check(static_cast<int>(v.status) >= 400 && static_cast<int>(v.status) < 500, "refusal is a 4xx");
            check(!v.why.empty(), "refusal says why");
        } else {
            check(bytes.substr(0, 4) == "GET ", "served something other than GET");
            if (!a.token.empty())
                check(bytes.find("token=" + a.token) != std::string_view::npos, "served without the token");
            else
                check(bytes.find(":8080") != std::string_view::npos, "served to a host beyond loopback");
        }
    }
    return 0;
}
