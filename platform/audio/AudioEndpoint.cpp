#include "platform/audio/AudioEndpoint.h"

#include "platform/audio/PulseEndpoint.h"
#include "platform/audio/VirtualEndpoint.h"

#include <spdlog/spdlog.h>

#include <cerrno>
#include <climits>
#include <sys/resource.h>
#include <unistd.h>

namespace kvr::platform::audio {

uint32_t MixFormat::bytesPerSample() const
{
    switch (sampleType) {
    case SampleType::Int16:
        return 2;
    case SampleType::Int24:
        return 3;
    case SampleType::Float32:
    case SampleType::Int32:
        return 4;
    }
    return 4;
}

std::string describe(const MixFormat& format)
{
    const char* type = "f32";
    switch (format.sampleType) {
    case SampleType::Float32:
        type = "f32";
        break;
    case SampleType::Int16:
        type = "s16";
        break;
    case SampleType::Int24:
        type = "s24";
        break;
    case SampleType::Int32:
        type = "s32";
        break;
    }
    return std::string(type) + " " + std::to_string(format.sampleRate) + " Hz " + std::to_string(format.channels)
        + " ch";
}

std::unique_ptr<DeviceEnumerator> createDeviceEnumerator()
{
    std::string error;
    bool attempted = false;
    if (auto pulse = connectPulse(connectTimeout, error, attempted))
        return pulse;
    // Without sound a medium must still open and its picture keep time, so play into a silent endpoint. A server
    // that is being left alone after a time-out was reported when it timed out.
    if (attempted) {
        try {
            spdlog::warn("AudioEndpoint: no sound server ({}); playing without sound", error);
        } catch (...) {
        }
    }
    return makeSilentEnumerator(MixFormat {});
}

int boostThreadPriority()
{
    const id_t tid = static_cast<id_t>(::gettid());
    errno = 0;
    const int previous = ::getpriority(PRIO_PROCESS, tid);
    if (errno != 0)
        return INT_MIN;
    // A higher priority is only possible with the right privileges; without them the thread runs as it is.
    if (::setpriority(PRIO_PROCESS, tid, -11) != 0)
        return INT_MIN;
    return previous;
}

void restoreThreadPriority(int previous)
{
    if (previous < -20 || previous > 19)
        return;
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), previous);
}

} // namespace kvr::platform::audio
