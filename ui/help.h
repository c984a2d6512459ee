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

// "Help topics": the help file beside the running executable.
QWidget* ShowHelpTopics(QWidget* owner);

}  // namespace sondrel
