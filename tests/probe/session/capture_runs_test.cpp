#include "probe/capture_runs.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace sondrel::probe {
namespace {

// Runs as the capture threads are: a stop wakes them; a woken run reads the
// flag and, finding it cleared, decides to end, and only later says so. A
// start may come between the two. Whatever the order, once every run has
// settled there is one run when the last command was a start, none after a
// stop, and never two of one key.
TEST(CaptureRuns, TheLastCommandAlwaysWins) {
    struct Run {
        bool woken = false;
        bool ending = false;  // read the cleared flag, has not said so yet
    };
    constexpr std::uint32_t kKey = 0x0100000a;
    std::mt19937 random(11);
    for (int trial = 0; trial < 2000; ++trial) {
        CaptureRuns runs;
        bool running = false;
        std::vector<Run> threads;
        const auto settleOne = [&](std::size_t i) {
            Run& run = threads[i];
            if (run.ending) {
                threads.erase(threads.begin() + std::ptrdiff_t(i));
                if (runs.ended(kKey, running, kKey)) threads.push_back(Run{});
            } else if (run.woken) {
                run.woken = false;
                run.ending = !running;
            }
        };
        const int commands = 1 + int(random() % 8);
        bool lastWasStart = false;
        for (int c = 0; c < commands; ++c) {
            lastWasStart = random() % 2 == 0;
            if (lastWasStart) {
                const bool stopped = !running;
                running = true;
                if (runs.start(kKey, false, stopped)) threads.push_back(Run{});
            } else {
                running = false;
                for (Run& run : threads) run.woken = true;
            }
            while (!threads.empty() && random() % 3 != 0) settleOne(random() % threads.size());
            ASSERT_LE(threads.size() - std::size_t(std::count_if(threads.begin(), threads.end(),
                                                                 [](const Run& r) { return r.ending; })),
                      1u)
                << "two runs of one key at once, trial " << trial;
        }
        for (int step = 0; step < 100 && std::any_of(threads.begin(), threads.end(),
                                                      [](const Run& r) { return r.woken || r.ending; });
             ++step) {
            for (std::size_t i = 0; i < threads.size(); ++i) {
                if (threads[i].woken || threads[i].ending) {
                    settleOne(i);
                    break;
                }
            }
        }
        EXPECT_EQ(threads.size(), lastWasStart ? 1u : 0u) << "trial " << trial;
        EXPECT_EQ(runs.live(kKey), threads.size()) << "trial " << trial;
    }
}

}  // namespace
}  // namespace sondrel::probe
