#pragma once

#include "platform/audio/AudioEndpoint.h"

#include <chrono>
#include <memory>
#include <string>

namespace kvr::platform::audio {

// Connects to the PulseAudio server named by PULSE_SERVER (or the user's default server; PipeWire desktops serve
// the same protocol) without ever spawning one, and checks that it has a default sink. Null, with the reason in
// `error`, when that fails or takes longer than `timeout`.
//
// The endpoints it hands out offer 32-bit float at the default sink's rate and channel count (the server
// converts), lay the channels out in FFmpeg's default order, and count the server's latency as padding. A pause
// corks the stream after cutting the audio a little ahead of what the server has read; what was not heard is
// kept and played first on resume, so nothing is lost or repeated. A stream or connection failure (a server restart,
// say) is "device invalidated"; the enumerator then reconnects on the next look-up.
std::unique_ptr<DeviceEnumerator> connectPulse(std::chrono::milliseconds timeout, std::string& error);

} // namespace kvr::platform::audio
