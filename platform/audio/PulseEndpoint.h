#pragma once

#include "platform/audio/AudioEndpoint.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace kvr::platform::audio {

// How long a server that did not answer within the connect time-out is left alone: opens in the meantime fail at
// once instead of waiting out the time-out again.
inline constexpr std::chrono::seconds retryAfterTimeout { 30 };

// The PulseAudio server named by PULSE_SERVER (or the user's default server; PipeWire desktops serve the same
// protocol), reached without ever spawning one, with a default sink. Null, with the reason in `error`, when that
// fails or the server takes longer than `timeout` to answer; `attempted` is false when no connection was tried
// because the server timed out less than `retryAfterTimeout` ago.
//
// The process keeps one connection (a threaded main loop and its context) and every endpoint makes only a stream
// of its own on it. The endpoints offer 32-bit float at the default sink's rate and channel count (the server
// converts), lay the channels out in FFmpeg's default order, and count the server's latency as padding. A pause
// corks the stream after cutting the audio a little ahead of what the server has read; what was not heard is
// kept and played first on resume, so nothing is lost or repeated. A stream or connection failure (a server
// restart, say) is "device invalidated"; the next look-up then connects again.
std::unique_ptr<DeviceEnumerator> connectPulse(std::chrono::milliseconds timeout, std::string& error, bool& attempted);

// How often the server has found a stream of this process empty while playing it (an underflow: the audio came
// too late, on a machine too busy to send it in time, and the sound stopped for a moment). Each is logged.
uint64_t pulseUnderflows();
std::unique_ptr<DeviceEnumerator> connectPulse(std::chrono::milliseconds timeout, std::string& error);

} // namespace kvr::platform::audio
