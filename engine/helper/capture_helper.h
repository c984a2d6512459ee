#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/capture_control.h"
#include "base/notifier.h"
#include "engine/owners/owner_source.h"
#include "engine/packet_source.h"

namespace sondrel {

// The capture helper as the window sees it. The window holds no privilege:
// capture, decoding and owner discovery run in a small program of their own
// (sondrel-probe) that holds the capabilities they need. This object starts
// it (HelperProcess), sends it commands over one pipe and reads its packets,
// owner claims and messages from another on a detached reader thread
// (HelperConnection). Messages are shown through a MessagePump exactly as a
// capture or discovery thread of the window would show them. The helper
// ends when its command pipe closes, so none outlives its window. One that
// ends unexpectedly is started again (at once, then with a growing pause),
// capturing what was asked of the last one; the counts stay.
class CaptureHelper final : public PacketSource, public OwnerSource {
public:
    CaptureHelper(std::shared_ptr<CaptureControl> control, std::shared_ptr<Notifier> notifier, std::string helperPath);
    ~CaptureHelper() override;
    CaptureHelper(const CaptureHelper&) = delete;
    CaptureHelper& operator=(const CaptureHelper&) = delete;

    // Starts the helper when it does not run, then asks it to capture on localAddress.
    void startCapture() override;
    void stopCapture() override;
    void shutdown() override;
    CaptureStatus status() const override;
    CapturedInterfaces capturedInterfaces() const override;

    // Discovery runs in the helper from its start; these follow the flags of the exit sequence.
    int StartOwnerDiscovery() override;
    void StopOwnerDiscovery() override;
    OwnerLabel lookupOwner(const OwnerQuery& query) const override;
    OwnerLabel takePacketSender(const PacketRecord& record) const override;
    OwnerLabel tunnelAt(const OwnerQuery& query) const override;
    std::int64_t claimsCompleteUpTo() const override;

    // The helper's process id while it runs (for measurements), else nullopt.
    std::optional<pid_t> helperProcess() const;

    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
};

}  // namespace sondrel
