#pragma once

#include "platform/audio/Event.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The audio endpoint layer: a small set of calls, shaped like a shared-mode, event-driven render endpoint, that
// the engine's audio output plays through. Backends: PulseAudio and a virtual endpoint paced by the steady clock.
// No call throws; every failure is a Status.
namespace kvr::platform::audio {

enum class Status {
    Ok,
    Failed,
    // The device or the connection to the sound server went away; the client must be rebuilt.
    DeviceInvalidated,
};

enum class SampleType { Float32, Int16, Int24, Int32 };

struct MixFormat {
    SampleType sampleType = SampleType::Float32;
    int32_t sampleRate = 48000;
    int32_t channels = 2;

    uint32_t bytesPerSample() const;
    // Bytes of one frame (all channels).
    uint32_t blockAlign() const { return bytesPerSample() * static_cast<uint32_t>(channels); }
    bool operator==(const MixFormat&) const = default;
};

std::string describe(const MixFormat& format);

// What the render loop writes into: one period at a time.
class RenderClient {
public:
    virtual ~RenderClient() = default;
    // Hands out room for `frames` frames (at most the buffer size less the padding). `data` stays valid until
    // releaseBuffer.
    virtual Status getBuffer(uint32_t frames, uint8_t*& data) = 0;
    // Queues `frames` frames of the buffer; `silent` plays silence whatever the buffer holds.
    virtual Status releaseBuffer(uint32_t frames, bool silent) = 0;
};

class AudioClient {
public:
    virtual ~AudioClient() = default;
    // The format the endpoint mixes in; a shared-mode client plays in it.
    virtual Status getMixFormat(MixFormat& format) = 0;
    // Whether initialize would take `format` although it is not the mix format.
    virtual bool isFormatSupported(const MixFormat& format) = 0;
    // Shared mode, event driven: `bufferDuration` of audio may be queued ahead of what is heard.
    virtual Status initialize(const MixFormat& format, std::chrono::microseconds bufferDuration) = 0;
    virtual Status getBufferSize(uint32_t& frames) = 0;
    // The event is set whenever room for more audio appears and when the client fails. Not owned; it must
    // outlive the client.
    virtual Status setEventHandle(Event* event) = 0;
    virtual Status getService(std::unique_ptr<RenderClient>& renderClient) = 0;
    // Frames queued and not yet heard: in the client, in the server and in the device.
    virtual Status getCurrentPadding(uint32_t& frames) = 0;
    // Start and stop the stream; stop keeps what is queued.
    virtual Status start() = 0;
    virtual Status stop() = 0;
};

class Device {
public:
    virtual ~Device() = default;
    virtual Status activate(std::unique_ptr<AudioClient>& client) = 0;
};

class DeviceEnumerator {
public:
    virtual ~DeviceEnumerator() = default;
    virtual Status getDefaultAudioEndpoint(std::unique_ptr<Device>& device) = 0;
};

using EnumeratorFactory = std::function<std::unique_ptr<DeviceEnumerator>()>;

// How long the default enumerator waits for a sound server to answer.
inline constexpr std::chrono::milliseconds connectTimeout { 3000 };

// The default render endpoints: the sound server's default sink, or, when no server answers within
// `connectTimeout` or it has no sink, a silent virtual endpoint (logged as a warning) so that playback goes on
// without sound. A server that timed out is not tried again for a while (PulseEndpoint.h); the silent endpoint
// serves meanwhile, without a further warning. Never null.
std::unique_ptr<DeviceEnumerator> createDeviceEnumerator();

// Best effort stand-in for the multimedia class scheduler: raises the calling thread's priority when the
// process may. Returns the previous nice value for restoreThreadPriority, or a value out of range when nothing
// changed.
int boostThreadPriority();
void restoreThreadPriority(int previous);

} // namespace kvr::platform::audio
