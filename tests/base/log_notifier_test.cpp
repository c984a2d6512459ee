#include "base/log_notifier.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/stepped_clock.h"

namespace sondrel {
namespace {

TEST(LogNotifier, OneTimeStampedLinePerMessage) {
    auto clock = std::make_shared<testing::SteppedClock>();
    std::vector<std::string> lines;
    LogNotifier notifier(clock, [&lines](const std::string& line) { lines.push_back(line); });

    clock->set(LocalTime{2027, 2, 1, 0, 0, 5});
    notifier.showMessage(u"Error", u"Wrong interface!", MessageIcon::Error);
    notifier.showMessage(u"Error", u"Unable to open the adapter!\nveth0: Operation not permitted", MessageIcon::Error);
    clock->set(LocalTime{987, 12, 31, 23, 59, 59});
    notifier.showMessage(u"Warning", u"\u0416\tx\r", MessageIcon::Warning);
    clock->set(std::nullopt);
    notifier.log("stopping on SIGTERM");
    notifier.showCaptureLibraryMissing();

    const std::vector<std::string> expected = {
        "2027-02-01 00:00:05 sondrel: Error: Wrong interface!\n",
        "2027-02-01 00:00:05 sondrel: Error: Unable to open the adapter! veth0: Operation not permitted\n",
        "0987-12-31 23:59:59 sondrel: Warning: \xD0\x96 x \n",
        "(time unknown) sondrel: stopping on SIGTERM\n",
        "(time unknown) sondrel: PCAP library is missing: PCAP library is not installed. Please, install the "
        "libpcap package with your package manager.\n",
    };
    EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace sondrel
