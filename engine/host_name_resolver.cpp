#include "engine/host_name_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <pthread.h>

#include <cstring>
#include <memory>

#include "base/text.h"

namespace sondrel {

std::optional<std::string> systemReverseLookup(const IpAddress& address) {
    char host[NI_MAXHOST];
    int result;
    if (address.isIpv4()) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        const std::uint32_t ipv4 = address.ipv4();
        std::memcpy(&sa.sin_addr, &ipv4, sizeof ipv4);
        result = getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    } else {
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        std::memcpy(&sa.sin6_addr, address.bytes.data(), 16);
        result = getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    }
    if (result != 0) return std::nullopt;
    return std::string(host);
}

// What is known of an address: a look-up under way, or its answer.
struct HostNameResolverPool::Shared {
    struct Answer {
        bool inFlight = true;
        bool named = false;
        std::u16string name;
    };

    std::shared_ptr<RecordsState> records;
    ReverseLookup lookup;
    std::atomic<std::size_t> running{0};
    std::atomic<std::uint64_t> started{0};
    // Taken inside RecordsLock (the accounting asks with it held), never around it.
    std::mutex answersLock;
    std::unordered_map<IpAddress, Answer, IpAddressHash> answers;
};

namespace {

struct ResolverStart {
    std::shared_ptr<HostNameResolverPool::Shared> shared;
    IpAddress address;
};

void HostNameResolver(const std::shared_ptr<HostNameResolverPool::Shared>& shared, const IpAddress& address) {
    const std::optional<std::string> name = shared->lookup(address);
    std::u16string text;
    // A name that does not fit the buffer with its terminating zero is not written.
    const bool named = name && (text = utf8ToU16(*name)).size() < HostNameResolverPool::kNameBufferUnits;
    // The answer is the remote's to choose; both ways into the rows (here and
    // the remembered answer) take this text, so it is made visible once.
    if (named && needsVisibleEscape(text)) text = visibleText(text);
    {
        const std::scoped_lock guard(shared->answersLock);
        auto& answer = shared->answers[address];
        answer = HostNameResolverPool::Shared::Answer{false, named, text};
    }
    if (named) {
        // Rows made while the look-up ran are found by their address.
        const std::scoped_lock guard(shared->records->RecordsLock);
        shared->records->table.setHostName(address, text);
    }
    shared->running.fetch_sub(1);
}

void* resolverThreadMain(void* argument) {
    const std::unique_ptr<ResolverStart> start(static_cast<ResolverStart*>(argument));
    HostNameResolver(start->shared, start->address);
    return nullptr;
}

}  // namespace

HostNameResolverPool::HostNameResolverPool(std::shared_ptr<RecordsState> records, ReverseLookup lookup,
                                           std::size_t maxThreads)
    : m_shared(std::make_shared<Shared>()), m_maxThreads(maxThreads) {
    m_shared->records = std::move(records);
    m_shared->lookup = std::move(lookup);
}

std::size_t HostNameResolverPool::running() const { return m_shared->running.load(); }

std::uint64_t HostNameResolverPool::started() const { return m_shared->started.load(); }

void HostNameResolverPool::startResolver(const IpAddress& remote, EndpointRecord& row) {
    {
        const std::scoped_lock guard(m_shared->answersLock);
        const auto it = m_shared->answers.find(remote);
        if (it != m_shared->answers.end()) {
            if (it->second.named) row.remoteHostName = it->second.name;
            return;
        }
        if (m_shared->running.fetch_add(1) >= m_maxThreads) {
            m_shared->running.fetch_sub(1);
            return;
        }
        if (m_shared->answers.size() >= kMaxRemembered) {
            std::erase_if(m_shared->answers, [](const auto& entry) { return !entry.second.inFlight; });
        }
        m_shared->answers.emplace(remote, Shared::Answer{});
    }
    m_shared->started.fetch_add(1);
    // Created detached rather than detached afterwards: under load a look-up
    // that fails at once ends its thread first, and pthread_detach on such a
    // thread was seen to crash reading a stack that was already gone.
    auto start = std::make_unique<ResolverStart>(ResolverStart{m_shared, remote});
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int result = pthread_create(&thread, &attributes, resolverThreadMain, start.get());
    pthread_attr_destroy(&attributes);
    if (result == 0) {
        start.release();  // the thread owns it now
        return;
    }
    m_shared->running.fetch_sub(1);
    const std::scoped_lock guard(m_shared->answersLock);
    m_shared->answers.erase(remote);
}

}  // namespace sondrel
