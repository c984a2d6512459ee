#include "metrics/metrics_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sondrel {
namespace {

using namespace std::chrono_literals;

int connectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

void sendAll(int fd, const std::string& bytes) {
    EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
}

// Everything until the server closes; a generous bound so a hang fails instead of blocking.
std::string readToEnd(int fd) {
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= 0ms || ::poll(&p, 1, int(left.count())) <= 0) {
            ADD_FAILURE() << "no end of the response";
            break;
        }
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        received.append(chunk, std::size_t(n));
    }
    ::close(fd);
    return received;
}

// Connects without waiting: beyond a full listen backlog the kernel drops the
// handshake and retries it only after a second.
int connectNonBlocking(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

// One scrape bounded by the time given: the whole response, or nothing.
std::optional<std::string> scrapeWithin(std::uint16_t port, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    const int fd = connectNonBlocking(port);
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    std::size_t sent = 0;
    std::string received;
    for (;;) {
        pollfd p{fd, short(sent < request.size() ? POLLOUT : POLLIN), 0};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= 0ms || ::poll(&p, 1, int(left.count())) <= 0) break;
        if (sent < request.size()) {
            const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += std::size_t(n);
            continue;
        }
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n == 0) {
            ::close(fd);
            return received;
        }
        if (n < 0) break;
        received.append(chunk, std::size_t(n));
    }
    ::close(fd);
    return std::nullopt;
}

struct ServerFixture : ::testing::Test {
    MetricsServerLimits limits;
    std::unique_ptr<MetricsServer> server;
    std::atomic<int> scrapes{0};

    void start() {
        server = std::make_unique<MetricsServer>(loopbackListenAddress(0), limits);
        ASSERT_EQ(server->listen(), "");
        server->start([this] {
            ++scrapes;
            return std::string("up 1\n");
        });
    }
};

TEST_F(ServerFixture, AnswersEachRequestAndCloses) {
    start();
    const struct {
        const char* name;
        std::vector<std::string> pieces;  // sent one after the other
        bool halfClose;
        std::string expected;
    } rows[] = {
        {"scrape",
         {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"},
         false,
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: 5\r\n"
         "Connection: close\r\n\r\nup 1\n"},
        {"head in three pieces, then a half-close",
         {"GET /met", "rics HTTP/1.0\r\n", "\r\n"},
         true,
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: 5\r\n"
         "Connection: close\r\n\r\nup 1\n"},
        {"elsewhere",
         {"GET / HTTP/1.0\r\n\r\n"},
         false,
         "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 10\r\n"
         "Connection: close\r\n\r\nNot Found\n"},
        {"not GET",
         {"DELETE /metrics HTTP/1.0\r\n\r\n"},
         false,
         "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 19\r\n"
         "Allow: GET\r\nConnection: close\r\n\r\nMethod Not Allowed\n"},
        {"pipelined second request unanswered",
         {"GET /metrics HTTP/1.0\r\n\r\nGET /metrics HTTP/1.0\r\n\r\n"},
         false,
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: 5\r\n"
         "Connection: close\r\n\r\nup 1\n"},
    };
    for (const auto& row : rows) {
        const int fd = connectTo(server->port());
        for (const std::string& piece : row.pieces) sendAll(fd, piece);
        if (row.halfClose) ::shutdown(fd, SHUT_WR);
        EXPECT_EQ(readToEnd(fd), row.expected) << row.name;
    }
    EXPECT_EQ(scrapes.load(), 3);
}

// Idle clients hold every slot; a scrape takes the slot of one of them, the
// other is closed once its read time is up, and an oversized head is refused.
TEST_F(ServerFixture, IdleClientsTimeOutAndLimitsHold) {
    limits.maxConnections = 2;
    limits.maxRequestBytes = 64;
    limits.readTimeout = 300ms;
    start();
    const int idle1 = connectTo(server->port());
    const int idle2 = connectTo(server->port());
    const int waiting = connectTo(server->port());
    sendAll(waiting, "GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_EQ(readToEnd(idle1), "");
    EXPECT_EQ(readToEnd(idle2), "");
    EXPECT_TRUE(readToEnd(waiting).starts_with("HTTP/1.1 200 OK\r\n"));

    const int large = connectTo(server->port());
    sendAll(large, "GET /metrics HTTP/1.0\r\nX: " + std::string(100, 'a') + "\r\n\r\n");
    EXPECT_TRUE(readToEnd(large).starts_with("HTTP/1.1 431 Request Header Fields Too Large\r\n"));
}

// Many local clients trickling their heads a byte at a time must not make a
// scrape wait for their read time to run out: each is answered at once.
TEST_F(ServerFixture, TricklingClientsDoNotDelayScrapes) {
    start();
    const std::string head = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    std::vector<int> tricklers;
    for (int i = 0; i < 100; ++i) tricklers.push_back(connectNonBlocking(server->port()));
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        for (std::size_t at = 0; at < head.size() && !done; ++at) {
            for (const int fd : tricklers) ::send(fd, &head[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::this_thread::sleep_for(200ms);
        }
    });
    std::this_thread::sleep_for(300ms);
    for (int i = 0; i < 5; ++i) {
        if (i > 0) std::this_thread::sleep_for(150ms);  // every scrape while the tricklers hold their slots
        const auto began = std::chrono::steady_clock::now();
        const std::optional<std::string> response = scrapeWithin(server->port(), 1500ms);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
        std::printf("scrape %d: %lld ms%s\n", i + 1, static_cast<long long>(took.count()), response ? "" : " (no response)");
        EXPECT_TRUE(response && response->starts_with("HTTP/1.1 200 OK\r\n") && response->ends_with("\r\n\r\nup 1\n"));
        EXPECT_LT(took, 250ms);
    }
    done = true;
    trickle.join();
    for (const int fd : tricklers) ::close(fd);
}

TEST(MetricsServer, TakenPortIsReported) {
    MetricsServer first(loopbackListenAddress(0));
    ASSERT_EQ(first.listen(), "");
    MetricsServer second(loopbackListenAddress(first.port()));
    EXPECT_EQ(second.listen(), "Address already in use");
}

}  // namespace
}  // namespace sondrel
