// Everything in probe/ runs with capabilities and trusts no input.
// sondrel-probe: the capture helper of the Sondrel window. It alone holds the
// capabilities that capture and owner discovery need; the window starts it,
// and it talks to the window only: commands on standard input, frames on
// standard output, both pipes made by the window.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include "wire/hello.h"
#include "probe/event_writer.h"
#include "probe/privileges.h"
#include "probe/probe_session.h"

namespace {

// Nothing of the caller's world is taken in: no environment, no inherited
// descriptors beyond the two pipes and standard error, no way back to more
// privilege, no core file and no tracer from the user who started it.
void harden() {
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    // The window's death ends the helper even if the pipe's end were missed.
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    clearenv();
    umask(077);
    signal(SIGPIPE, SIG_IGN);
    close_range(3, ~0u, 0);
}

bool isPipe(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode);
}

}  // namespace

int main() {
    harden();
    // Run by hand on a terminal, the helper has nobody to talk to.
    if (!isPipe(0) || !isPipe(1)) return 2;
    sondrel::probe::limitToNeeded();

    auto writer = std::make_shared<sondrel::probe::EventWriter>(1);
    std::vector<std::uint8_t> hello;
    sondrel::wire::encodeHello(hello);
    writer->write(hello);

    // The owner probes and the flow counter are loaded first, while the main thread alone exists:
    // the right to load them is then dropped before any other thread is made.
    std::string eventsMissing;
    std::unique_ptr<sondrel::BpfOwnerEvents> events;
    std::string counterMissing;
    std::unique_ptr<sondrel::BpfFlowCounter> counter;
    {
        const sondrel::probe::ScopedPrivilege loading(sondrel::probe::Privilege::LoadProbes);
        // Sockets of every network namespace: a container's connections cross this one's interfaces.
        sondrel::BpfOwnerEventsOptions options;
        options.networkNamespace = 0;
        events = sondrel::BpfOwnerEvents::open(eventsMissing, options);
        // The counter learns of packet-socket writes from the owner probes: those frames must reach the window.
        sondrel::BpfFlowCounterOptions counterOptions;
        counterOptions.packetSendSeenFd = events ? events->packetSendSeenFd() : -1;
        counterOptions.portSendersFd = events ? events->portSendersFd() : -1;
        counter = sondrel::BpfFlowCounter::open(counterMissing, counterOptions);
    }
    sondrel::probe::dropForGood({sondrel::probe::Privilege::LoadProbes});
    eventsMissing = eventsMissing.substr(0, eventsMissing.find('\n'));
    counterMissing = counterMissing.substr(0, counterMissing.find('\n'));

    sondrel::probe::ProbeSession session(writer);
    session.countInKernel(std::move(counter), counterMissing);
    session.startDiscovery(std::move(events), eventsMissing);
    // From here on the main thread (and every capture thread it starts) may
    // only open capture sockets.
    sondrel::probe::dropForGood({sondrel::probe::Privilege::ReadProcesses});
    session.startForwarding();
    session.run(0);
    // Worker threads may be inside a system call: no destructor runs under them.
    _exit(0);
}
