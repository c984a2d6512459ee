#include "app/splash_window.h"

#include <QEventLoop>
#include <QTimer>

namespace sondrel {

SplashWindow::SplashWindow(const QPixmap& picture) : QSplashScreen(picture) {}

void SplashWindow::showFor(int milliseconds) {
    show();
    raise();
    QEventLoop wait;
    QTimer::singleShot(milliseconds, &wait, &QEventLoop::quit);
    wait.exec(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace sondrel
