#pragma once

#include "platform/audio/AudioEndpoint.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace kvr::platform::audio {

class VirtualAudioClient;

struct VirtualDeviceOptions {
    MixFormat format;
    // The device takes audio one period at a time and signals the client's event after each.
    uint32_t periodFrames = 480;
    // Periods pass only when advance() is called, instead of by the steady clock.
    bool manualPacing = false;
    // Keeps the newest this many frames played (float32 formats only), for inspection.
    size_t captureFrames = 0;
};

// A render endpoint without hardware: plays nothing, but takes audio at the pace of its sample rate, so a render
// loop on top of it behaves as on a real device. Tests script it: its format, failures of the default-endpoint
// look-up, invalidation of the active client, and, with manual pacing, every period.
class VirtualDevice {
public:
    enum class FailAt { Padding, GetBuffer };

    struct Counters {
        uint64_t defaultEndpointCalls = 0;
        uint64_t activations = 0;
        uint64_t releases = 0;
        uint64_t framesWritten = 0;
        uint64_t silentFrames = 0;
        uint64_t framesConsumed = 0;
        uint32_t lastReleaseFrames = 0;
        bool lastReleaseSilent = false;
        bool running = false;
    };

    explicit VirtualDevice(VirtualDeviceOptions options = {});
    ~VirtualDevice();
    VirtualDevice(const VirtualDevice&) = delete;
    VirtualDevice& operator=(const VirtualDevice&) = delete;

    // The mix format offered from the next activation on.
    void setMixFormat(const MixFormat& format);
    // The active client reports the device invalidated: from getCurrentPadding on, or only from getBuffer on
    // (the padding of the current pass still succeeds).
    void invalidate(FailAt where = FailAt::Padding);
    // The next `times` default-endpoint look-ups fail.
    void failDefaultEndpoint(int times);
    // Manual pacing: `periods` periods pass (the active client, when running, consumes them) and the client's
    // event is set.
    void advance(uint32_t periods = 1);

    Counters counters();
    // Waits until `done` holds for the counters; false after the time-out.
    bool waitUntil(const std::function<bool(const Counters&)>& done, std::chrono::milliseconds timeout);
    // The newest captured frames, oldest first (interleaved samples).
    std::vector<float> captured();

private:
    friend class VirtualAudioClient;
    friend class VirtualRenderClient;
    friend class VirtualEnumerator;
    friend class VirtualEndpointDevice;

    const uint32_t periodFrames;
    const bool manualPacing;
    std::mutex mutex;
    std::condition_variable changed;
    MixFormat format;
    int failLookups = 0;
    Counters stats;
    VirtualAudioClient* active = nullptr;
    std::vector<float> capture;
    size_t captureWrite = 0;
    size_t captureFill = 0;
};

std::unique_ptr<DeviceEnumerator> makeVirtualEnumerator(std::shared_ptr<VirtualDevice> device);

// A virtual endpoint that offers `format`, paced by the steady clock, that plays nothing.
std::unique_ptr<DeviceEnumerator> makeSilentEnumerator(const MixFormat& format);

} // namespace kvr::platform::audio
