#include "ui/app_image_list.h"

#include <QFileInfo>
#include <QStandardPaths>

#include "base/text.h"

namespace sondrel {

AppImageList::AppImageList(QIcon genericIcon, QIcon protocolIcon,
                           std::shared_ptr<const DesktopEntryIndex> desktopEntries)
    : m_generic(std::move(genericIcon)), m_protocol(std::move(protocolIcon)),
      m_desktopEntries(std::move(desktopEntries)) {}

AppIconKind AppImageList::append(const std::u16string& name) {
    if (name.find(u"protocol") != std::u16string::npos) {
        m_images.push_back(m_protocol);
        return AppIconKind::Protocol;
    }
    if (name.find(u'/') != std::u16string::npos) {
        QIcon icon = associatedIcon(name);
        if (!icon.isNull()) {
            m_images.push_back(std::move(icon));
            return AppIconKind::Associated;
        }
    }
    m_images.push_back(m_generic);
    return AppIconKind::Generic;
}

AppIconChooser AppImageList::chooser() {
    return [this](const std::u16string& name) { return append(name); };
}

QIcon AppImageList::image(int index) const {
    if (index < 0 || std::size_t(index) >= m_images.size()) return {};
    return m_images[std::size_t(index)];
}

QIcon AppImageList::associatedIcon(const std::u16string& name) {
    if (!m_desktopEntries) return {};
    const std::optional<std::string> iconValue = m_desktopEntries->iconFor(u16ToUtf8(name));
    if (!iconValue) return {};
    auto it = m_iconByValue.find(*iconValue);
    if (it == m_iconByValue.end()) it = m_iconByValue.emplace(*iconValue, loadIcon(*iconValue)).first;
    return it->second;
}

QIcon AppImageList::loadIcon(const std::string& iconValue) const {
    const QString value = QString::fromStdString(iconValue);
    if (value.startsWith(u'/')) return QFileInfo(value).isFile() ? QIcon(value) : QIcon();
    QIcon themed = QIcon::fromTheme(value);
    if (!themed.isNull()) return themed;
    // Older entries name a picture in the pixmaps folder instead of a theme icon.
    static const char* const kSuffixes[] = {"", ".png", ".svg", ".xpm"};
    for (const std::string& dataDir : m_desktopEntries->dataDirs()) {
        for (const char* suffix : kSuffixes) {
            const QString path = QString::fromStdString(dataDir) + QStringLiteral("/pixmaps/") + value + QLatin1String(suffix);
            if (QFileInfo(path).isFile()) return QIcon(path);
        }
    }
    return {};
}

std::shared_ptr<const DesktopEntryIndex> sessionDesktopEntries() {
    std::vector<std::string> dirs;
    for (const QString& dir : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation))
        dirs.push_back(dir.toStdString());
    return std::make_shared<const DesktopEntryIndex>(std::move(dirs), searchPathDirs());
}

}  // namespace sondrel
