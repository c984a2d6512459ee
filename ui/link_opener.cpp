#include "ui/link_opener.h"

#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

#include "ui/hyperlink_error.h"

namespace sondrel {
namespace {

// Long enough for a browser's remote call to return; a handler that stays in
// the foreground beyond it is taken as opened and left running.
constexpr int kOpenerWaitMs = 15000;

// Returns the local path a target names, or nothing for URLs of other schemes.
std::optional<QString> localPathOf(const QString& target)
{
    if (target.isEmpty()) {
        return std::nullopt;
    }
    if (target.startsWith(QLatin1Char('/')) || target.startsWith(QLatin1String("./")) ||
        target.startsWith(QLatin1String("../"))) {
        return target;
    }
    const QUrl url(target, QUrl::StrictMode);
    if (url.isValid() && url.scheme() == QLatin1String("file")) {
        return url.toLocalFile();
    }
    if (!url.isValid() || url.scheme().isEmpty()) {
        return target;
    }
    return std::nullopt;
}

}  // namespace

std::optional<int> reasonForXdgOpenStatus(int exitStatus)
{
    switch (exitStatus) {
    case 0:
        return std::nullopt;
    case 2:
        return kOpenFileNotFound;
    case 3:
        return kOpenNoAssociation;
    default:
        return hasKnownReason(exitStatus) ? kOpenActionFailed : exitStatus;
    }
}

std::optional<int> localTargetProblem(const QString& target)
{
    const std::optional<QString> path = localPathOf(target);
    if (!path) {
        return std::nullopt;
    }
    const QFileInfo info(*path);
    if (!info.exists()) {
        return kOpenFileNotFound;
    }
    if (::access(QFile::encodeName(*path).constData(), R_OK) != 0) {
        return kOpenAccessDenied;
    }
    return std::nullopt;
}

std::optional<int> openWithDesktop(const QString& target)
{
    if (const std::optional<int> problem = localTargetProblem(target)) {
        return problem;
    }
    // xdg-open would read a leading "-" as an option.
    const QString argument = target.startsWith(QLatin1Char('-')) ? QStringLiteral("./") + target : target;

    auto* process = new QProcess;
    process->setProgram(QStringLiteral("xdg-open"));
    process->setArguments({argument});
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start();
    if (!process->waitForStarted()) {
        delete process;
        return kOpenNoAssociation;
    }
    if (!process->waitForFinished(kOpenerWaitMs)) {
        QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
        return std::nullopt;
    }
    const bool crashed = process->exitStatus() == QProcess::CrashExit;
    const int status = process->exitCode();
    delete process;
    if (crashed) {
        return kOpenActionFailed;
    }
    return reasonForXdgOpenStatus(status);
}

}  // namespace sondrel
