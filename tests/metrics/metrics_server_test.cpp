#include "metrics/metrics_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
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

// Idle clients hold every slot; a scrape waits in the backlog and is answered
// once their read time is up, and an oversized head is refused.
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

TEST(MetricsServer, TakenPortIsReported) {
    MetricsServer first(loopbackListenAddress(0));
    ASSERT_EQ(first.listen(), "");
    MetricsServer second(loopbackListenAddress(first.port()));
    EXPECT_EQ(second.listen(), "Address already in use");
}

}  // namespace
}  // namespace sondrel
