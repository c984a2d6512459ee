#include "metrics/metrics_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include "metrics/http_reply.h"
#include "metrics/http_request.h"

namespace sondrel {

namespace {

using SteadyClock = std::chrono::steady_clock;

std::string errnoText(int error) { return std::generic_category().message(error); }

// One accepted connection: read the request head, write the reply, then read
// and drop whatever else comes until the client closes or the time is up.
class Connection {
public:
    enum class State { Reading, Writing, Lingering, Done };

    Connection(int fd, SteadyClock::time_point acceptedAt, SteadyClock::time_point deadline)
        : m_fd(fd), m_acceptedAt(acceptedAt), m_deadline(deadline) {}
    Connection(Connection&& other) noexcept
        : m_fd(std::exchange(other.m_fd, -1)), m_state(other.m_state), m_buffer(std::move(other.m_buffer)),
          m_sent(other.m_sent), m_acceptedAt(other.m_acceptedAt), m_deadline(other.m_deadline) {}
    Connection& operator=(Connection&& other) noexcept {
        if (this != &other) {
            closeFd();
            m_fd = std::exchange(other.m_fd, -1);
            m_state = other.m_state;
            m_buffer = std::move(other.m_buffer);
            m_sent = other.m_sent;
            m_acceptedAt = other.m_acceptedAt;
            m_deadline = other.m_deadline;
        }
        return *this;
    }
    ~Connection() { closeFd(); }

    int fd() const { return m_fd; }
    State state() const { return m_state; }
    SteadyClock::time_point deadline() const { return m_deadline; }
    SteadyClock::time_point acceptedAt() const { return m_acceptedAt; }
    // Only a connection still reading its head may give up its slot: one
    // being answered has cost a scrape already and is owed its reply.
    bool sheddable() const { return m_state == State::Reading; }
    bool idle() const { return m_buffer.empty(); }
    short pollEvents() const { return m_state == State::Writing ? POLLOUT : POLLIN; }

    void advance(short revents, SteadyClock::time_point now, const MetricsServerLimits& limits,
                 const MetricsServer::BodySource& source) {
        if (revents & POLLNVAL) {
            m_state = State::Done;
            return;
        }
        switch (m_state) {
        case State::Reading: read(now, limits, source); break;
        case State::Writing:
            if (revents & (POLLERR | POLLHUP)) {
                m_state = State::Done;
            } else {
                write(now, limits);
            }
            break;
        case State::Lingering: drain(); break;
        case State::Done: break;
        }
    }

    void expireIfDue(SteadyClock::time_point now) {
        if (now >= m_deadline) m_state = State::Done;
    }

private:
    void closeFd() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

    void read(SteadyClock::time_point now, const MetricsServerLimits& limits, const MetricsServer::BodySource& source) {
        char chunk[4096];
        bool ended = false;  // the client sent all it will (a half-close still reads the reply)
        while (m_buffer.size() < limits.maxRequestBytes) {
            const std::size_t room = std::min(sizeof chunk, limits.maxRequestBytes - m_buffer.size());
            const ssize_t n = ::recv(m_fd, chunk, room, MSG_DONTWAIT);
            if (n > 0) {
                m_buffer.append(chunk, std::size_t(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n < 0) {
                m_state = State::Done;
                return;
            }
            ended = true;
            break;
        }
        const HttpRequestCheck check = checkHttpRequest(m_buffer, limits.maxRequestBytes);
        if (!check.complete) {
            if (ended) m_state = State::Done;
            return;
        }
        m_buffer = reply(check.status, source);
        m_sent = 0;
        m_state = State::Writing;
        m_deadline = now + limits.writeTimeout;
        write(now, limits);
    }

    static std::string reply(HttpStatus status, const MetricsServer::BodySource& source) {
        if (status != HttpStatus::Ok) return httpErrorReply(status);
        try {
            return httpReply(HttpStatus::Ok, kExpositionContentType, source());
        } catch (const std::exception&) {
            return httpErrorReply(HttpStatus::InternalServerError);
        }
    }

    void write(SteadyClock::time_point now, const MetricsServerLimits& limits) {
        while (m_sent < m_buffer.size()) {
            const ssize_t n = ::send(m_fd, m_buffer.data() + m_sent, m_buffer.size() - m_sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                m_sent += std::size_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            m_state = State::Done;
            return;
        }
        ::shutdown(m_fd, SHUT_WR);
        m_buffer.clear();
        m_buffer.shrink_to_fit();
        m_state = State::Lingering;
        m_deadline = now + limits.lingerTimeout;
    }

    void drain() {
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) continue;
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            m_state = State::Done;
            return;
        }
    }

    int m_fd = -1;
    State m_state = State::Reading;
    std::string m_buffer;
    std::size_t m_sent = 0;
    SteadyClock::time_point m_acceptedAt;
    SteadyClock::time_point m_deadline;
};

// Frees a slot for a new connection, from the one whose loss costs least:
// not one accepted in this round (its head may simply not have arrived yet),
// then one that has sent nothing, then the one waiting longest.
void shedOne(std::vector<Connection>& connections, SteadyClock::time_point now) {
    const auto key = [now](const Connection& c) {
        return std::tuple(c.acceptedAt() == now, !c.idle(), c.acceptedAt());
    };
    auto victim = connections.end();
    for (auto it = connections.begin(); it != connections.end(); ++it) {
        if (it->sheddable() && (victim == connections.end() || key(*it) < key(*victim))) victim = it;
    }
    if (victim != connections.end()) connections.erase(victim);
}

int pollTimeout(const std::vector<Connection>& connections, SteadyClock::time_point now,
                std::optional<SteadyClock::time_point> acceptPausedUntil) {
    std::optional<SteadyClock::time_point> next = acceptPausedUntil;
    for (const Connection& c : connections) {
        if (!next || c.deadline() < *next) next = c.deadline();
    }
    if (!next) return -1;
    if (*next <= now) return 0;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
    return int(std::min<std::chrono::milliseconds::rep>(wait.count(), 60'000));
}

}  // namespace

MetricsServer::MetricsServer(ListenAddress address, MetricsServerLimits limits)
    : m_address(std::move(address)), m_limits(limits) {}

MetricsServer::~MetricsServer() {
    stop();
    if (m_listenFd >= 0) ::close(m_listenFd);
    if (m_wakeFd >= 0) ::close(m_wakeFd);
}

std::string MetricsServer::listen() {
    const auto* socketAddress = reinterpret_cast<const sockaddr*>(&m_address.socketAddress);
    const int fd = ::socket(socketAddress->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return errnoText(errno);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, socketAddress, m_address.socketAddressLength) != 0 || ::listen(fd, 64) != 0) {
        const int error = errno;
        ::close(fd);
        return errnoText(error);
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    if (bound.ss_family == AF_INET) {
        m_port = ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    } else {
        m_port = ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port);
    }
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        const int error = errno;
        ::close(fd);
        return errnoText(error);
    }
    m_listenFd = fd;
    m_wakeFd = wakeFd;
    return {};
}

void MetricsServer::start(BodySource source) {
    if (m_listenFd < 0 || m_thread.joinable()) return;
    m_source = std::move(source);
    m_thread = std::thread([this] { run(); });
}

void MetricsServer::stop() {
    if (!m_thread.joinable()) return;
    const std::uint64_t one = 1;
    while (::write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    m_thread.join();
}

void MetricsServer::run() {
    std::vector<Connection> connections;
    std::vector<pollfd> fds;
    std::optional<SteadyClock::time_point> acceptPausedUntil;
    for (;;) {
        SteadyClock::time_point now = SteadyClock::now();
        if (acceptPausedUntil && now >= *acceptPausedUntil) acceptPausedUntil.reset();
        const auto canAccept = [&] {
            return connections.size() < m_limits.maxConnections ||
                   std::ranges::any_of(connections, &Connection::sheddable);
        };
        const bool accepting = !acceptPausedUntil && canAccept();
        fds.clear();
        fds.push_back({m_wakeFd, POLLIN, 0});
        if (accepting) fds.push_back({m_listenFd, POLLIN, 0});
        const std::size_t first = fds.size();
        for (const Connection& c : connections) fds.push_back({c.fd(), c.pollEvents(), 0});

        if (::poll(fds.data(), fds.size(), pollTimeout(connections, now, acceptPausedUntil)) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) return;

        now = SteadyClock::now();
        for (std::size_t i = 0; i < connections.size(); ++i) {
            Connection& c = connections[i];
            if (fds[first + i].revents != 0) c.advance(fds[first + i].revents, now, m_limits, m_source);
            c.expireIfDue(now);
        }
        std::erase_if(connections, [](const Connection& c) { return c.state() == Connection::State::Done; });

        // Everything pending is taken now: a connection left in the backlog
        // would wait behind whatever holds the slots.
        if (!accepting || (fds[1].revents & POLLIN) == 0) continue;
        while (canAccept()) {
            const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                if (connections.size() >= m_limits.maxConnections) shedOne(connections, now);
                connections.emplace_back(fd, now, now + m_limits.readTimeout);
                continue;
            }
            if (errno == EINTR || errno == ECONNABORTED) continue;
            // Out of descriptors or memory: the listening socket stays readable,
            // so wait a little rather than spin on it.
            if (errno != EAGAIN && errno != EWOULDBLOCK) acceptPausedUntil = now + std::chrono::milliseconds(100);
            break;
        }
    }
}

}  // namespace sondrel
