#pragma once

#include <QPixmap>
#include <QSplashScreen>

namespace sondrel {

// The borderless picture centred on the screen while the program starts.
class SplashWindow final : public QSplashScreen {
public:
    explicit SplashWindow(const QPixmap& picture);

    // Shows the picture and keeps the event loop turning for `milliseconds`,
    // without user input, so that it is painted while start-up waits.
    void showFor(int milliseconds);
};

}  // namespace sondrel
