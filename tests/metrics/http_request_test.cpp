#include "metrics/http_request.h"

#include <gtest/gtest.h>

#include <string>

namespace sondrel {
namespace {

using namespace std::string_literals;

constexpr std::size_t kLimit = 256;

struct Row {
    const char* name;
    std::string received;
    bool complete;
    HttpStatus status;  // when complete
};

TEST(HttpRequest, Table) {
    const std::string host = "Host: 127.0.0.1:9100\r\n";
    const Row rows[] = {
        {"scrape", "GET /metrics HTTP/1.1\r\n" + host + "Accept: text/plain\r\n\r\n", true, HttpStatus::Ok},
        {"HTTP/1.0 without Host", "GET /metrics HTTP/1.0\r\n\r\n", true, HttpStatus::Ok},
        {"query ignored", "GET /metrics?target=x HTTP/1.1\r\n" + host + "\r\n", true, HttpStatus::Ok},
        {"bytes after the head ignored", "GET /metrics HTTP/1.0\r\n\r\nGET /x HTTP/1.0\r\n\r\n", true, HttpStatus::Ok},
        {"header value trimmed, empty value", "GET /metrics HTTP/1.1\r\nHost:   a  \r\nX-Empty:\r\n\r\n", true,
         HttpStatus::Ok},
        {"Content-Length 0", "GET /metrics HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n", true, HttpStatus::Ok},
        {"head not yet whole", "GET /metrics HTTP/1.1\r\n" + host, false, HttpStatus::BadRequest},
        {"nothing yet", "", false, HttpStatus::BadRequest},
        {"other path", "GET /metricsx HTTP/1.0\r\n\r\n", true, HttpStatus::NotFound},
        {"root", "GET / HTTP/1.0\r\n\r\n", true, HttpStatus::NotFound},
        {"trailing slash", "GET /metrics/ HTTP/1.0\r\n\r\n", true, HttpStatus::NotFound},
        {"POST", "POST /metrics HTTP/1.1\r\n" + host + "\r\n", true, HttpStatus::MethodNotAllowed},
        {"HEAD", "HEAD /metrics HTTP/1.1\r\n" + host + "\r\n", true, HttpStatus::MethodNotAllowed},
        {"lower-case method", "get /metrics HTTP/1.0\r\n\r\n", true, HttpStatus::MethodNotAllowed},
        {"HTTP/2.0", "GET /metrics HTTP/2.0\r\n\r\n", true, HttpStatus::VersionNotSupported},
        {"HTTP/0.9 line", "GET /metrics\r\n\r\n", true, HttpStatus::BadRequest},
        {"bad version", "GET /metrics HTTP/1.x\r\n\r\n", true, HttpStatus::BadRequest},
        {"double space", "GET  /metrics HTTP/1.0\r\n\r\n", true, HttpStatus::BadRequest},
        {"absolute form", "GET http://h/metrics HTTP/1.1\r\n" + host + "\r\n", true, HttpStatus::BadRequest},
        {"asterisk", "GET * HTTP/1.1\r\n" + host + "\r\n", true, HttpStatus::BadRequest},
        {"HTTP/1.1 without Host", "GET /metrics HTTP/1.1\r\n\r\n", true, HttpStatus::BadRequest},
        {"two Host", "GET /metrics HTTP/1.1\r\n" + host + host + "\r\n", true, HttpStatus::BadRequest},
        {"space before colon", "GET /metrics HTTP/1.0\r\nHost : a\r\n\r\n", true, HttpStatus::BadRequest},
        {"folded line", "GET /metrics HTTP/1.0\r\nX: a\r\n b\r\n\r\n", true, HttpStatus::BadRequest},
        {"no colon", "GET /metrics HTTP/1.0\r\nnonsense\r\n\r\n", true, HttpStatus::BadRequest},
        {"bare LF in a value", "GET /metrics HTTP/1.0\r\nX: a\nb\r\n\r\n", true, HttpStatus::BadRequest},
        {"NUL in a value", "GET /metrics HTTP/1.0\r\nX: a\0b\r\n\r\n"s, true, HttpStatus::BadRequest},
        {"body announced", "GET /metrics HTTP/1.1\r\n" + host + "Content-Length: 5\r\n\r\nhello", true,
         HttpStatus::BadRequest},
        {"chunked", "GET /metrics HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n", true,
         HttpStatus::BadRequest},
        {"empty line first", "\r\nGET /metrics HTTP/1.0\r\n\r\n", true, HttpStatus::BadRequest},
        {"LF line ends only", "GET /metrics HTTP/1.0\n\n", false, HttpStatus::BadRequest},
        {"control character in target", "GET /met\x01rics HTTP/1.0\r\n\r\n", true, HttpStatus::BadRequest},
        {"byte above 0x7E in target", "GET /m\xC3\xA9trics HTTP/1.0\r\n\r\n", true, HttpStatus::BadRequest},
        {"too long without an end", "GET /" + std::string(kLimit, 'a'), true, HttpStatus::HeaderFieldsTooLarge},
        {"end just past the limit", "GET /metrics HTTP/1.0\r\nX: " + std::string(kLimit - 29, 'a') + "\r\n\r\n", true,
         HttpStatus::HeaderFieldsTooLarge},
        {"end right at the limit", "GET /metrics HTTP/1.0\r\nX: " + std::string(kLimit - 30, 'a') + "\r\n\r\n", true,
         HttpStatus::Ok},
    };
    for (const Row& row : rows) {
        const HttpRequestCheck check = checkHttpRequest(row.received, kLimit);
        EXPECT_EQ(check.complete, row.complete) << row.name;
        if (row.complete && check.complete) {
            EXPECT_EQ(check.status, row.status) << row.name;
        }
    }
}

}  // namespace
}  // namespace sondrel
