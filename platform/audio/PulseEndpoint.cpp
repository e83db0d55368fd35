#include "platform/audio/PulseEndpoint.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

namespace kvr::platform::audio {
namespace {

using Clock = std::chrono::steady_clock;

// How often the server asks for more audio; the render loop's period on this backend.
constexpr std::chrono::microseconds requestInterval { 10000 };

// One threaded main loop and its context. Everything the endpoints do with libpulse runs under the loop's lock.
class PulseConnection {
public:
    ~PulseConnection()
    {
        if (!loop)
            return;
        pa_threaded_mainloop_lock(loop);
        if (context) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
        }
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }

    static std::shared_ptr<PulseConnection> connect(std::chrono::milliseconds timeout, std::string& error)
    {
        auto self = std::shared_ptr<PulseConnection>(new PulseConnection);
        const auto deadline = Clock::now() + timeout;
        self->loop = pa_threaded_mainloop_new();
        if (!self->loop) {
            error = "pa_threaded_mainloop_new failed";
            return nullptr;
        }
        pa_threaded_mainloop_set_name(self->loop, "kvr-pulse");
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Kestrune Media Player");
        pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "kestrune");
        self->context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(self->loop), nullptr, props);
        pa_proplist_free(props);
        if (!self->context) {
            error = "pa_context_new failed";
            return nullptr;
        }
        pa_context_set_state_callback(self->context, &PulseConnection::onState, self->loop);
        // Never spawn a server: a player must not leave daemons behind, and a missing server means silence.
        if (pa_context_connect(self->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            error = pa_strerror(pa_context_errno(self->context));
            return nullptr;
        }
        if (pa_threaded_mainloop_start(self->loop) < 0) {
            error = "pa_threaded_mainloop_start failed";
            return nullptr;
        }
        Locked lock(self->loop);
        const bool ready = self->waitLocked(
            [&] {
                const pa_context_state_t state = pa_context_get_state(self->context);
                return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
            },
            deadline);
        if (!ready) {
            error = "no answer within " + std::to_string(timeout.count()) + " ms";
            return nullptr;
        }
        if (pa_context_get_state(self->context) != PA_CONTEXT_READY) {
            error = pa_strerror(pa_context_errno(self->context));
            return nullptr;
        }
        return self;
    }

    class Locked {
    public:
        explicit Locked(pa_threaded_mainloop* loop)
            : loop(loop)
        {
            pa_threaded_mainloop_lock(loop);
        }
        ~Locked() { pa_threaded_mainloop_unlock(loop); }
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;

    private:
        pa_threaded_mainloop* loop;
    };

    // Called with the lock held; lets the loop run until `done` holds or the deadline passes.
    template <typename Done> bool waitLocked(Done done, Clock::time_point deadline)
    {
        while (!done()) {
            if (Clock::now() >= deadline)
                return false;
            pa_threaded_mainloop_unlock(loop);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            pa_threaded_mainloop_lock(loop);
        }
        return true;
    }

    bool readyLocked() const { return context && pa_context_get_state(context) == PA_CONTEXT_READY; }

    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;

private:
    PulseConnection() = default;

    static void onState(pa_context*, void* loop)
    {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    }
};

struct SinkLookup {
    bool done = false;
    bool found = false;
    uint32_t rate = 0;
    uint8_t channels = 0;
};

// The default sink's sample rate and channel count.
Status lookUpDefaultSink(PulseConnection& connection, SinkLookup& sink)
{
    // libpulse plays to PULSE_SINK when it is set, so the format must be that sink's.
    const char* chosen = std::getenv("PULSE_SINK");
    const char* name = chosen && *chosen ? chosen : "@DEFAULT_SINK@";
    PulseConnection::Locked lock(connection.loop);
    if (!connection.readyLocked())
        return Status::DeviceInvalidated;
    pa_operation* op = pa_context_get_sink_info_by_name(
        connection.context, name,
        [](pa_context*, const pa_sink_info* info, int eol, void* user) {
            auto* s = static_cast<SinkLookup*>(user);
            if (eol != 0) {
                s->done = true;
                return;
            }
            if (info && !s->found) {
                s->found = true;
                s->rate = info->sample_spec.rate;
                s->channels = info->sample_spec.channels;
            }
        },
        &sink);
    if (!op)
        return Status::Failed;
    const bool answered
        = connection.waitLocked([&] { return sink.done || !connection.readyLocked(); }, Clock::now() + connectTimeout);
    if (!sink.done)
        pa_operation_cancel(op);
    pa_operation_unref(op);
    if (!answered || !sink.done)
        return connection.readyLocked() ? Status::Failed : Status::DeviceInvalidated;
    return sink.found && sink.rate > 0 && sink.channels > 0 ? Status::Ok : Status::Failed;
}

class PulseAudioClient;

class PulseRenderClient : public RenderClient {
public:
    explicit PulseRenderClient(PulseAudioClient* client)
        : client(client)
    {
    }
    Status getBuffer(uint32_t frames, uint8_t*& data) override;
    Status releaseBuffer(uint32_t frames, bool silent) override;

private:
    PulseAudioClient* client;
};

class PulseAudioClient : public AudioClient {
public:
    PulseAudioClient(std::shared_ptr<PulseConnection> connection, const MixFormat& mix)
        : connection(std::move(connection))
        , mix(mix)
    {
    }

    ~PulseAudioClient() override
    {
        PulseConnection::Locked lock(connection->loop);
        if (timer)
            pa_threaded_mainloop_get_api(connection->loop)->time_free(timer);
        if (stream) {
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_set_write_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
        }
    }

    Status getMixFormat(MixFormat& format) override
    {
        format = mix;
        return Status::Ok;
    }

    bool isFormatSupported(const MixFormat& format) override
    {
        // The server converts rate, channel count and sample type to the sink's; we only ever send float.
        return format.sampleType == SampleType::Float32 && format.channels >= 1
            && format.channels <= int32_t(PA_CHANNELS_MAX) && format.sampleRate >= 1
            && uint32_t(format.sampleRate) <= PA_RATE_MAX;
    }

    Status initialize(const MixFormat& format, std::chrono::microseconds bufferDuration) override
    {
        if (stream || !isFormatSupported(format) || bufferDuration.count() <= 0)
            return Status::Failed;
        pa_sample_spec spec;
        spec.format = PA_SAMPLE_FLOAT32NE;
        spec.rate = static_cast<uint32_t>(format.sampleRate);
        spec.channels = static_cast<uint8_t>(format.channels);
        // FFmpeg's default channel order is the WAVE order, so 5.1 lands on the right speakers.
        pa_channel_map map;
        if (!pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_WAVEEX))
            return Status::Failed;
        frameBytes = static_cast<uint32_t>(pa_frame_size(&spec));
        bufferFrames = static_cast<uint32_t>(int64_t(format.sampleRate) * bufferDuration.count() / 1000000);
        if (bufferFrames == 0)
            return Status::Failed;
        try {
            buffer.assign(size_t(bufferFrames) * frameBytes, 0);
        } catch (...) {
            return Status::Failed;
        }
        rate = format.sampleRate;

        PulseConnection::Locked lock(connection->loop);
        if (!connection->readyLocked())
            return Status::DeviceInvalidated;
        stream = pa_stream_new(connection->context, "Playback", &spec, &map);
        if (!stream)
            return Status::Failed;
        pa_stream_set_state_callback(stream, &PulseAudioClient::onState, this);
        pa_stream_set_write_callback(stream, &PulseAudioClient::onWritable, this);
        pa_buffer_attr attr;
        attr.maxlength = std::numeric_limits<uint32_t>::max();
        attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(pa_usec_t(bufferDuration.count()), &spec));
        attr.prebuf = std::numeric_limits<uint32_t>::max();
        attr.minreq = static_cast<uint32_t>(pa_usec_to_bytes(pa_usec_t(requestInterval.count()), &spec));
        attr.fragsize = std::numeric_limits<uint32_t>::max();
        // Latency adjustment lets the sink run with a latency below the whole buffer, so the buffer is what
        // stands between the ring and the listener. Timing interpolation gives a smooth count of what is heard.
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_INTERPOLATE_TIMING
            | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
        if (pa_stream_connect_playback(stream, nullptr, &attr, flags, nullptr, nullptr) < 0)
            return Status::Failed;
        const bool settled = connection->waitLocked(
            [&] {
                const pa_stream_state_t state = pa_stream_get_state(stream);
                return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
            },
            Clock::now() + connectTimeout);
        if (!settled || pa_stream_get_state(stream) != PA_STREAM_READY)
            return connection->readyLocked() ? Status::Failed : Status::DeviceInvalidated;
        // The server asks for audio only when its request size has drained, which with a low-latency sink can
        // be a tenth of a second. A period timer wakes the render loop every 10 ms instead, so it tops the
        // buffer up in small steps and the count of frames heard moves smoothly.
        timer = pa_context_rttime_new(
            connection->context, pa_rtclock_now() + requestInterval.count(), &PulseAudioClient::onPeriod, this);
        return timer ? Status::Ok : Status::Failed;
    }

    Status getBufferSize(uint32_t& frames) override
    {
        if (!stream)
            return Status::Failed;
        frames = bufferFrames;
        return Status::Ok;
    }

    Status setEventHandle(Event* e) override
    {
        PulseConnection::Locked lock(connection->loop);
        if (!stream || !e)
            return Status::Failed;
        event = e;
        return Status::Ok;
    }

    Status getService(std::unique_ptr<RenderClient>& renderClient) override
    {
        if (!stream)
            return Status::Failed;
        try {
            renderClient = std::make_unique<PulseRenderClient>(this);
            return Status::Ok;
        } catch (...) {
            return Status::Failed;
        }
    }

    Status getCurrentPadding(uint32_t& frames) override
    {
        PulseConnection::Locked lock(connection->loop);
        const Status alive = aliveLocked();
        if (alive != Status::Ok)
            return alive;
        // The stream time is the position being heard now (the sink's latency already taken off); everything
        // written beyond it is still queued somewhere.
        pa_usec_t heardUs = 0;
        if (pa_stream_get_time(stream, &heardUs) < 0)
            heardUs = 0;
        const uint64_t heard = heardUs * uint64_t(rate) / 1000000;
        const uint64_t queued = written > heard ? written - heard : 0;
        frames = static_cast<uint32_t>(std::min<uint64_t>(queued, std::numeric_limits<uint32_t>::max()));
        return Status::Ok;
    }

    Status start() override { return cork(false); }
    Status stop() override { return cork(true); }

    Status getBufferFor(uint32_t frames, uint8_t*& data)
    {
        if (frames > bufferFrames)
            return Status::Failed;
        PulseConnection::Locked lock(connection->loop);
        const Status alive = aliveLocked();
        if (alive != Status::Ok)
            return alive;
        data = buffer.data();
        return Status::Ok;
    }

    Status releaseBufferOf(uint32_t frames, bool silent)
    {
        if (frames > bufferFrames)
            return Status::Failed;
        const size_t bytes = size_t(frames) * frameBytes;
        if (silent)
            std::memset(buffer.data(), 0, bytes);
        PulseConnection::Locked lock(connection->loop);
        const Status alive = aliveLocked();
        if (alive != Status::Ok)
            return alive;
        if (bytes > 0 && pa_stream_write(stream, buffer.data(), bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return aliveLocked() == Status::Ok ? Status::Failed : Status::DeviceInvalidated;
        written += frames;
        return Status::Ok;
    }

private:
    Status aliveLocked() const
    {
        if (!stream)
            return Status::Failed;
        if (!connection->readyLocked() || pa_stream_get_state(stream) != PA_STREAM_READY)
            return Status::DeviceInvalidated;
        return Status::Ok;
    }

    Status cork(bool on)
    {
        PulseConnection::Locked lock(connection->loop);
        const Status alive = aliveLocked();
        if (alive != Status::Ok)
            return alive;
        // Corking keeps what the server has queued, so a resume continues exactly where the pause stopped.
        pa_operation* op = pa_stream_cork(stream, on ? 1 : 0, nullptr, nullptr);
        if (!op)
            return Status::Failed;
        pa_operation_unref(op);
        running = !on;
        return Status::Ok;
    }

    static void onPeriod(pa_mainloop_api*, pa_time_event* e, const struct timeval*, void* user)
    {
        auto* self = static_cast<PulseAudioClient*>(user);
        if (self->running && self->event)
            self->event->set();
        pa_context_rttime_restart(self->connection->context, e, pa_rtclock_now() + requestInterval.count());
    }

    static void onState(pa_stream* s, void* user)
    {
        auto* self = static_cast<PulseAudioClient*>(user);
        pa_threaded_mainloop_signal(self->connection->loop, 0);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s)) && self->event)
            self->event->set();
    }

    static void onWritable(pa_stream*, size_t, void* user)
    {
        auto* self = static_cast<PulseAudioClient*>(user);
        if (self->event)
            self->event->set();
    }

    std::shared_ptr<PulseConnection> connection;
    const MixFormat mix;
    pa_stream* stream = nullptr;
    pa_time_event* timer = nullptr;
    // Under the loop's lock.
    bool running = false;
    Event* event = nullptr;
    int32_t rate = 0;
    uint32_t frameBytes = 0;
    uint32_t bufferFrames = 0;
    uint64_t written = 0;
    // Filled by the render loop between getBuffer and releaseBuffer; libpulse copies it on write.
    std::vector<uint8_t> buffer;
};

Status PulseRenderClient::getBuffer(uint32_t frames, uint8_t*& data)
{
    return client->getBufferFor(frames, data);
}

Status PulseRenderClient::releaseBuffer(uint32_t frames, bool silent)
{
    return client->releaseBufferOf(frames, silent);
}

class PulseDevice : public Device {
public:
    PulseDevice(std::shared_ptr<PulseConnection> connection, const MixFormat& mix)
        : connection(std::move(connection))
        , mix(mix)
    {
    }

    Status activate(std::unique_ptr<AudioClient>& client) override
    {
        try {
            client = std::make_unique<PulseAudioClient>(connection, mix);
            return Status::Ok;
        } catch (...) {
            return Status::Failed;
        }
    }

private:
    std::shared_ptr<PulseConnection> connection;
    const MixFormat mix;
};

class PulseEnumerator : public DeviceEnumerator {
public:
    explicit PulseEnumerator(std::shared_ptr<PulseConnection> connection)
        : connection(std::move(connection))
    {
    }

    Status getDefaultAudioEndpoint(std::unique_ptr<Device>& device) override
    {
        try {
            if (!connected()) {
                // The server went away (or restarted): a fresh connection finds the new one.
                std::string error;
                auto fresh = PulseConnection::connect(connectTimeout, error);
                if (!fresh)
                    return Status::Failed;
                connection = std::move(fresh);
            }
            SinkLookup sink;
            const Status found = lookUpDefaultSink(*connection, sink);
            if (found != Status::Ok)
                return Status::Failed;
            MixFormat mix;
            mix.sampleType = SampleType::Float32;
            mix.sampleRate = static_cast<int32_t>(sink.rate);
            mix.channels = sink.channels;
            device = std::make_unique<PulseDevice>(connection, mix);
            return Status::Ok;
        } catch (...) {
            return Status::Failed;
        }
    }

private:
    bool connected()
    {
        PulseConnection::Locked lock(connection->loop);
        return connection->readyLocked();
    }

    std::shared_ptr<PulseConnection> connection;
};

} // namespace

std::unique_ptr<DeviceEnumerator> connectPulse(std::chrono::milliseconds timeout, std::string& error)
{
    try {
        auto connection = PulseConnection::connect(timeout, error);
        if (!connection)
            return nullptr;
        SinkLookup sink;
        if (lookUpDefaultSink(*connection, sink) != Status::Ok) {
            error = "the server has no default sink";
            return nullptr;
        }
        return std::make_unique<PulseEnumerator>(std::move(connection));
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    } catch (...) {
        error = "unknown failure";
        return nullptr;
    }
}

} // namespace kvr::platform::audio
