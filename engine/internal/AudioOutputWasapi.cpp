#include "engine/internal/AudioOutputWasapi.h"

#include "engine/Logging.h"
#include "platform/audio/Event.h"
#include "platform/audio/VirtualEndpoint.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <pthread.h>
#include <system_error>

namespace kvr::engine::internal {

using namespace kvr::platform::audio;

namespace {

// The endpoint buffer and the ring both hold 200 ms.
constexpr std::chrono::microseconds bufferDuration { 200000 };
constexpr std::chrono::milliseconds periodWait { 200 };
constexpr int reacquireAttempts = 50;
constexpr std::chrono::milliseconds reacquirePause { 100 };

} // namespace

struct AudioOutputWasapi::DeviceRecord {
    std::unique_ptr<DeviceEnumerator> enumerator;
    std::unique_ptr<Device> endpoint;
    std::unique_ptr<AudioClient> audioClient;
    std::unique_ptr<RenderClient> renderClient;
    MixFormat mixFormat;
    // Set by the endpoint when room appears, and by pause, resume and stop so the render thread reacts at once.
    Event bufferEvent { Event::Reset::Automatic };
    uint32_t bufferFrames = 0;
    Event initializedEvent { Event::Reset::Manual };
    Event startEvent { Event::Reset::Manual };
    bool initOk = false;
    bool running = false;
};

AudioOutputWasapi::AudioOutputWasapi()
    : AudioOutputWasapi(&createDeviceEnumerator)
{
}

AudioOutputWasapi::AudioOutputWasapi(EnumeratorFactory factory)
    : factory(std::move(factory))
    , device(std::make_unique<DeviceRecord>())
{
}

AudioOutputWasapi::~AudioOutputWasapi()
{
    shutDown();
    releaseClients();
    device->enumerator.reset();
}

bool AudioOutputWasapi::start()
{
    if (device->running)
        return device->initOk;
    device->initializedEvent.reset();
    device->startEvent.reset();
    stopRequested.store(false);
    try {
        renderThread = std::thread(&AudioOutputWasapi::renderLoop, this);
    } catch (const std::system_error& e) {
        setLastError("render thread could not start");
        return false;
    }
    device->running = true;
    device->initializedEvent.wait();
    return device->initOk;
}

void AudioOutputWasapi::beginRendering(std::atomic<int64_t>* counter, std::chrono::milliseconds hold)
{
    playedFrames.store(counter, std::memory_order_release);
    holdMs.store(std::max<int64_t>(hold.count(), 0));
    device->startEvent.set();
}

void AudioOutputWasapi::releaseHold()
{
    holdReleased.store(true);
    device->bufferEvent.set();
}

void AudioOutputWasapi::pause()
{
    paused.store(true);
    device->bufferEvent.set();
}

void AudioOutputWasapi::resume()
{
    paused.store(false);
    device->bufferEvent.set();
}

void AudioOutputWasapi::setVolume(float v)
{
    // NaN counts as silence rather than poisoning every sample.
    if (!(v >= 0.0f))
        v = 0.0f;
    volume.store(std::min(v, 4.0f));
}

void AudioOutputWasapi::stop()
{
    shutDown();
}

void AudioOutputWasapi::shutDown()
{
    stopRequested.store(true);
    ringBuffer.abort();
    device->startEvent.set();
    device->bufferEvent.set();
    if (renderThread.joinable() && renderThread.get_id() != std::this_thread::get_id())
        renderThread.join();
    device->running = false;
}

std::string AudioOutputWasapi::lastError() const
{
    std::lock_guard<std::mutex> lock(errorMutex);
    return lastErrorText;
}

void AudioOutputWasapi::setLastError(const char* text)
{
    std::lock_guard<std::mutex> lock(errorMutex);
    lastErrorText = text;
}

size_t AudioOutputWasapi::recentSamples(float* out, size_t frames)
{
    if (!out)
        return 0;
    std::lock_guard<std::mutex> lock(tapMutex);
    if (!tapFilled)
        return 0;
    const size_t n = std::min(frames, tapFrames);
    for (size_t i = 0; i < n; ++i) {
        const size_t slot = (tapWrite + tapFrames - n + i) % tapFrames;
        out[2 * i] = tap[2 * slot];
        out[2 * i + 1] = tap[2 * slot + 1];
    }
    return n;
}

void AudioOutputWasapi::feedTap(const float* samples, uint32_t frames)
{
    const int32_t ch = channels();
    std::lock_guard<std::mutex> lock(tapMutex);
    for (uint32_t f = 0; f < frames; ++f) {
        const float* frame = samples + size_t(f) * size_t(ch);
        tap[2 * tapWrite] = frame[0];
        tap[2 * tapWrite + 1] = ch >= 2 ? frame[1] : frame[0];
        tapWrite = (tapWrite + 1) % tapFrames;
    }
    tapFilled = true;
}

void AudioOutputWasapi::updatePlayed(uint64_t queuedFrames)
{
    // Heard = handed over since the first real period less what still waits in the endpoint and the server;
    // stored, and only ever raised, so the clock never steps back.
    std::atomic<int64_t>* counter = playedFrames.load(std::memory_order_acquire);
    if (!counter || !hasDelivered || handedFrames <= queuedFrames)
        return;
    const auto heard = static_cast<int64_t>(handedFrames - queuedFrames);
    if (heard > heardFrames) {
        heardFrames = heard;
        counter->store(heard, std::memory_order_release);
    }
}

void AudioOutputWasapi::releaseClients()
{
    device->renderClient.reset();
    device->audioClient.reset();
    device->endpoint.reset();
}

bool AudioOutputWasapi::open()
{
    device->enumerator.reset();
    try {
        device->enumerator = factory ? factory() : nullptr;
    } catch (...) {
        device->enumerator.reset();
    }
    if (!device->enumerator) {
        setLastError("MMDeviceEnumerator");
        return false;
    }
    if (device->enumerator->getDefaultAudioEndpoint(device->endpoint) != Status::Ok || !device->endpoint) {
        setLastError("GetDefaultAudioEndpoint");
        return false;
    }
    if (device->endpoint->activate(device->audioClient) != Status::Ok || !device->audioClient) {
        setLastError("Activate IAudioClient");
        return false;
    }
    MixFormat format;
    if (device->audioClient->getMixFormat(format) != Status::Ok || format.sampleRate <= 0 || format.channels <= 0) {
        setLastError("GetMixFormat");
        return false;
    }
    if (format.sampleType != SampleType::Float32) {
        setLastError("WASAPI mix format is not float32 (Phase 1 limitation)");
        return false;
    }
    device->mixFormat = format;
    outSampleRate.store(format.sampleRate, std::memory_order_release);
    outChannels.store(format.channels, std::memory_order_release);
    if (device->audioClient->initialize(format, bufferDuration) != Status::Ok) {
        setLastError("IAudioClient::Initialize");
        return false;
    }
    if (device->audioClient->getBufferSize(device->bufferFrames) != Status::Ok || device->bufferFrames == 0) {
        setLastError("GetBufferSize");
        return false;
    }
    device->bufferEvent.reset();
    if (device->audioClient->setEventHandle(&device->bufferEvent) != Status::Ok) {
        setLastError("SetEventHandle");
        return false;
    }
    if (device->audioClient->getService(device->renderClient) != Status::Ok || !device->renderClient) {
        setLastError("GetService IAudioRenderClient");
        return false;
    }
    ringBuffer.reset(size_t(format.channels) * size_t(format.sampleRate) / 5);
    {
        // Allocated here rather than at the first period, so the period path allocates nothing.
        std::lock_guard<std::mutex> lock(tapMutex);
        tap.assign(2 * tapFrames, 0.0f);
        tapWrite = 0;
        tapFilled = false;
    }
    logInfo("AudioOutputWasapi: opened sr={} ch={} buffer_frames={}", format.sampleRate, format.channels,
        device->bufferFrames);
    return true;
}

bool AudioOutputWasapi::reacquire()
{
    releaseClients();
    device->bufferEvent.reset();
    if (reacquireFrom(*device->enumerator, reacquireAttempts)) {
        logInfo("AudioOutputWasapi: reacquired device after invalidation sr={} ch={}", sampleRate(), channels());
        return true;
    }
    return false;
}

bool AudioOutputWasapi::reacquireFrom(DeviceEnumerator& enumerator, int attempts)
{
    for (int attempt = 1;; ++attempt) {
        if (stopRequested.load())
            return false;
        if (enumerator.getDefaultAudioEndpoint(device->endpoint) == Status::Ok && device->endpoint)
            break;
        device->endpoint.reset();
        if (attempt >= attempts)
            return false;
        std::this_thread::sleep_for(reacquirePause);
    }
    MixFormat format;
    if (device->endpoint->activate(device->audioClient) != Status::Ok || !device->audioClient
        || device->audioClient->getMixFormat(format) != Status::Ok)
        return false;
    // The ring and the decoder stay in the format of the open. A device that cannot play that format is
    // refused: a period of the old format would not fit the buffer the new one hands out.
    MixFormat wanted;
    wanted.sampleType = SampleType::Float32;
    wanted.sampleRate = sampleRate();
    wanted.channels = channels();
    if (!(format == wanted)) {
        if (!device->audioClient->isFormatSupported(wanted)) {
            logWarning("AudioOutputWasapi: device format changed (was sr={} ch={}, now sr={} ch={}); it cannot "
                       "play the session's format",
                wanted.sampleRate, wanted.channels, format.sampleRate, format.channels);
            return false;
        }
        format = wanted;
    }
    device->mixFormat = format;
    device->bufferEvent.reset();
    if (device->audioClient->initialize(format, bufferDuration) != Status::Ok
        || device->audioClient->getBufferSize(device->bufferFrames) != Status::Ok || device->bufferFrames == 0
        || device->audioClient->setEventHandle(&device->bufferEvent) != Status::Ok
        || device->audioClient->getService(device->renderClient) != Status::Ok || !device->renderClient
        || device->audioClient->start() != Status::Ok)
        return false;
    return true;
}

bool AudioOutputWasapi::continueSilently()
{
    // Halting would leave the decoder blocked on a full ring and the picture frozen; a silent endpoint in the
    // same format keeps the ring draining and the clock running.
    logWarning("AudioOutputWasapi: reacquire failed; continuing without sound");
    releaseClients();
    try {
        MixFormat format;
        format.sampleType = SampleType::Float32;
        format.sampleRate = sampleRate();
        format.channels = channels();
        device->enumerator = makeSilentEnumerator(format);
    } catch (...) {
        return false;
    }
    return reacquireFrom(*device->enumerator, 1);
}

void AudioOutputWasapi::renderLoop()
{
    pthread_setname_np(pthread_self(), "kvr-audio");
    bool opened = false;
    try {
        opened = open();
    } catch (...) {
        setLastError("GetDefaultAudioEndpoint");
        opened = false;
    }
    device->initOk = opened;
    device->initializedEvent.set();

    if (opened) {
        device->startEvent.wait();
        if (!stopRequested.load()) {
            const int priority = boostThreadPriority();
            try {
                render();
            } catch (const std::exception& e) {
                logWarning("AudioOutputWasapi: render loop failed: {}", e.what());
            } catch (...) {
                logWarning("AudioOutputWasapi: render loop failed");
            }
            restoreThreadPriority(priority);
        }
    }
    releaseClients();
    device->enumerator.reset();
}

void AudioOutputWasapi::render()
{
    DeviceRecord& d = *device;
    // Pre-roll: a whole buffer of silence, so the endpoint starts with room for the first real period.
    uint8_t* data = nullptr;
    if (d.renderClient->getBuffer(d.bufferFrames, data) == Status::Ok && data) {
        std::memset(data, 0, size_t(d.mixFormat.blockAlign()) * d.bufferFrames);
        d.renderClient->releaseBuffer(d.bufferFrames, true);
    }
    bool started = d.audioClient->start() == Status::Ok;
    // A hold keeps the endpoint running on silence rather than waiting to start it: the stream is then warm when
    // the first sound comes, and the count of what is heard starts cleanly from it.
    bool holding = holdMs.load() > 0;
    const auto holdEnds = std::chrono::steady_clock::now() + std::chrono::milliseconds(holdMs.load());

    const size_t ch = size_t(channels());
    while (!stopRequested.load()) {
        const bool signalled = d.bufferEvent.wait(periodWait);
        if (stopRequested.load())
            break;
        if (paused.load()) {
            // Stopping keeps what the endpoint holds, so resuming continues seamlessly without a new pre-roll.
            if (started) {
                d.audioClient->stop();
                started = false;
                // The endpoint may play on for a moment after the stop is asked for; that audio was heard.
                uint32_t padding = 0;
                if (d.audioClient->getCurrentPadding(padding) == Status::Ok)
                    updatePlayed(std::min(padding, d.bufferFrames));
            }
            continue;
        }
        if (!started)
            started = d.audioClient->start() == Status::Ok;
        if (!signalled)
            continue;

        uint32_t padding = 0;
        Status status = d.audioClient->getCurrentPadding(padding);
        if (status == Status::DeviceInvalidated) {
            logWarning("AudioOutputWasapi: device invalidated; reacquiring");
            if (!recover())
                break;
            started = true;
            continue;
        }
        if (status != Status::Ok)
            continue;
        padding = std::min(padding, d.bufferFrames);
        updatePlayed(padding);
        const uint32_t frames = d.bufferFrames - padding;
        if (frames == 0)
            continue;

        data = nullptr;
        status = d.renderClient->getBuffer(frames, data);
        if (status == Status::DeviceInvalidated) {
            logWarning("AudioOutputWasapi: device invalidated on GetBuffer; reacquiring");
            if (!recover())
                break;
            started = true;
            continue;
        }
        if (status != Status::Ok || !data)
            continue;

        float* out = reinterpret_cast<float*>(data);
        const size_t wanted = size_t(frames) * ch;
        if (holding && (holdReleased.load() || std::chrono::steady_clock::now() >= holdEnds))
            holding = false;
        const size_t taken = holding ? 0 : ringBuffer.read(out, wanted);
        if (taken > 0) {
            const float gain = volume.load();
            if (gain != 1.0f) {
                for (size_t i = 0; i < wanted; ++i)
                    out[i] *= gain;
            }
            feedTap(out, frames);
        }
        if (d.renderClient->releaseBuffer(frames, taken == 0) != Status::Ok)
            continue;
        // Handing frames over changes nothing heard, so the count is updated from the padding alone, above.
        if (taken > 0)
            hasDelivered = true;
        if (hasDelivered)
            handedFrames += frames;
    }
    // A stop asked for from outside is final: the client is released right after, which ends its stream, and
    // nothing will be resumed. Stopping it first would only wait for a pause's careful cut.
    if (started && d.audioClient && !stopRequested.load())
        d.audioClient->stop();
}

bool AudioOutputWasapi::recover()
{
    if (reacquire())
        return true;
    if (stopRequested.load())
        return false;
    if (continueSilently())
        return true;
    logWarning("AudioOutputWasapi: reacquire failed; halting render");
    return false;
}

} // namespace kvr::engine::internal
