#pragma once

#include <cstddef>
#include <string_view>

namespace sondrel {

enum class HttpStatus {
    Ok = 200,
    BadRequest = 400,
    NotFound = 404,
    MethodNotAllowed = 405,
    HeaderFieldsTooLarge = 431,
    InternalServerError = 500,
    VersionNotSupported = 505,
};

// What the bytes received so far on a connection amount to.
struct HttpRequestCheck {
    bool complete = false;  // false: wait for more bytes
    HttpStatus status = HttpStatus::BadRequest;  // Ok: a GET of /metrics
};

// Reads one request head, strictly: "GET <origin-form target> HTTP/1.x" and
// header lines, every line ending in CR LF, the head ending in an empty line.
// Nothing is read past the head: a request body is refused by its headers
// (Content-Length other than 0, Transfer-Encoding), since a scrape has none.
// HTTP/1.1 needs exactly one Host header. The head must fit in maxHeadBytes.
//   GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:9100\r\nAccept: text/plain\r\n\r\n
HttpRequestCheck checkHttpRequest(std::string_view received, std::size_t maxHeadBytes);

}  // namespace sondrel
