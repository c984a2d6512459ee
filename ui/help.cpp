#include "ui/help.h"

#include <QFile>

#include "ui/chm_file.h"
#include "ui/help_window.h"

namespace sondrel {

QString helpFilePath(const QString& executablePath)
{
    const qsizetype slash = executablePath.lastIndexOf(QLatin1Char('/'));
    if (slash <= 0) {
        return executablePath;
    }
    return executablePath.left(slash + 1) + QStringLiteral("Sondrelix.chm");
}

QWidget* openHelpFile(const QString& path, QWidget* owner)
{
    std::unique_ptr<ChmFile> file = ChmFile::open(path);
    if (!file) {
        return nullptr;
    }
    const std::string page = file->defaultPage();
    if (page.empty()) {
        return nullptr;
    }
    auto* window = new HelpWindow(std::move(file), page, owner);
    window->show();
    return window;
}

QWidget* ShowHelpTopics(QWidget* owner)
{
    return openHelpFile(helpFilePath(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))), owner);
}

}  // namespace sondrel
