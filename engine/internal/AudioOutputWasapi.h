#pragma once

#include "engine/internal/AudioRingBuffer.h"
#include "platform/audio/AudioEndpoint.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvr::engine::internal {

// Plays one opening's audio on the default render endpoint: the audio decoder writes interleaved float samples
// at sampleRate() and channels() into ring(); a render thread ("kvr-audio") moves them to the endpoint one
// period at a time, applies the volume, feeds the visualisation tap and keeps the count of frames heard, which
// drives the playback clock.
class AudioOutputWasapi {
public:
    // Plays on the default endpoints (the sound server, or a silent endpoint when there is none).
    AudioOutputWasapi();
    // Plays on the endpoints `factory` makes (tests give a virtual device).
    explicit AudioOutputWasapi(platform::audio::EnumeratorFactory factory);
    ~AudioOutputWasapi();
    AudioOutputWasapi(const AudioOutputWasapi&) = delete;
    AudioOutputWasapi& operator=(const AudioOutputWasapi&) = delete;

    // Starts the render thread, which opens the device and then waits for beginRendering. Returns whether the
    // device opened; on false lastError() says which step failed.
    bool start();
    // Lets the render thread play; `playedFrames` (may be null) then follows the frames heard. With a `hold`,
    // the endpoint plays silence and the ring is left to fill until releaseHold() or until the hold has passed,
    // whichever comes first: the picture that goes with the first sound may still be on its way.
    void beginRendering(std::atomic<int64_t>* playedFrames, std::chrono::milliseconds hold = {});
    // Ends a hold; any thread, any time (before beginRendering it cancels the hold to come).
    void releaseHold();
    void pause();
    void resume();
    // Linear gain, clamped to [0, 4].
    void setVolume(float v);
    // Closes the ring and joins the render thread, which releases the device.
    void stop();

    // The newest min(frames, 4096) output frames as left, right pairs, oldest first; 0 when `out` is null or
    // nothing has been played yet.
    size_t recentSamples(float* out, size_t frames);

    AudioRingBuffer& ring() { return ringBuffer; }
    // The output format, fixed by the device open (valid after start returned true).
    int32_t sampleRate() const { return outSampleRate.load(std::memory_order_acquire); }
    int32_t channels() const { return outChannels.load(std::memory_order_acquire); }
    // The failed open step (valid after start returned).
    std::string lastError() const;

    static constexpr size_t tapFrames = 4096;

private:
    struct DeviceRecord;

    void renderLoop();
    void render();
    bool recover();
    bool open();
    bool reacquire();
    bool reacquireFrom(platform::audio::DeviceEnumerator& enumerator, int attempts);
    bool continueSilently();
    void releaseClients();
    void setLastError(const char* text);
    void updatePlayed(uint64_t queuedFrames);
    void feedTap(const float* samples, uint32_t frames);
    void shutDown();

    platform::audio::EnumeratorFactory factory;
    std::unique_ptr<DeviceRecord> device;
    AudioRingBuffer ringBuffer;
    std::atomic<int32_t> outSampleRate { 0 };
    std::atomic<int32_t> outChannels { 0 };
    std::atomic<std::atomic<int64_t>*> playedFrames { nullptr };
    bool hasDelivered = false;
    // Frames handed to the endpoint since the first period that carried audio (render thread only).
    uint64_t handedFrames = 0;
    int64_t heardFrames = 0;
    std::atomic<bool> stopRequested { false };
    std::atomic<bool> paused { false };
    std::atomic<int64_t> holdMs { 0 };
    std::atomic<bool> holdReleased { false };
    std::atomic<float> volume { 1.0f };
    std::thread renderThread;
    mutable std::mutex errorMutex;
    std::string lastErrorText;

    // Visualisation tap: stereo frames, written by the render thread, read by the visualiser.
    std::mutex tapMutex;
    std::vector<float> tap;
    size_t tapWrite = 0;
    bool tapFilled = false;
};

} // namespace kvr::engine::internal
