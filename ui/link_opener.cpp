#include "ui/link_opener.h"

#include <unistd.h>

#include <memory>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>
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

void openWithDesktop(const QString& target, LinkVerdict verdict)
{
    if (const std::optional<int> problem = localTargetProblem(target)) {
        verdict(problem);
        return;
    }
    // xdg-open would read a leading "-" as an option.
    const QString argument = target.startsWith(QLatin1Char('-')) ? QStringLiteral("./") + target : target;

    // One verdict per open, whichever comes first: a failed start, the exit, or the wait running out.
    auto deliver = std::make_shared<LinkVerdict>(std::move(verdict));
    const auto once = [deliver](std::optional<int> failure) {
        if (!*deliver) {
            return;
        }
        const LinkVerdict verdictNow = std::move(*deliver);
        *deliver = nullptr;
        verdictNow(failure);
    };

    auto* process = new QProcess;
    process->setProgram(QStringLiteral("xdg-open"));
    process->setArguments({argument});
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::errorOccurred, process, [process, once](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            once(kOpenNoAssociation);
            process->deleteLater();
        }
    });
    QObject::connect(process, &QProcess::finished, process,
                     [process, once](int exitCode, QProcess::ExitStatus exitStatus) {
                         once(exitStatus == QProcess::CrashExit ? std::optional<int>(kOpenActionFailed)
                                                                : reasonForXdgOpenStatus(exitCode));
                         process->deleteLater();
                     });
    QTimer::singleShot(kOpenerWaitMs, process, [once] { once(std::nullopt); });
    process->start();
}

}  // namespace sondrel
