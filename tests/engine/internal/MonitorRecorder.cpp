#include "tests/engine/internal/MonitorRecorder.h"

#include "platform/audio/AudioEndpoint.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unistd.h>

int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

MonitorRecorder::~MonitorRecorder()
{
    stop();
}

bool MonitorRecorder::start(const std::string& source, std::string& error)
{
    loop = pa_threaded_mainloop_new();
    context = pa_context_new(pa_threaded_mainloop_get_api(loop), "kvr-test-recorder");
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0
        || pa_threaded_mainloop_start(loop) < 0) {
        error = "connect failed";
        return false;
    }
    // The moments fragments arrive place what was heard; at normal priority on a busy machine they arrive late.
    pa_threaded_mainloop_lock(loop);
    pa_threaded_mainloop_once_unlocked(
        loop, [](pa_threaded_mainloop*, void*) { kvr::platform::audio::boostThreadPriority(); }, nullptr);
    pa_threaded_mainloop_unlock(loop);
    const auto until = [&](auto done) {
        for (int i = 0; i < 3000; ++i) {
            pa_threaded_mainloop_lock(loop);
            const int r = done();
            pa_threaded_mainloop_unlock(loop);
            if (r != 0)
                return r > 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    };
    if (!until([&] {
            const auto s = pa_context_get_state(context);
            return s == PA_CONTEXT_READY ? 1 : PA_CONTEXT_IS_GOOD(s) ? 0 : -1;
        })) {
        error = "context not ready";
        return false;
    }
    pa_sample_spec sampleSpec { PA_SAMPLE_FLOAT32NE, rate, 2 };
    pa_buffer_attr attr;
    attr.maxlength = uint32_t(-1);
    attr.tlength = uint32_t(-1);
    attr.prebuf = uint32_t(-1);
    attr.minreq = uint32_t(-1);
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(2000, &sampleSpec));
    pa_threaded_mainloop_lock(loop);
    drainedNs = steadyNs();
    stream = pa_stream_new(context, "monitor", &sampleSpec, nullptr);
    pa_stream_set_read_callback(stream, &MonitorRecorder::onRead, this);
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    const int r = pa_stream_connect_record(stream, source.c_str(), &attr, flags);
    pa_threaded_mainloop_unlock(loop);
    if (r < 0) {
        error = "connect_record failed";
        return false;
    }
    if (!until([&] {
            const auto s = pa_stream_get_state(stream);
            return s == PA_STREAM_READY ? 1 : PA_STREAM_IS_GOOD(s) ? 0 : -1;
        })) {
        error = "record stream not ready";
        return false;
    }
    return true;
}

void MonitorRecorder::onRead(pa_stream* s, size_t, void* user)
{
    auto* self = static_cast<MonitorRecorder*>(user);
    const int64_t now = steadyNs();
    // The data came in since the last read found none; on a busy machine this read may come well after it.
    const int64_t since = self->drainedNs;
    const pa_timing_info* timing = pa_stream_get_timing_info(s);
    const int64_t aheadNs = timing ? int64_t(timing->sink_usec) * 1000 : 0;
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
        std::lock_guard<std::mutex> lock(self->mutex);
        const size_t n = bytes / sizeof(float);
        if (data) {
            const auto* f = static_cast<const float*>(data);
            self->recorded.insert(self->recorded.end(), f, f + n);
        } else {
            self->recorded.insert(self->recorded.end(), n, 0.0f);
        }
        self->anchors.push_back({ self->recorded.size() / 2, now, since, aheadNs });
        pa_stream_drop(s);
    }
    self->drainedNs = steadyNs();
}

void MonitorRecorder::stop()
{
    if (!loop)
        return;
    pa_threaded_mainloop_lock(loop);
    if (stream) {
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
    }
    if (context) {
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
    pa_threaded_mainloop_unlock(loop);
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
    loop = nullptr;
}

std::vector<float> MonitorRecorder::samples()
{
    std::lock_guard<std::mutex> lock(mutex);
    return recorded;
}

int64_t MonitorRecorder::heardAtNs(size_t frame, int64_t* uncertaintyNs)
{
    std::lock_guard<std::mutex> lock(mutex);
    // The sink plays at exactly its rate, and its monitor's data can only reach us late, never early: the chunk
    // that arrived with the least delay over the next half second places the frame. It arrived at most the read's
    // own wait before we saw it, and the sink played it at most what it mixes ahead after that.
    int64_t best = INT64_MAX;
    int64_t uncertainty = 0;
    for (const Anchor& a : anchors) {
        if (a.frame < frame || a.frame > frame + rate / 2)
            continue;
        const int64_t at = a.ns - int64_t(a.frame - frame) * 1000000000 / rate;
        if (at < best) {
            best = at;
            uncertainty = (a.ns - a.since) + a.aheadNs;
        }
    }
    if (uncertaintyNs)
        *uncertaintyNs = uncertainty;
    return best == INT64_MAX ? -1 : best;
}

PrivateSink::PrivateSink()
{
    name = "kvr_test_" + std::to_string(::getpid());
    const std::string command = "pactl load-module module-null-sink sink_name=" + name + " rate=48000 channels=2";
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char line[64] = { 0 };
        if (std::fgets(line, sizeof line, p))
            module = std::atoi(line);
        if (::pclose(p) != 0)
            module = -1;
    }
    if (ok())
        ::setenv("PULSE_SINK", name.c_str(), 1);
}

PrivateSink::~PrivateSink()
{
    if (ok())
        if (std::system(("pactl unload-module " + std::to_string(module) + " >/dev/null 2>&1").c_str()) != 0) {
            // the server goes away with the test run anyway
        }
}
