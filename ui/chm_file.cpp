#include "ui/chm_file.h"

#include <chm_lib.h>

#include <QFile>

namespace sondrel {
namespace {

constexpr std::uint16_t kDefaultTopicCode = 2;

std::uint16_t readLe16(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

std::string withLeadingSlash(std::string path)
{
    if (!path.empty() && path.front() != '/') {
        path.insert(path.begin(), '/');
    }
    return path;
}

}  // namespace

std::string chmDefaultTopic(std::span<const std::uint8_t> system)
{
    std::size_t at = 4;
    while (at + 4 <= system.size()) {
        const std::uint16_t code = readLe16(system, at);
        const std::size_t length = readLe16(system, at + 2);
        at += 4;
        if (length > system.size() - at) {
            return {};
        }
        if (code == kDefaultTopicCode) {
            const auto data = system.subspan(at, length);
            std::string topic;
            for (const std::uint8_t byte : data) {
                if (byte == 0) {
                    break;
                }
                topic.push_back(static_cast<char>(byte));
            }
            return topic;
        }
        at += length;
    }
    return {};
}

ChmFile::ChmFile(chmFile* handle) : m_handle(handle) {}

ChmFile::~ChmFile()
{
    chm_close(m_handle);
}

std::unique_ptr<ChmFile> ChmFile::open(const QString& path)
{
    chmFile* handle = chm_open(QFile::encodeName(path).constData());
    if (handle == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<ChmFile>(new ChmFile(handle));
}

bool ChmFile::contains(const std::string& objectPath) const
{
    chmUnitInfo info{};
    return chm_resolve_object(m_handle, objectPath.c_str(), &info) == CHM_RESOLVE_SUCCESS;
}

std::optional<QByteArray> ChmFile::read(const std::string& objectPath) const
{
    chmUnitInfo info{};
    if (objectPath.size() > CHM_MAX_PATHLEN ||
        chm_resolve_object(m_handle, objectPath.c_str(), &info) != CHM_RESOLVE_SUCCESS) {
        return std::nullopt;
    }
    if (info.length > kMaxObjectBytes) {
        return std::nullopt;
    }
    QByteArray bytes(static_cast<qsizetype>(info.length), Qt::Uninitialized);
    const LONGINT64 got = chm_retrieve_object(m_handle, &info, reinterpret_cast<unsigned char*>(bytes.data()), 0,
                                              static_cast<LONGINT64>(info.length));
    if (got != static_cast<LONGINT64>(info.length)) {
        return std::nullopt;
    }
    return bytes;
}

std::string ChmFile::defaultPage() const
{
    if (const std::optional<QByteArray> system = read("/#SYSTEM")) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(system->constData());
        const std::string topic = withLeadingSlash(chmDefaultTopic({data, static_cast<std::size_t>(system->size())}));
        if (!topic.empty() && contains(topic)) {
            return topic;
        }
    }
    for (const char* fallback : {"/index.html", "/default.htm"}) {
        if (contains(fallback)) {
            return fallback;
        }
    }
    return {};
}

}  // namespace sondrel
