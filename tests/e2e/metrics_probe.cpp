// The end-to-end check of the metrics endpoint, run inside the test's own
// network namespace by run_metrics_e2e.sh: the real program runs headless
// with --metrics on loopback and captures the namespace's veth address, a
// known UDP flow crosses the veth pair, and tcpdump on the same interface
// records what really crossed it. The scraped counters of the sending
// program must equal tcpdump's byte totals of its flow.
//   e2e_metrics_probe --sondrel PATH --local ADDR --remote ADDR --interface IF
//       --metrics-port N --udp-port N --udp-flow PATH --workdir DIR
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "metrics/exposition.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/monitor_harness.h"
#include "tests/e2e/pcap_totals.h"

using namespace sondrel;
using namespace sondrel::e2e;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t kUdp = 17;
const std::vector<std::size_t> kUdpPayloads = {0, 1, 100, 512, 1472, 7};
constexpr std::size_t kWarmUpPayload = 10;
constexpr std::size_t kMarkerPayload = 20;
constexpr const char* kProgram = "e2e_metrics_probe";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

struct Scrape {
    bool ok = false;
    std::string problem;
    std::string body;
    std::map<std::string, std::uint64_t> samples;  // "name{labels}" -> value

    std::optional<std::uint64_t> value(const std::string& key) const {
        const auto it = samples.find(key);
        return it == samples.end() ? std::nullopt : std::optional<std::uint64_t>(it->second);
    }
};

std::string applicationKey(const char* family, const std::string& application) {
    std::string key = std::string("sondrel_application_") + family + "_bytes_total{application=\"";
    appendLabelValue(key, application);
    return key + "\"}";
}

// One GET /metrics over loopback, as Prometheus sends it.
Scrape scrape(std::uint16_t port) {
    Scrape result;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        result.problem = "cannot connect";
        return result;
    }
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/plain\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string response;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) break;
        char chunk[8192];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        response.append(chunk, std::size_t(n));
    }
    ::close(fd);
    const std::size_t headEnd = response.find("\r\n\r\n");
    const std::string head = response.substr(0, headEnd);
    if (headEnd == std::string::npos || !head.starts_with("HTTP/1.1 200 OK\r\n") ||
        head.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n") == std::string::npos) {
        result.problem = "unexpected response: " + head;
        return result;
    }
    result.body = response.substr(headEnd + 4);
    std::istringstream lines(result.body);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line.front() == '#') continue;
        const std::size_t space = line.rfind(' ');
        result.samples[line.substr(0, space)] = std::stoull(line.substr(space + 1));
    }
    result.ok = true;
    return result;
}

// Scrapes every 100 ms until `done` holds for a scrape; that scrape, or the last one.
template <typename Done>
Scrape scrapeUntil(std::uint16_t port, Done done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Scrape last;
    while (std::chrono::steady_clock::now() < deadline) {
        last = scrape(port);
        if (last.ok && done(last)) return last;
        std::this_thread::sleep_for(100ms);
    }
    last.ok = false;
    if (last.problem.empty()) last.problem = "condition not met in time";
    return last;
}

int fail(const std::string& reason, ChildProcess* sondrel = nullptr) {
    std::string detail = reason;
    if (sondrel) {
        sondrel->signal(SIGKILL);
        sondrel->wait();
        detail += "\n--- sondrel stderr:\n" + sondrel->drainErrors();
    }
    return reportFailure(kProgram, detail);
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> args = parseOptions(argc, argv);
    const std::optional<std::uint32_t> local = parseAddress(args["local"]);
    const std::optional<std::uint32_t> remote = parseAddress(args["remote"]);
    if (!local || !remote || args["sondrel"].empty() || args["interface"].empty() || args["workdir"].empty()) {
        return fail("usage: --sondrel PATH --local ADDR --remote ADDR --interface IF --metrics-port N --udp-port N "
                    "--udp-flow PATH --workdir DIR");
    }
    const auto metricsPort = static_cast<std::uint16_t>(std::stoul(args["metrics-port"]));
    const auto sinkPort = static_cast<std::uint16_t>(std::stoul(args["udp-port"]));
    const std::string pcapPath = args["workdir"] + "/truth.pcap";
    std::string error;

    auto tcpdump = startTcpdump(args["interface"], pcapPath, error);
    if (!tcpdump) return fail("tcpdump: " + error);

    auto sondrel = ChildProcess::start(
        {args["sondrel"], "--headless", "--metrics", "127.0.0.1:" + std::to_string(metricsPort)}, {.errors = true}, error);
    if (!sondrel) return fail("cannot start sondrel: " + error);

    // Capture, discovery and the tick are all running once a datagram of this
    // program's is counted under its own path.
    const std::string self = selfExecutablePath();
    auto warmUp = UdpSocket::bind(*local, error);
    if (!warmUp) return fail(error, &*sondrel);
    const auto warmDeadline = std::chrono::steady_clock::now() + 30s;
    for (;;) {
        if (sondrel->poll()) return fail("sondrel ended: " + describeStatus(*sondrel->poll()), &*sondrel);
        warmUp->sendTo(*remote, sinkPort, kWarmUpPayload);
        const Scrape s = scrape(metricsPort);
        if (s.ok && s.value(applicationKey("transmit", self)).value_or(0) > 0) break;
        if (std::chrono::steady_clock::now() > warmDeadline) {
            return fail("the program's own datagrams were never counted: " + s.problem, &*sondrel);
        }
        std::this_thread::sleep_for(300ms);
    }
    std::printf("capture is live: metrics on 127.0.0.1:%u\n", metricsPort);
    // Warm-up datagrams still in flight are counted at the next ticks; each
    // marker below must be the only datagram of this program under way.
    const std::string selfKey = applicationKey("transmit", self);
    std::uint64_t settled = scrape(metricsPort).value(selfKey).value_or(0);
    for (int i = 0;; ++i) {
        std::this_thread::sleep_for(1200ms);
        const std::uint64_t now = scrape(metricsPort).value(selfKey).value_or(0);
        if (now == settled) break;
        if (i == 10) return fail("this program's counter never settled", &*sondrel);
        settled = now;
    }

    // The sender stays alive until the end, so its owner is known whenever its datagrams are accounted.
    std::vector<std::string> senderCommand = {args["udp-flow"], args["local"], args["remote"], std::to_string(sinkPort)};
    for (const std::size_t size : kUdpPayloads) senderCommand.push_back(std::to_string(size));
    auto sender = ChildProcess::start(senderCommand, {.input = true, .output = true}, error);
    if (!sender) return fail("cannot start the UDP sender: " + error, &*sondrel);
    const std::optional<std::string> announced = sender->readLine(10s);
    if (!announced || !announced->starts_with("port ")) return fail("the UDP sender did not announce its port", &*sondrel);
    const auto senderPort = static_cast<std::uint16_t>(std::stoul(announced->substr(5)));
    const std::string senderPath = sender->executablePath();

    // A socket bound after the sender's: once a discovery pass knows this
    // one (its datagram counted under this program, not "UDP protocol"), it
    // knew the sender's too.
    auto marker = UdpSocket::bind(*local, error);
    if (!marker) return fail(error, &*sondrel);
    std::uint64_t markersSent = 0;
    const std::string unownedKey = applicationKey("transmit", "UDP protocol");
    // Sends one marker datagram and waits until it is counted (the tick comes
    // once a second); true when it was counted under this program.
    const auto sendMarker = [&] {
        const Scrape before = scrape(metricsPort);
        const std::uint64_t selfBefore = before.value(selfKey).value_or(0);
        const std::uint64_t unownedBefore = before.value(unownedKey).value_or(0);
        marker->sendTo(*remote, sinkPort, kMarkerPayload);
        ++markersSent;
        const Scrape after = scrapeUntil(
            metricsPort,
            [&](const Scrape& s) {
                return s.value(selfKey).value_or(0) > selfBefore || s.value(unownedKey).value_or(0) > unownedBefore;
            },
            10s);
        return before.ok && after.ok && after.value(selfKey).value_or(0) == selfBefore + 28 + kMarkerPayload;
    };
    bool owned = false;
    for (int attempt = 0; attempt < 20 && !owned; ++attempt) {
        owned = sendMarker();
        if (!owned) std::this_thread::sleep_for(300ms);
    }
    if (!owned) return fail("owner discovery never saw the marker socket", &*sondrel);

    sender->writeLine("go");
    const std::optional<std::string> sentLine = sender->readLine(10s);
    if (!sentLine || !sentLine->starts_with("sent ")) return fail("the UDP sender did not finish sending", &*sondrel);

    // Capture keeps frame order: once a later marker is counted, so is every datagram of the sender.
    if (!sendMarker()) return fail("the last marker was never counted under this program", &*sondrel);

    PcapTotals truth;
    const auto fileDeadline = std::chrono::steady_clock::now() + 10s;
    while ((truth = sumPcapFile(readFile(pcapPath), *local)).flow(marker->port(), kUdp, true).packets < markersSent) {
        if (std::chrono::steady_clock::now() > fileDeadline) return fail("tcpdump never filed the markers", &*sondrel);
        std::this_thread::sleep_for(100ms);
    }
    tcpdump->signal(SIGINT);
    tcpdump->wait();
    truth = sumPcapFile(readFile(pcapPath), *local);

    const Scrape final = scrape(metricsPort);
    if (!final.ok) return fail("the last scrape failed: " + final.problem, &*sondrel);
    sender->closeInput();
    if (const int status = sender->wait(); status != 0) return fail("the UDP sender " + describeStatus(status), &*sondrel);
    writeFile(args["workdir"] + "/scrape.txt", final.body);

    const std::uint64_t expectedSent = std::accumulate(kUdpPayloads.begin(), kUdpPayloads.end(), std::uint64_t{0},
                                                       [](std::uint64_t sum, std::size_t payload) { return sum + 28 + payload; });
    const FlowTally sent = truth.flow(senderPort, kUdp, true);
    const FlowTally received = truth.flow(senderPort, kUdp, false);
    const std::optional<std::uint64_t> transmit = final.value(applicationKey("transmit", senderPath));
    const std::optional<std::uint64_t> receive = final.value(applicationKey("receive", senderPath));
    std::printf("UDP sender %s, port %u\n", senderPath.c_str(), senderPort);
    std::printf("%-28s %12s %12s %12s\n", "bytes", "expected", "tcpdump", "scraped");
    std::printf("%-28s %12llu %12llu %12s\n", "sent (transmit)", static_cast<unsigned long long>(expectedSent),
                static_cast<unsigned long long>(sent.bytes), transmit ? std::to_string(*transmit).c_str() : "none");
    std::printf("%-28s %12s %12llu %12s\n", "received (receive)", "0", static_cast<unsigned long long>(received.bytes),
                receive ? std::to_string(*receive).c_str() : "none");
    bool ok = sent.bytes == expectedSent && transmit == sent.bytes && receive == received.bytes;
    // The device label is the interface's name once the capture reports it, empty until then.
    const std::uint64_t up = final.value("sondrel_capture_up{device=\"" + args["interface"] + "\"}")
                                 .value_or(final.value("sondrel_capture_up{device=\"\"}").value_or(0));
    if (up != 1) {
        std::printf("sondrel_capture_up is not 1\n");
        ok = false;
    }

    // The exit: SIGTERM, a clean end with status 0 and the line that says so.
    sondrel->signal(SIGTERM);
    const auto exitDeadline = std::chrono::steady_clock::now() + 10s;
    while (!sondrel->poll() && std::chrono::steady_clock::now() < exitDeadline) std::this_thread::sleep_for(50ms);
    if (!sondrel->poll()) return fail("sondrel did not end within 10 s of SIGTERM", &*sondrel);
    const std::string messages = sondrel->drainErrors();
    std::printf("--- sondrel stderr:\n%s", messages.c_str());
    if (*sondrel->poll() != 0) {
        std::printf("sondrel %s after SIGTERM\n", describeStatus(*sondrel->poll()).c_str());
        ok = false;
    }
    if (messages.find(" sondrel: stopping on SIGTERM\n") == std::string::npos) {
        std::printf("no line about stopping on SIGTERM\n");
        ok = false;
    }
    if (!ok) {
        std::printf("--- last scrape:\n");
        for (const auto& [key, value] : final.samples) std::printf("%s %llu\n", key.c_str(), static_cast<unsigned long long>(value));
        return reportFailure(kProgram, "scraped counters differ from tcpdump's, or the exit was not clean");
    }
    std::printf("PASS\n");
    return 0;
}
