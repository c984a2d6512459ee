#include "metrics/http_request.h"

namespace sondrel {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// RFC 9110 tchar.
bool isTokenChar(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(char(c)) != std::string_view::npos;
}

bool isToken(std::string_view text) {
    if (text.empty()) return false;
    for (const unsigned char c : text) {
        if (!isTokenChar(c)) return false;
    }
    return true;
}

// Visible characters only: no space, no control character, no byte above 0x7E.
bool isTargetText(std::string_view text) {
    for (const unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7F) return false;
    }
    return true;
}

// Field values: visible characters, space, tab and obs-text; no other control character.
bool isFieldValue(std::string_view text) {
    for (const unsigned char c : text) {
        if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
    }
    return true;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string_view trimWhitespace(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool isZeroLength(std::string_view value) {
    if (value.empty()) return false;
    for (const char c : value) {
        if (c != '0') return false;
    }
    return true;
}

HttpRequestCheck answer(HttpStatus status) { return {true, status}; }

enum class Version { Http10, Http11, Unsupported, Invalid };

Version readVersion(std::string_view text) {
    if (text == "HTTP/1.1") return Version::Http11;
    if (text == "HTTP/1.0") return Version::Http10;
    const bool wellFormed = text.size() == 8 && text.substr(0, 5) == "HTTP/" && text[5] >= '0' && text[5] <= '9' &&
                            text[6] == '.' && text[7] >= '0' && text[7] <= '9';
    return wellFormed ? Version::Unsupported : Version::Invalid;
}

}  // namespace

HttpRequestCheck checkHttpRequest(std::string_view received, std::size_t maxHeadBytes) {
    const std::size_t headEnd = received.find("\r\n\r\n");
    if (headEnd == std::string_view::npos || headEnd + 4 > maxHeadBytes) {
        if (received.size() >= maxHeadBytes) return answer(HttpStatus::HeaderFieldsTooLarge);
        return {};
    }
    std::string_view head = received.substr(0, headEnd + 2);  // every line with its CR LF

    const std::size_t requestLineEnd = head.find(kLineEnd);
    const std::string_view requestLine = head.substr(0, requestLineEnd);
    head.remove_prefix(requestLineEnd + kLineEnd.size());

    const std::size_t firstSpace = requestLine.find(' ');
    const std::size_t secondSpace =
        firstSpace == std::string_view::npos ? std::string_view::npos : requestLine.find(' ', firstSpace + 1);
    if (secondSpace == std::string_view::npos) return answer(HttpStatus::BadRequest);
    const std::string_view method = requestLine.substr(0, firstSpace);
    const std::string_view target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const Version version = readVersion(requestLine.substr(secondSpace + 1));
    if (!isToken(method) || target.empty() || !isTargetText(target) || version == Version::Invalid) {
        return answer(HttpStatus::BadRequest);
    }
    if (version == Version::Unsupported) return answer(HttpStatus::VersionNotSupported);

    int hostHeaders = 0;
    while (!head.empty()) {
        const std::size_t lineEnd = head.find(kLineEnd);
        const std::string_view line = head.substr(0, lineEnd);
        head.remove_prefix(lineEnd + kLineEnd.size());
        const std::size_t colon = line.find(':');
        // No name, whitespace before the colon, or a folded continuation line.
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return answer(HttpStatus::BadRequest);
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trimWhitespace(line.substr(colon + 1));
        if (!isFieldValue(value)) return answer(HttpStatus::BadRequest);
        if (equalsIgnoringCase(name, "Host")) ++hostHeaders;
        if (equalsIgnoringCase(name, "Transfer-Encoding")) return answer(HttpStatus::BadRequest);
        if (equalsIgnoringCase(name, "Content-Length") && !isZeroLength(value)) return answer(HttpStatus::BadRequest);
    }
    if (hostHeaders > 1 || (version == Version::Http11 && hostHeaders == 0)) return answer(HttpStatus::BadRequest);

    if (method != "GET") return answer(HttpStatus::MethodNotAllowed);
    // Origin form only; a query (Prometheus' "params") is allowed and ignored.
    if (target.front() != '/') return answer(HttpStatus::BadRequest);
    const std::string_view path = target.substr(0, target.find('?'));
    return answer(path == "/metrics" ? HttpStatus::Ok : HttpStatus::NotFound);
}

}  // namespace sondrel
