#include "platform/audio/PulseEndpoint.h"

#include <pulse/pulseaudio.h>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kvr::platform::audio {
namespace {

using Clock = std::chrono::steady_clock;

// Underflows of every stream of the process (pulseUnderflows).
std::atomic<uint64_t> underflows { 0 };

// How often the server asks for more audio; the render loop's period on this backend.
constexpr std::chrono::microseconds requestInterval { 10000 };
// How far past the server's read position a pause places its cut: the count of what was heard interpolates and
// may run a little ahead of the server, and must not pass the cut. Also the silence played after the cut before
// the stream is corked.
constexpr std::chrono::microseconds cutGuard { 20000 };
// How long a pause or a server operation may take before we give up waiting for it.
constexpr std::chrono::milliseconds operationTimeout { 1000 };

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

    // `timedOut` tells a server that never answered from one that refused or failed at once.
    static std::shared_ptr<PulseConnection> connect(
        const std::string& server, std::chrono::milliseconds timeout, std::string& error, bool& timedOut)
    {
        timedOut = false;
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
        if (pa_context_connect(
                self->context, server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr)
            < 0) {
            error = pa_strerror(pa_context_errno(self->context));
            return nullptr;
        }
        if (pa_threaded_mainloop_start(self->loop) < 0) {
            error = "pa_threaded_mainloop_start failed";
            return nullptr;
        }
        Locked lock(self->loop);
        // Every period's wake-up and every byte sent to the server pass through the loop's thread: left at normal
        // priority on a busy machine, it starves the boosted render thread and lets the server run dry.
        pa_threaded_mainloop_once_unlocked(
            self->loop, [](pa_threaded_mainloop*, void*) { boostThreadPriority(); }, nullptr);
        const bool ready = self->waitLocked(
            [&] {
                const pa_context_state_t state = pa_context_get_state(self->context);
                return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
            },
            deadline);
        if (!ready) {
            error = "no answer within " + std::to_string(timeout.count()) + " ms";
            timedOut = true;
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

    bool ready()
    {
        Locked lock(loop);
        return readyLocked();
    }

    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;

private:
    PulseConnection() = default;

    static void onState(pa_context*, void* loop)
    {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    }
};

// The process's one connection to the sound server. Every output makes only a stream of its own on it, so a
// seek, which opens a new output, costs a stream and not a connection. A lost connection is made again at the next
// use; a server that did not answer in time is left alone for a while, so that every open and every seek does not
// wait out the time-out again.
class SharedConnection {
public:
    static SharedConnection& instance()
    {
        static SharedConnection shared;
        return shared;
    }

    // The live connection to the server PULSE_SERVER names (the user's default when unset). Null, with the
    // reason in `error`, when it cannot be had; `attempted` is false when no connection was tried because the
    // server timed out less than `retryAfterTimeout` ago.
    std::shared_ptr<PulseConnection> acquire(std::chrono::milliseconds timeout, std::string& error, bool& attempted)
    {
        const char* named = std::getenv("PULSE_SERVER");
        const std::string wanted = named ? named : "";
        // Held across the connect, so that callers at the same moment share one attempt.
        std::lock_guard<std::mutex> lock(mutex);
        attempted = false;
        if (connection && server == wanted && connection->ready())
            return connection;
        connection.reset();
        const auto now = Clock::now();
        if (silentServer && *silentServer == wanted && now < silentUntil) {
            error = "it did not answer within " + std::to_string(timeout.count()) + " ms a moment ago";
            return nullptr;
        }
        silentServer.reset();
        attempted = true;
        bool timedOut = false;
        auto fresh = PulseConnection::connect(wanted, timeout, error, timedOut);
        if (!fresh) {
            if (timedOut) {
                silentServer = wanted;
                silentUntil = Clock::now() + retryAfterTimeout;
            }
            return nullptr;
        }
        server = wanted;
        connection = fresh;
        return fresh;
    }

private:
    std::mutex mutex;
    std::string server;
    std::shared_ptr<PulseConnection> connection;
    // The server that last timed out, and until when it is not tried again.
    std::optional<std::string> silentServer;
    Clock::time_point silentUntil;
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
        if (timingRequest) {
            pa_operation_cancel(timingRequest);
            pa_operation_unref(timingRequest);
        }
        if (stream) {
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_set_write_callback(stream, nullptr, nullptr);
            pa_stream_set_underflow_callback(stream, nullptr, nullptr);
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
        pa_sample_spec sampleSpec;
        sampleSpec.format = PA_SAMPLE_FLOAT32NE;
        sampleSpec.rate = static_cast<uint32_t>(format.sampleRate);
        sampleSpec.channels = static_cast<uint8_t>(format.channels);
        // FFmpeg's default channel order is the WAVE order, so 5.1 lands on the right speakers.
        pa_channel_map map;
        if (!pa_channel_map_init_extend(&map, sampleSpec.channels, PA_CHANNEL_MAP_WAVEEX))
            return Status::Failed;
        frameBytes = static_cast<uint32_t>(pa_frame_size(&sampleSpec));
        bufferFrames = static_cast<uint32_t>(int64_t(format.sampleRate) * bufferDuration.count() / 1000000);
        if (bufferFrames == 0)
            return Status::Failed;
        try {
            buffer.assign(size_t(bufferFrames) * frameBytes, 0);
            // Everything written and not yet heard fits in the buffer; the margin covers what the server still
            // plays between the last look at the padding and a pause.
            historyFrames = bufferFrames + bufferFrames / 2;
            history.assign(size_t(historyFrames) * frameBytes, 0);
        } catch (...) {
            return Status::Failed;
        }
        rate = format.sampleRate;

        PulseConnection::Locked lock(connection->loop);
        if (!connection->readyLocked())
            return Status::DeviceInvalidated;
        stream = pa_stream_new(connection->context, "Playback", &sampleSpec, &map);
        if (!stream)
            return Status::Failed;
        pa_stream_set_state_callback(stream, &PulseAudioClient::onState, this);
        pa_stream_set_write_callback(stream, &PulseAudioClient::onWritable, this);
        pa_stream_set_underflow_callback(stream, &PulseAudioClient::onUnderflow, this);
        pa_buffer_attr attr;
        attr.maxlength = std::numeric_limits<uint32_t>::max();
        attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(pa_usec_t(bufferDuration.count()), &sampleSpec));
        attr.prebuf = std::numeric_limits<uint32_t>::max();
        attr.minreq = static_cast<uint32_t>(pa_usec_to_bytes(pa_usec_t(requestInterval.count()), &sampleSpec));
        attr.fragsize = std::numeric_limits<uint32_t>::max();
        // Latency adjustment lets the sink run with a latency below the whole buffer, so the buffer is what
        // stands between the ring and the listener. Timing interpolation gives a smooth count of what is heard.
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_INTERPOLATE_TIMING
            | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
        // The connection outlives the environment it was made in; the sink a test (or the user) names now is
        // the one the format was looked up for.
        const char* chosen = std::getenv("PULSE_SINK");
        const char* sink = chosen && *chosen ? chosen : nullptr;
        if (pa_stream_connect_playback(stream, sink, &attr, flags, nullptr, nullptr) < 0)
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
        const uint64_t heard = heardLocked();
        if (running && !streamRead)
            hurryStartLocked();
        const uint64_t queued = handed > heard ? handed - heard : 0;
        frames = static_cast<uint32_t>(std::min<uint64_t>(queued, std::numeric_limits<uint32_t>::max()));
        return Status::Ok;
    }

    Status start() override
    {
        PulseConnection::Locked lock(connection->loop);
        const Status alive = aliveLocked();
        if (alive != Status::Ok)
            return alive;
        if (running)
            return Status::Ok;
        if (cutPending) {
            const Status sent = resendUnheardLocked();
            if (sent != Status::Ok)
                return sent;
        }
        const Status uncorked = corkLocked(false);
        if (uncorked == Status::Ok)
            running = true;
        return uncorked;
    }

    Status stop() override
    {
        PulseConnection::Locked lock(connection->loop);
        const Status alive = aliveLocked();
        if (alive != Status::Ok)
            return alive;
        if (!running)
            return Status::Ok;
        // The server has read nothing of the stream yet (it is paused right after it started): the sink holds none
        // of it, so a cork takes nothing back, and the resume is a first start. A cut would wait for the sink to
        // play into it, which on a sink still playing out what it mixed ahead while idle takes seconds.
        if (!streamRead) {
            const pa_timing_info* timing = freshTimingLocked();
            if (timing && !timing->playing && timing->read_index == 0) {
                running = false;
                return corkLocked(true);
            }
        }
        return pauseLocked();
    }

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
        keepLocked(buffer.data(), frames);
        written += frames;
        handed += frames;
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

    // Frames handed over that have been heard. A server frame is a handed-over frame plus `shift` for what was
    // sent since the last resume; nothing before `heardFloor` can be unheard again, and while the stream is
    // stopped, or before the server has begun to play it, nothing more is heard.
    uint64_t heardLocked()
    {
        if (!running || !streamReadLocked())
            return heardFloor;
        pa_usec_t heardUs = 0;
        if (pa_stream_get_time(stream, &heardUs) < 0)
            return heardFloor;
        const int64_t server = static_cast<int64_t>(heardUs * uint64_t(rate) / 1000000);
        return static_cast<uint64_t>(std::max<int64_t>(server - shift, static_cast<int64_t>(heardFloor)));
    }

    // libpulse's stream clock runs on from the first uncork whether or not the sink takes anything, and never
    // steps back. A sink that mixed far ahead while idle (a null sink, up to 2 s) takes a new stream only once it
    // has played that out or taken it back; the clock has by then run ahead of the sound and would carry the count
    // ahead with it. So the clock is believed only once the server has read some of the stream or reports it
    // playing.
    bool streamReadLocked()
    {
        if (!streamRead) {
            const pa_timing_info* timing = pa_stream_get_timing_info(stream);
            streamRead = timing && !timing->read_index_corrupt && (timing->playing || timing->read_index > 0);
        }
        return streamRead;
    }

    // Until then each look asks the server to start the stream now, which makes the sink take back some more of
    // what it mixed ahead, and for fresh timing, so the start is seen within a period. One request at a time.
    void hurryStartLocked()
    {
        if (timingRequest && pa_operation_get_state(timingRequest) == PA_OPERATION_RUNNING)
            return;
        if (timingRequest)
            pa_operation_unref(timingRequest);
        if (pa_operation* trigger = pa_stream_trigger(stream, nullptr, nullptr))
            pa_operation_unref(trigger);
        timingRequest = pa_stream_update_timing_info(stream, nullptr, nullptr);
    }

    // A copy of what was handed over, so that a pause can send again what the server throws away.
    void keepLocked(const uint8_t* data, uint32_t frames)
    {
        for (uint32_t done = 0; done < frames;) {
            const uint64_t slot = (handed + done) % historyFrames;
            const auto n = static_cast<uint32_t>(std::min<uint64_t>(frames - done, historyFrames - slot));
            std::memcpy(history.data() + slot * frameBytes, data + size_t(done) * frameBytes, size_t(n) * frameBytes);
            done += n;
        }
    }

    // Runs a server operation to its end, or until it fails or takes too long.
    bool finishLocked(pa_operation* op)
    {
        if (!op)
            return false;
        const bool done = connection->waitLocked(
            [&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING || aliveLocked() != Status::Ok; },
            Clock::now() + operationTimeout);
        const bool ok = done && pa_operation_get_state(op) == PA_OPERATION_DONE;
        if (pa_operation_get_state(op) == PA_OPERATION_RUNNING)
            pa_operation_cancel(op);
        pa_operation_unref(op);
        return ok;
    }

    const pa_timing_info* freshTimingLocked()
    {
        if (!finishLocked(pa_stream_update_timing_info(stream, nullptr, nullptr)))
            return nullptr;
        return pa_stream_get_timing_info(stream);
    }

    Status corkLocked(bool on)
    {
        pa_operation* op = pa_stream_cork(stream, on ? 1 : 0, nullptr, nullptr);
        if (!op)
            return aliveLocked() == Status::Ok ? Status::Failed : Status::DeviceInvalidated;
        pa_operation_unref(op);
        return Status::Ok;
    }

    // Writes `frames` frames of silence, the first at `offset` as `seek` says.
    bool writeSilenceLocked(uint64_t frames, int64_t offset, pa_seek_mode_t seek)
    {
        std::memset(buffer.data(), 0, buffer.size());
        while (frames > 0) {
            const auto n = static_cast<uint32_t>(std::min<uint64_t>(frames, bufferFrames));
            if (pa_stream_write(stream, buffer.data(), size_t(n) * frameBytes, nullptr, offset, seek) < 0)
                return false;
            offset = 0;
            seek = PA_SEEK_RELATIVE;
            written += n;
            frames -= n;
        }
        return true;
    }

    // Corking alone loses audio: the server takes back what the sink had already mixed ahead, and a sink whose
    // output (or monitor) has already passed that on loses or doubles it. So the audio is cut a little ahead of
    // what the server has read and replaced by silence, and the stream is corked and flushed only once the sink
    // plays that silence: all the server throws away is silence. What lies past the cut stays in the history
    // and is sent again on resume.
    Status pauseLocked()
    {
        const uint64_t heardBefore = heardLocked();
        running = false;
        const pa_timing_info* timing = freshTimingLocked();
        if (!timing || timing->read_index < 0) {
            heardFloor = heardBefore;
            return corkLocked(true);
        }
        const uint64_t guardFrames = uint64_t(rate) * uint64_t(cutGuard.count()) / 1000000;
        const uint64_t sinkFrames = timing->sink_usec * uint64_t(rate) / 1000000;
        const uint64_t readFrames = uint64_t(timing->read_index) / frameBytes;
        // The server places the cut itself, a guard past where it reads when the silence arrives: a cut placed
        // here would land on audio the sink has already played whenever the silence takes longer than the guard
        // to get there, and that audio would be heard again on resume. The silence covers everything written
        // even if the sink takes back what it mixed ahead, and reaches past what the sink mixes ahead, so the
        // sink is playing it when the stream is corked.
        const uint64_t silence = (written > readFrames ? written - readFrames : 0) + sinkFrames + 3 * guardFrames;
        const bool sent = writeSilenceLocked(silence, int64_t(guardFrames * frameBytes), PA_SEEK_RELATIVE_ON_READ);
        // Where it landed: the server's write index, which the silence's end set, less the silence.
        if (sent)
            timing = freshTimingLocked();
        if (!sent || !timing || timing->write_index_corrupt || timing->write_index < 0
            || uint64_t(timing->write_index) / frameBytes < silence) {
            written = readFrames + guardFrames + silence;
            heardFloor = heardBefore;
            return corkLocked(true);
        }
        written = uint64_t(timing->write_index) / frameBytes;
        const uint64_t cut = written - silence;
        // The same point in handed-over frames: never before what was heard already, nor further back than the
        // history reaches.
        const uint64_t oldest = std::max(heardFloor, handed > historyFrames ? handed - historyFrames : 0);
        const uint64_t cutHanded
            = std::clamp<uint64_t>(uint64_t(std::max<int64_t>(int64_t(cut) - shift, 0)), oldest, handed);
        // The cork waits until the sink plays a guard's length into the silence. The stream's own clock is no
        // judge of that: it interpolates and never steps back, so on a busy machine, with the sink's thread
        // starved, it runs ahead of the sink, and a cork at its word throws away audio before the cut that was
        // never played. The server's read index less the sink's latency, fresh each time, is what was played.
        connection->waitLocked(
            [&] {
                const pa_timing_info* now = freshTimingLocked();
                if (!now || now->read_index < 0)
                    return true;
                const int64_t played
                    = now->read_index / int64_t(frameBytes) - int64_t(now->sink_usec * uint64_t(rate) / 1000000);
                return played >= int64_t(cut + guardFrames);
            },
            Clock::now() + operationTimeout);
        heardFloor = cutHanded;
        if (!finishLocked(pa_stream_cork(stream, 1, nullptr, nullptr))
            || !finishLocked(pa_stream_flush(stream, nullptr, nullptr)) || !(timing = freshTimingLocked())
            || timing->write_index < 0) {
            // Without a settled flush the server's position is unknown; resume then simply continues the stream.
            return aliveLocked();
        }
        written = uint64_t(timing->write_index) / frameBytes;
        resumeLead = sinkFrames + guardFrames;
        cutPending = true;
        return Status::Ok;
    }

    // Resume after a cut: first a lead of silence, which the sink may mix over when it takes the stream back
    // (uncorking rewinds the sink), then everything from the cut on.
    Status resendUnheardLocked()
    {
        cutPending = false;
        // The lead is the sink's latency now: at the pause it may have been that of a sink still playing out what
        // it mixed ahead while idle, seconds of it, and a lead that long would hold the sound back as long.
        if (const pa_timing_info* timing = freshTimingLocked()) {
            const uint64_t guardFrames = uint64_t(rate) * uint64_t(cutGuard.count()) / 1000000;
            resumeLead = timing->sink_usec * uint64_t(rate) / 1000000 + guardFrames;
        }
        if (!writeSilenceLocked(resumeLead, 0, PA_SEEK_RELATIVE))
            return aliveLocked() == Status::Ok ? Status::Failed : Status::DeviceInvalidated;
        shift = int64_t(written) - int64_t(heardFloor);
        const uint64_t unheard = handed - heardFloor;
        for (uint64_t done = 0; done < unheard;) {
            const uint64_t slot = (heardFloor + done) % historyFrames;
            const uint64_t n = std::min(unheard - done, historyFrames - slot);
            if (pa_stream_write(
                    stream, history.data() + slot * frameBytes, size_t(n) * frameBytes, nullptr, 0, PA_SEEK_RELATIVE)
                < 0)
                return aliveLocked() == Status::Ok ? Status::Failed : Status::DeviceInvalidated;
            written += n;
            done += n;
        }
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

    // The server found the stream empty while playing it: the audio came too late, and the sound stopped for a
    // moment. The render loop catches up by itself; the count of these tells a starved machine's glitch from a
    // fault.
    static void onUnderflow(pa_stream*, void*)
    {
        const uint64_t count = underflows.fetch_add(1) + 1;
        try {
            spdlog::warn("PulseEndpoint: the server ran out of audio to play ({} times so far)", count);
        } catch (...) {
        }
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
    // Whether the server has read any of the stream (streamReadLocked), and the timing request that asks until it
    // has.
    bool streamRead = false;
    pa_operation* timingRequest = nullptr;
    Event* event = nullptr;
    int32_t rate = 0;
    uint32_t frameBytes = 0;
    uint32_t bufferFrames = 0;
    // Server frames written (a pause's cut and flush move it back) and frames the render loop handed over.
    uint64_t written = 0;
    uint64_t handed = 0;
    // Server frame = handed frame + shift, for what was sent since the last resume.
    int64_t shift = 0;
    uint64_t heardFloor = 0;
    // Set by a pause that cut and flushed: resume sends `resumeLead` frames of silence, then the history from
    // `heardFloor`.
    bool cutPending = false;
    uint64_t resumeLead = 0;
    // The last `historyFrames` handed-over frames; slot = handed frame % historyFrames.
    std::vector<uint8_t> history;
    uint64_t historyFrames = 0;
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

MixFormat mixFormatOf(const SinkLookup& sink)
{
    MixFormat mix;
    mix.sampleType = SampleType::Float32;
    mix.sampleRate = static_cast<int32_t>(sink.rate);
    mix.channels = sink.channels;
    return mix;
}

class PulseEnumerator : public DeviceEnumerator {
public:
    // `connection` and `sink` are what the connect just found; the first look-up uses them rather than asking
    // the server again.
    PulseEnumerator(std::shared_ptr<PulseConnection> connection, const SinkLookup& sink)
        : found(std::move(connection))
        , foundMix(mixFormatOf(sink))
    {
    }

    Status getDefaultAudioEndpoint(std::unique_ptr<Device>& device) override
    {
        try {
            if (found) {
                auto connection = std::move(found);
                if (connection->ready()) {
                    device = std::make_unique<PulseDevice>(std::move(connection), foundMix);
                    return Status::Ok;
                }
            }
            // The server may have gone away (or restarted) since the last look-up: the shared connection then
            // finds the new one.
            std::string error;
            bool attempted = false;
            auto connection = SharedConnection::instance().acquire(connectTimeout, error, attempted);
            if (!connection)
                return Status::Failed;
            SinkLookup sink;
            if (lookUpDefaultSink(*connection, sink) != Status::Ok)
                return Status::Failed;
            device = std::make_unique<PulseDevice>(std::move(connection), mixFormatOf(sink));
            return Status::Ok;
        } catch (...) {
            return Status::Failed;
        }
    }

private:
    std::shared_ptr<PulseConnection> found;
    MixFormat foundMix;
};

} // namespace

uint64_t pulseUnderflows()
{
    return underflows.load();
}

std::unique_ptr<DeviceEnumerator> connectPulse(std::chrono::milliseconds timeout, std::string& error)
{
    bool attempted = false;
    return connectPulse(timeout, error, attempted);
}

std::unique_ptr<DeviceEnumerator> connectPulse(std::chrono::milliseconds timeout, std::string& error, bool& attempted)
{
    attempted = false;
    try {
        auto connection = SharedConnection::instance().acquire(timeout, error, attempted);
        if (!connection)
            return nullptr;
        SinkLookup sink;
        if (lookUpDefaultSink(*connection, sink) != Status::Ok) {
            error = "the server has no default sink";
            return nullptr;
        }
        return std::make_unique<PulseEnumerator>(std::move(connection), sink);
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    } catch (...) {
        error = "unknown failure";
        return nullptr;
    }
}

} // namespace kvr::platform::audio
