// Writes the settings file the program reads at start, through the program's
// own encoder, so the end-to-end tests can start it on chosen values:
//   e2e_write_settings FOLDER DAILY_REPORTS REPORT_FOLDER CAPTURE_ADDRESS
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/text.h"
#include "config/settings.h"

int main(int argc, char** argv) {
    in_addr address{};
    if (argc != 5 || inet_pton(AF_INET, argv[4], &address) != 1) {
        std::fprintf(stderr, "usage: %s FOLDER DAILY_REPORTS REPORT_FOLDER CAPTURE_ADDRESS\n", argv[0]);
        return 2;
    }
    sondrel::Settings settings;
    settings.dailyReports = std::atoi(argv[2]);
    settings.reportFolder = sondrel::utf8ToU16(argv[3]);
    settings.localAddress = address.s_addr;
    if (!sondrel::SaveSettings(settings, argv[1])) {
        std::fprintf(stderr, "%s: cannot write the settings file in %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
