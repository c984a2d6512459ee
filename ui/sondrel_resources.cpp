#include "ui/sondrel_resources.h"

#include <initializer_list>
#include <mutex>

// Q_INIT_RESOURCE declares a function in the enclosing namespace, so it must run outside ours.
static void registerSondrelQrc()
{
    Q_INIT_RESOURCE(sondrel);
}

namespace sondrel {
namespace {

QIcon iconOfSizes(const QString& stem, std::initializer_list<int> sizes)
{
    initSondrelResources();
    QIcon icon;
    for (const int size : sizes) {
        icon.addFile(QStringLiteral(":/sondrel/icons/%1-%2.png").arg(stem).arg(size), QSize(size, size));
    }
    return icon;
}

}  // namespace

void initSondrelResources()
{
    static std::once_flag once;
    std::call_once(once, registerSondrelQrc);
}

QIcon mainIcon()
{
    return iconOfSizes(QStringLiteral("sondrel"), {16, 22, 24, 32, 48, 64, 128, 256});
}

QIcon genericAppIcon()
{
    return iconOfSizes(QStringLiteral("app-generic"), {16, 32});
}

QIcon protocolIcon()
{
    return iconOfSizes(QStringLiteral("protocol"), {16, 32});
}

QPixmap splashPicture()
{
    initSondrelResources();
    return QPixmap(QStringLiteral(":/sondrel/splash.png"));
}

}  // namespace sondrel
