#include "app/host_name_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <pthread.h>

#include <cstring>
#include <memory>

#include "base/text.h"

namespace sondrel {

std::optional<std::string> systemReverseLookup(std::uint32_t address) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    std::memcpy(&sa.sin_addr, &address, sizeof address);
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
        return std::nullopt;
    return std::string(host);
}

HostNameResolverPool::HostNameResolverPool(std::shared_ptr<RecordsState> records, ReverseLookup lookup,
                                           std::size_t maxThreads)
    : m_shared(std::make_shared<Shared>()), m_maxThreads(maxThreads) {
    m_shared->records = std::move(records);
    m_shared->lookup = std::move(lookup);
}

std::size_t HostNameResolverPool::running() const { return m_shared->running.load(); }

namespace {

struct ResolverStart {
    std::shared_ptr<void> shared;
    std::uint32_t address;
    void (*run)(const std::shared_ptr<void>&, std::uint32_t);
};

void* resolverThreadMain(void* argument) {
    const std::unique_ptr<ResolverStart> start(static_cast<ResolverStart*>(argument));
    start->run(start->shared, start->address);
    return nullptr;
}

}  // namespace

void HostNameResolverPool::startResolver(std::uint32_t remoteAddress) {
    if (m_shared->running.fetch_add(1) >= m_maxThreads) {
        m_shared->running.fetch_sub(1);
        return;
    }
    // Created detached rather than detached afterwards: under load a look-up
    // that fails at once ends its thread first, and pthread_detach on such a
    // thread was seen to crash reading a stack that was already gone.
    auto start = std::make_unique<ResolverStart>(ResolverStart{
        m_shared, remoteAddress, [](const std::shared_ptr<void>& shared, std::uint32_t address) {
            HostNameResolver(std::static_pointer_cast<Shared>(shared), address);
        }});
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int result = pthread_create(&thread, &attributes, resolverThreadMain, start.get());
    pthread_attr_destroy(&attributes);
    if (result == 0) {
        start.release();  // the thread owns it now
    } else {
        m_shared->running.fetch_sub(1);
    }
}

void HostNameResolverPool::HostNameResolver(const std::shared_ptr<Shared>& shared, std::uint32_t address) {
    const std::optional<std::string> name = shared->lookup(address);
    if (name) {
        const std::u16string text = utf8ToU16(*name);
        // A name that does not fit the buffer with its terminating zero is not written.
        if (text.size() < kNameBufferUnits) {
            const std::scoped_lock guard(shared->records->RecordsLock);
            shared->records->table.setHostName(address, text);
        }
    }
    shared->running.fetch_sub(1);
}

}  // namespace sondrel
