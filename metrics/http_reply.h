#pragma once

#include <string>
#include <string_view>

#include "metrics/http_request.h"

namespace sondrel {

inline constexpr std::string_view kExpositionContentType = "text/plain; version=0.0.4; charset=utf-8";

// A whole HTTP/1.1 response that ends the connection ("Connection: close").
// Error statuses carry their reason phrase as a short text body; 405 names
// the one method there is.
//   HTTP/1.1 200 OK\r\nContent-Type: ...\r\nContent-Length: 5\r\nConnection: close\r\n\r\nbody
std::string httpReply(HttpStatus status, std::string_view contentType, std::string_view body);
std::string httpErrorReply(HttpStatus status);

}  // namespace sondrel
