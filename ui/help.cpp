#include "ui/help.h"

#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QMessageBox>

#include "ui/chm_file.h"
#include "ui/help_window.h"
#include "ui/window_modal.h"

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

QString helpFileProblem(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        return QStringLiteral("The help file %1 was not found.").arg(path);
    }
    if (!info.isFile() || ::access(QFile::encodeName(path).constData(), R_OK) != 0) {
        return QStringLiteral("The help file %1 cannot be read.").arg(path);
    }
    return QStringLiteral("The help file %1 is damaged or is not a help file.").arg(path);
}

QWidget* showHelpFile(const QString& path, QWidget* owner)
{
    if (QWidget* window = openHelpFile(path, owner)) {
        return window;
    }
    showWindowModalBox(owner, QMessageBox::Critical, QStringLiteral("Error"), helpFileProblem(path));
    return nullptr;
}

QWidget* ShowHelpTopics(QWidget* owner)
{
    return showHelpFile(helpFilePath(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))), owner);
}

}  // namespace sondrel
