#pragma once

#include <QIcon>
#include <QString>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/desktop_entry_index.h"
#include "engine/main_lists.h"

namespace sondrel {

// The Applications list's image list: one image appended per new row, none
// ever removed, so a row's image index stays valid for the whole run.
class AppImageList {
public:
    AppImageList(QIcon genericIcon, QIcon protocolIcon, std::shared_ptr<const DesktopEntryIndex> desktopEntries);

    // Chooses the icon of a new row called `name` and appends it: "protocol"
    // anywhere in the name gives the protocol icon; an executable path gives
    // the icon of a desktop entry that runs it, when the entry's icon exists;
    // everything else the generic icon.
    AppIconKind append(const std::u16string& name);

    // The chooser to hand to MainLists, bound to this list.
    AppIconChooser chooser();

    QIcon image(int index) const;
    std::size_t size() const { return m_images.size(); }

private:
    QIcon associatedIcon(const std::u16string& name);
    QIcon loadIcon(const std::string& iconValue) const;

    QIcon m_generic;
    QIcon m_protocol;
    std::shared_ptr<const DesktopEntryIndex> m_desktopEntries;
    std::vector<QIcon> m_images;
    // Many rows share an Icon= value; a theme look-up reads the disk.
    std::unordered_map<std::string, QIcon> m_iconByValue;
};

// The index of this session's desktop: $XDG_DATA_HOME, then $XDG_DATA_DIRS.
std::shared_ptr<const DesktopEntryIndex> sessionDesktopEntries();

}  // namespace sondrel
