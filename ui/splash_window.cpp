#include "ui/splash_window.h"

#include <QEventLoop>
#include <QScreen>
#include <QTimer>

namespace sondrel {

SplashWindow::SplashWindow(const QPixmap& picture, QWidget* owner) : QSplashScreen(picture) {
    if (owner) {
        // The owner's platform window must exist for the splash to be made its transient child.
        owner->winId();
        setParent(owner, windowFlags());
    }
    if (const QScreen* where = screen()) move(where->geometry().center() - rect().center());
}

void SplashWindow::showFor(int milliseconds) {
    show();
    raise();
    QEventLoop wait;
    QTimer::singleShot(milliseconds, &wait, &QEventLoop::quit);
    wait.exec(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace sondrel
