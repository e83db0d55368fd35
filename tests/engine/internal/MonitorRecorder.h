#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Records a PulseAudio source (a null sink's monitor) as float stereo at 48 kHz in small fragments, noting when
// each fragment arrived, so each recorded frame can be placed on the steady clock.
class MonitorRecorder {
public:
    ~MonitorRecorder();
    bool start(const std::string& source, std::string& error);
    void stop();

    std::vector<float> samples();
    // Steady-clock nanoseconds at which recorded frame `frame` was heard, and in `uncertaintyNs` how far off that
    // may be either way: the recorder's own reads place fragments only so closely, and the sink passes what it
    // mixes to its monitor ahead of playing it.
    int64_t heardAtNs(size_t frame, int64_t* uncertaintyNs = nullptr);

    static constexpr int rate = 48000;

private:
    static void onRead(pa_stream* s, size_t bytes, void* user);
    // A fragment ending before `frame` arrived at `ns`, and after `since`, when the recorder last found nothing
    // more to read; the sink then mixed `aheadNs` ahead of what it played.
    struct Anchor {
        size_t frame;
        int64_t ns;
        int64_t since;
        int64_t aheadNs;
    };
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    std::mutex mutex;
    std::vector<float> recorded;
    std::vector<Anchor> anchors;
    int64_t drainedNs = 0; // under the loop's lock
};

// A null sink of its own for one test process, made the default for its streams through PULSE_SINK, so parallel
// tests never hear each other.
class PrivateSink {
public:
    PrivateSink();
    ~PrivateSink();
    bool ok() const { return module >= 0; }
    std::string name;
    int module = -1;
};

int64_t steadyNs();
