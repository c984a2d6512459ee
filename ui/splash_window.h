#pragma once

#include <QPixmap>
#include <QSplashScreen>

namespace sondrel {

// The borderless picture centred on the screen while the program starts. It
// belongs to the main window (its transient child), so it stays above that
// window once the window shows, until it is removed.
class SplashWindow final : public QSplashScreen {
public:
    SplashWindow(const QPixmap& picture, QWidget* owner);

    // Shows the picture and keeps the event loop turning for `milliseconds`,
    // without user input, so that it is painted while start-up waits.
    void showFor(int milliseconds);
};

}  // namespace sondrel
