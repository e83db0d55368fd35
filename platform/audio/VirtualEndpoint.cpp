#include "platform/audio/VirtualEndpoint.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <pthread.h>
#include <thread>

namespace kvr::platform::audio {

class VirtualAudioClient : public AudioClient {
public:
    VirtualAudioClient(std::shared_ptr<VirtualDevice> device, const MixFormat& offered)
        : device(std::move(device))
        , offered(offered)
    {
    }

    ~VirtualAudioClient() override
    {
        stopTicker();
        std::lock_guard<std::mutex> lock(device->mutex);
        if (device->active == this) {
            device->active = nullptr;
            device->stats.running = false;
        }
    }

    Status getMixFormat(MixFormat& format) override
    {
        format = offered;
        return Status::Ok;
    }

    bool isFormatSupported(const MixFormat& format) override { return format == offered; }

    Status initialize(const MixFormat& format, std::chrono::microseconds bufferDuration) override
    {
        try {
            std::lock_guard<std::mutex> lock(device->mutex);
            if (initialized || !(format == offered) || bufferDuration.count() <= 0)
                return Status::Failed;
            bufferFrames = static_cast<uint32_t>(int64_t(format.sampleRate) * bufferDuration.count() / 1000000);
            if (bufferFrames == 0)
                return Status::Failed;
            buffer.assign(size_t(bufferFrames) * format.blockAlign(), 0);
            if (!device->manualPacing)
                ticker = std::thread([this] { tick(); });
            initialized = true;
            device->active = this;
            device->stats.running = false;
            return Status::Ok;
        } catch (...) {
            return Status::Failed;
        }
    }

    Status getBufferSize(uint32_t& frames) override
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        if (!initialized)
            return Status::Failed;
        frames = bufferFrames;
        return Status::Ok;
    }

    Status setEventHandle(Event* e) override
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        if (!initialized || !e)
            return Status::Failed;
        event = e;
        return Status::Ok;
    }

    Status getService(std::unique_ptr<RenderClient>& renderClient) override;

    Status getCurrentPadding(uint32_t& frames) override
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        if (invalid && !paddingStillWorks)
            return Status::DeviceInvalidated;
        if (!initialized)
            return Status::Failed;
        frames = static_cast<uint32_t>(written - consumed);
        return Status::Ok;
    }

    Status start() override { return setRunning(true); }
    Status stop() override { return setRunning(false); }

    // Render client calls, under the device mutex.
    Status getBufferLocked(uint32_t frames, uint8_t*& data)
    {
        if (invalid) {
            paddingStillWorks = false;
            return Status::DeviceInvalidated;
        }
        if (!initialized || frames > bufferFrames - static_cast<uint32_t>(written - consumed))
            return Status::Failed;
        pending = frames;
        data = buffer.data();
        return Status::Ok;
    }

    Status releaseBufferLocked(uint32_t frames, bool silent)
    {
        if (invalid)
            return Status::DeviceInvalidated;
        if (frames > pending)
            return Status::Failed;
        pending = 0;
        written += frames;
        auto& s = device->stats;
        ++s.releases;
        s.framesWritten += frames;
        if (silent)
            s.silentFrames += frames;
        s.lastReleaseFrames = frames;
        s.lastReleaseSilent = silent;
        capture(frames, silent);
        device->changed.notify_all();
        return Status::Ok;
    }

    // Under the device mutex: `periods` periods pass.
    void consumeLocked(uint32_t periods)
    {
        if (!running || (invalid && !paddingStillWorks))
            return;
        const uint64_t before = consumed;
        consumed = std::min<uint64_t>(written, consumed + uint64_t(periods) * device->periodFrames);
        device->stats.framesConsumed += consumed - before;
        device->changed.notify_all();
    }

    void invalidateLocked(VirtualDevice::FailAt where)
    {
        invalid = true;
        paddingStillWorks = where == VirtualDevice::FailAt::GetBuffer;
    }

    Event* eventLocked() const { return running || invalid ? event : nullptr; }

private:
    Status setRunning(bool on)
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        if (invalid)
            return Status::DeviceInvalidated;
        if (!initialized)
            return Status::Failed;
        running = on;
        if (device->active == this)
            device->stats.running = on;
        device->changed.notify_all();
        return Status::Ok;
    }

    void capture(uint32_t frames, bool silent)
    {
        auto& ring = device->capture;
        if (ring.empty() || offered.sampleType != SampleType::Float32)
            return;
        const float* src = reinterpret_cast<const float*>(buffer.data());
        const size_t n = size_t(frames) * size_t(offered.channels);
        for (size_t i = 0; i < n; ++i) {
            ring[device->captureWrite] = silent ? 0.0f : src[i];
            device->captureWrite = (device->captureWrite + 1) % ring.size();
        }
        device->captureFill = std::min(ring.size(), device->captureFill + n);
    }

    void tick()
    {
        pthread_setname_np(pthread_self(), "kvr-vaudio");
        const auto period = std::chrono::nanoseconds(int64_t(device->periodFrames) * 1000000000 / offered.sampleRate);
        auto next = std::chrono::steady_clock::now() + period;
        std::unique_lock<std::mutex> lock(tickMutex);
        while (!tickCond.wait_until(lock, next, [this] { return tickQuit; })) {
            next += period;
            Event* e = nullptr;
            {
                std::lock_guard<std::mutex> deviceLock(device->mutex);
                consumeLocked(1);
                e = eventLocked();
            }
            if (e)
                e->set();
        }
    }

    void stopTicker()
    {
        {
            std::lock_guard<std::mutex> lock(tickMutex);
            tickQuit = true;
        }
        tickCond.notify_all();
        if (ticker.joinable())
            ticker.join();
    }

    std::shared_ptr<VirtualDevice> device;
    const MixFormat offered;
    // Guarded by the device mutex.
    bool initialized = false;
    bool invalid = false;
    bool paddingStillWorks = false;
    bool running = false;
    uint32_t bufferFrames = 0;
    uint32_t pending = 0;
    uint64_t written = 0;
    uint64_t consumed = 0;
    std::vector<uint8_t> buffer;
    Event* event = nullptr;
    // The steady-clock pacing thread.
    std::thread ticker;
    std::mutex tickMutex;
    std::condition_variable tickCond;
    bool tickQuit = false;
};

class VirtualRenderClient : public RenderClient {
public:
    VirtualRenderClient(VirtualAudioClient* client, VirtualDevice* device)
        : client(client)
        , device(device)
    {
    }

    Status getBuffer(uint32_t frames, uint8_t*& data) override
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        return client->getBufferLocked(frames, data);
    }

    Status releaseBuffer(uint32_t frames, bool silent) override
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        return client->releaseBufferLocked(frames, silent);
    }

private:
    VirtualAudioClient* client;
    VirtualDevice* device;
};

Status VirtualAudioClient::getService(std::unique_ptr<RenderClient>& renderClient)
{
    try {
        renderClient = std::make_unique<VirtualRenderClient>(this, device.get());
        return Status::Ok;
    } catch (...) {
        return Status::Failed;
    }
}

class VirtualEndpointDevice : public Device {
public:
    explicit VirtualEndpointDevice(std::shared_ptr<VirtualDevice> device)
        : device(std::move(device))
    {
    }

    Status activate(std::unique_ptr<AudioClient>& client) override
    {
        try {
            MixFormat format;
            {
                std::lock_guard<std::mutex> lock(device->mutex);
                ++device->stats.activations;
                format = device->format;
            }
            client = std::make_unique<VirtualAudioClient>(device, format);
            return Status::Ok;
        } catch (...) {
            return Status::Failed;
        }
    }

private:
    std::shared_ptr<VirtualDevice> device;
};

class VirtualEnumerator : public DeviceEnumerator {
public:
    explicit VirtualEnumerator(std::shared_ptr<VirtualDevice> device)
        : device(std::move(device))
    {
    }

    Status getDefaultAudioEndpoint(std::unique_ptr<Device>& endpoint) override
    {
        {
            std::lock_guard<std::mutex> lock(device->mutex);
            ++device->stats.defaultEndpointCalls;
            device->changed.notify_all();
            if (device->failLookups > 0) {
                --device->failLookups;
                return Status::Failed;
            }
        }
        try {
            endpoint = std::make_unique<VirtualEndpointDevice>(device);
            return Status::Ok;
        } catch (...) {
            return Status::Failed;
        }
    }

private:
    std::shared_ptr<VirtualDevice> device;
};

VirtualDevice::VirtualDevice(VirtualDeviceOptions options)
    : periodFrames(std::max<uint32_t>(1, options.periodFrames))
    , manualPacing(options.manualPacing)
    , format(options.format)
    , capture(options.captureFrames * size_t(std::max(1, options.format.channels)), 0.0f)
{
}

VirtualDevice::~VirtualDevice() = default;

void VirtualDevice::setMixFormat(const MixFormat& f)
{
    std::lock_guard<std::mutex> lock(mutex);
    format = f;
}

void VirtualDevice::invalidate(FailAt where)
{
    Event* e = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!active)
            return;
        active->invalidateLocked(where);
        e = active->eventLocked();
    }
    if (e)
        e->set();
}

void VirtualDevice::failDefaultEndpoint(int times)
{
    std::lock_guard<std::mutex> lock(mutex);
    failLookups = times;
}

void VirtualDevice::advance(uint32_t periods)
{
    Event* e = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!active)
            return;
        active->consumeLocked(periods);
        e = active->eventLocked();
    }
    if (e)
        e->set();
}

VirtualDevice::Counters VirtualDevice::counters()
{
    std::lock_guard<std::mutex> lock(mutex);
    return stats;
}

bool VirtualDevice::waitUntil(const std::function<bool(const Counters&)>& done, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return done(stats); });
}

std::vector<float> VirtualDevice::captured()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<float> out;
    out.reserve(captureFill);
    const size_t start = (captureWrite + capture.size() - captureFill) % std::max<size_t>(1, capture.size());
    for (size_t i = 0; i < captureFill; ++i)
        out.push_back(capture[(start + i) % capture.size()]);
    return out;
}

std::unique_ptr<DeviceEnumerator> makeVirtualEnumerator(std::shared_ptr<VirtualDevice> device)
{
    return std::make_unique<VirtualEnumerator>(std::move(device));
}

std::unique_ptr<DeviceEnumerator> makeSilentEnumerator(const MixFormat& format)
{
    VirtualDeviceOptions options;
    options.format = format;
    options.periodFrames = static_cast<uint32_t>(std::max(1, format.sampleRate / 100));
    return makeVirtualEnumerator(std::make_shared<VirtualDevice>(options));
}

} // namespace kvr::platform::audio
