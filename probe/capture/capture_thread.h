#pragma once

#include <memory>

#include "base/notifier.h"
#include "base/capture_control.h"
#include "probe/capture/kernel_counting.h"
#include "probe/capture/live_capture_handles.h"
#include "probe/capture/pcap_library.h"

namespace sondrel {

// Open parameters: whole frames, no promiscuous mode, a 1000 ms read timeout,
// and at most 10 frames per pcap_dispatch call.
inline constexpr int kCaptureSnapshotLength = 65536;
inline constexpr int kCapturePromiscuous = 0;
inline constexpr int kCaptureReadTimeoutMs = 1000;
// With CaptureControl::promptDelivery: the capture helper forwards every 20 ms.
inline constexpr int kCapturePromptReadTimeoutMs = 20;
inline constexpr int kCaptureFramesPerDispatch = 10;
// The kernel ring. With libpcap's default ring, bursts of small datagrams
// overflowed it from about 170k packets/s; a 32 MB ring absorbs the moments
// the capture thread is descheduled.
inline constexpr int kCaptureBufferBytes = 32 << 20;

// One capture run on the device that carries control->localAddress: load the
// library, choose and open the device, dispatch frames into control->queue
// until captureRunning is cleared or localAddress changes, close. Every
// failure is shown through the notifier (blocking) and ends the run, except
// that with resumeWhenAddressReturns a missing or vanished interface is
// waited for; a run never changes captureRunning. Runs on the calling thread.
// With `counting`, each socket opened is handed to the kernel's counter.
void CaptureThread(const std::shared_ptr<CaptureControl>& control, Notifier& notifier, LiveCaptureHandles& handles,
                   const CaptureLibraryLoader& loadLibrary, CaptureObserver* observer = nullptr,
                   KernelCounting* counting = nullptr);

// Starts CaptureThread on a detached thread that holds its shared state
// through these shared_ptrs, so the state outlives it whatever the exit order.
void startCaptureThread(std::shared_ptr<CaptureControl> control, std::shared_ptr<Notifier> notifier,
                        std::shared_ptr<LiveCaptureHandles> handles,
                        CaptureLibraryLoader loadLibrary = loadSystemCaptureLibrary,
                        std::shared_ptr<CaptureObserver> observer = nullptr,
                        std::shared_ptr<KernelCounting> counting = nullptr);

// How often a run waiting for its address looks for it again.
inline constexpr int kAddressPollMs = 500;

// Clears captureRunning and wakes every capture thread, so a thread waiting on
// an idle interface ends at once instead of never. After changing localAddress
// (interface change) call handles.wakeAll() the same way.
void stopCapture(CaptureControl& control, LiveCaptureHandles& handles);

}  // namespace sondrel
