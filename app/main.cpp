#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/sondrel_app.h"

namespace {

bool set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

bool platformArgument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // Without a display Qt aborts with a long plug-in message; say what is wrong instead.
    if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM") && !platformArgument(argc, argv)) {
        std::fputs("sondrel: no display: set DISPLAY or WAYLAND_DISPLAY, or QT_QPA_PLATFORM=offscreen to run headless\n",
                   stderr);
        return 1;
    }
    sondrel::CSondrelApp app(argc, argv);
    return app.InitInstance();
}
