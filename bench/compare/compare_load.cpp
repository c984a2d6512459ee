// The traffic of one case of the side-by-side run: several copies of a paced
// sender (the UDP one of the rate bench, or the TCP writer beside this file),
// each announcing "port N", starting on a line on stdin and ending with
// "sent COUNT SECONDS".
//   compare_load --sender PATH --protocol 6|17 --local A --remote B --port P --payload N
//                --processes N --rate PER_PROCESS --seconds S
//                [--settle-ms MS]         all bound first, then all started together after MS
//                [--spawn-per-second N]   instead: each started as soon as it is up, N a second
// Prints one line per sender once all have ended:
//   process <TAB> PID <TAB> LOCAL_PORT <TAB> PROTOCOL <TAB> SENT <TAB> SECONDS
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/child_process.h"
#include "tests/e2e/monitor_harness.h"

using namespace sondrel::e2e;
using namespace std::chrono_literals;

namespace {

struct Sender {
    ChildProcess process;
    unsigned port = 0;
};

int fail(const std::string& reason) {
    std::fprintf(stderr, "compare_load: %s\n", reason.c_str());
    return 1;
}

std::optional<unsigned> announcedPort(ChildProcess& child) {
    const std::optional<std::string> line = child.readLine(10s);
    unsigned port = 0;
    if (!line || std::sscanf(line->c_str(), "port %u", &port) != 1) return std::nullopt;
    return port;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    std::map<std::string, std::string> args = parseOptions(argc, argv);
    for (const char* required : {"sender", "protocol", "local", "remote", "port", "payload", "processes", "rate", "seconds"}) {
        if (args[required].empty()) return fail(std::string("missing --") + required);
    }
    const int processes = std::stoi(args["processes"]);
    const double spawnPerSecond = args["spawn-per-second"].empty() ? 0.0 : std::stod(args["spawn-per-second"]);
    const std::vector<std::string> command = {args["sender"], args["local"], args["remote"], args["port"],
                                              args["payload"], args["rate"], args["seconds"]};

    std::vector<Sender> senders;
    senders.reserve(static_cast<std::size_t>(processes));
    const auto begin = std::chrono::steady_clock::now();
    std::string error;
    for (int i = 0; i < processes; ++i) {
        if (spawnPerSecond > 0) {
            std::this_thread::sleep_until(begin + std::chrono::duration<double>(i / spawnPerSecond));
        }
        std::optional<ChildProcess> child = ChildProcess::start(command, {.input = true, .output = true}, error);
        if (!child) return fail(error);
        const std::optional<unsigned> port = announcedPort(*child);
        if (!port) return fail("sender " + std::to_string(i) + " did not announce its port");
        if (spawnPerSecond > 0) child->writeLine("go");
        senders.push_back(Sender{std::move(*child), *port});
    }
    if (spawnPerSecond <= 0) {
        // Time for the monitors to learn the new sockets before the first byte.
        std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(args["settle-ms"].empty() ? "0" : args["settle-ms"])));
        for (Sender& sender : senders) sender.process.writeLine("go");
    }

    int failed = 0;
    for (Sender& sender : senders) {
        const int status = sender.process.wait();
        const std::optional<std::string> line = sender.process.readLine(5s);
        unsigned long long sent = 0;
        double seconds = 0;
        if (status != 0 || !line || std::sscanf(line->c_str(), "sent %llu %lf", &sent, &seconds) != 2) {
            std::fprintf(stderr, "compare_load: sender on port %u %s\n", sender.port, describeStatus(status).c_str());
            ++failed;
        }
        std::printf("process\t%d\t%u\t%s\t%llu\t%.3f\n", static_cast<int>(sender.process.pid()), sender.port,
                    args["protocol"].c_str(), sent, seconds);
    }
    return failed == 0 ? 0 : 1;
}
