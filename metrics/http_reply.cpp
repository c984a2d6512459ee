#include "metrics/http_reply.h"

namespace sondrel {

namespace {

std::string_view reasonPhrase(HttpStatus status) {
    switch (status) {
    case HttpStatus::Ok: return "OK";
    case HttpStatus::BadRequest: return "Bad Request";
    case HttpStatus::NotFound: return "Not Found";
    case HttpStatus::MethodNotAllowed: return "Method Not Allowed";
    case HttpStatus::HeaderFieldsTooLarge: return "Request Header Fields Too Large";
    case HttpStatus::InternalServerError: return "Internal Server Error";
    case HttpStatus::VersionNotSupported: return "HTTP Version Not Supported";
    }
    return "Internal Server Error";
}

}  // namespace

std::string httpReply(HttpStatus status, std::string_view contentType, std::string_view body) {
    std::string reply;
    reply.reserve(160 + body.size());
    reply += "HTTP/1.1 ";
    reply += std::to_string(int(status));
    reply += ' ';
    reply += reasonPhrase(status);
    reply += "\r\nContent-Type: ";
    reply += contentType;
    reply += "\r\nContent-Length: ";
    reply += std::to_string(body.size());
    if (status == HttpStatus::MethodNotAllowed) reply += "\r\nAllow: GET";
    reply += "\r\nConnection: close\r\n\r\n";
    reply += body;
    return reply;
}

std::string httpErrorReply(HttpStatus status) {
    std::string body(reasonPhrase(status));
    body += '\n';
    return httpReply(status, "text/plain; charset=utf-8", body);
}

}  // namespace sondrel
