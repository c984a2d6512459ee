#pragma once

#include <QString>
#include <QWidget>

namespace sondrel {

// The help file lies beside the executable, whatever the executable is called:
// "/opt/sondrel/bin/sondrel" -> "/opt/sondrel/bin/Sondrelix.chm". A path
// without a "/" after its first character is returned unchanged.
QString helpFilePath(const QString& executablePath);

// Opens the help file's default page in a help window of its own, which closes
// and deletes itself; returns it, or nullptr when the file is missing, is not
// a help file or has no page to show (nothing is shown then).
QWidget* openHelpFile(const QString& path, QWidget* owner);

// Why the help file at `path` cannot be shown, naming it, e.g. "The help file
// /usr/bin/Sondrelix.chm was not found."
QString helpFileProblem(const QString& path);

// "Help topics": the help file beside the running executable. When it cannot
// be shown, a message box owned by `owner` says why and nullptr is returned.
QWidget* ShowHelpTopics(QWidget* owner);
// The same for the help file at `path`.
QWidget* showHelpFile(const QString& path, QWidget* owner);

}  // namespace sondrel
