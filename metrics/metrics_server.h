#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "metrics/listen_address.h"

namespace sondrel {

struct MetricsServerLimits {
    std::size_t maxRequestBytes = 8192;  // the whole request head
    // Beyond this many, a new connection takes the slot of one still waiting
    // for its head, so that held connections never queue a scrape behind
    // them; only while every slot is being answered do new ones wait.
    std::size_t maxConnections = 64;
    // From accept to the end of the request head. A scraper sends its head at
    // once; a client trickling bytes must not hold a slot for long.
    std::chrono::milliseconds readTimeout{1000};
    std::chrono::milliseconds writeTimeout{10000};  // for the whole response
    // After the response, what the client still sends is read and dropped for
    // this long, so that closing with unread bytes never resets the connection
    // before the client has read the response.
    std::chrono::milliseconds lingerTimeout{1000};
};

// The /metrics endpoint: one thread that polls the listening socket and every
// open connection, answers one request per connection and closes it. The
// body comes from a function called on that thread for each scrape.
class MetricsServer {
public:
    using BodySource = std::function<std::string()>;

    explicit MetricsServer(ListenAddress address, MetricsServerLimits limits = {});
    ~MetricsServer();

    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Binds and listens; empty when that worked, else why not ("Address
    // already in use"). Done before start so that a bad address is told at once.
    std::string listen();
    // The port actually bound (the asked-for one, or the one port 0 got).
    std::uint16_t port() const { return m_port; }
    const std::string& addressText() const { return m_address.text; }

    // Serves until stop(); the source must stay valid until then.
    void start(BodySource source);
    // Ends the thread and closes every socket; returns when it has ended.
    void stop();

private:
    void run();

    ListenAddress m_address;
    MetricsServerLimits m_limits;
    BodySource m_source;
    int m_listenFd = -1;
    int m_wakeFd = -1;
    std::uint16_t m_port = 0;
    std::thread m_thread;
};

}  // namespace sondrel
