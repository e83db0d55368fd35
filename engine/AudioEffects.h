#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kvr::engine {

// One effect of the user's ordered chain. A parameter missing from params takes the effect's default.
struct AudioEffectStage {
    static constexpr int32_t Compressor = 0;
    static constexpr int32_t Limiter = 1;
    static constexpr int32_t Widener = 2;
    static constexpr int32_t Bass = 3;
    static constexpr int32_t Treble = 4;
    static constexpr int32_t Voice = 5;

    int32_t kind = Compressor;
    bool enabled = true;
    std::map<std::string, double> params;

    bool operator==(const AudioEffectStage&) const = default;
};

// Centre frequencies of the ten equaliser bands, in Hz; bands[i] is the gain at the i-th one.
inline constexpr std::array<int, 10> equalizerBandFrequencies
    = { 31, 62, 125, 250, 500, 1000, 2000, 4000, 8000, 16000 };

// The user's sound settings. A plain value: copied freely, never changed once shared between threads.
struct AudioEffects {
    static constexpr int32_t NormalizeOff = 0;
    static constexpr int32_t NormalizeEbuR128 = 1;
    static constexpr int32_t NormalizeReplayGainTrack = 2;
    static constexpr int32_t NormalizeReplayGainAlbum = 3;

    bool eqEnabled = false;
    double preamp = 0.0; // dB
    std::array<double, 10> bands {}; // dB
    int32_t normalize = NormalizeOff;
    double loudnessTarget = -16.0; // LUFS; read by the loudness measurement, not by the chain
    double truePeak = -1.0; // dBTP
    double replayGainPreamp = 0.0; // dB
    std::vector<AudioEffectStage> chain;
    bool swapChannels = false;
    bool mono = false;
    bool preservePitch = true;
    bool bypass = false;

    bool operator==(const AudioEffects&) const = default;
};

} // namespace kvr::engine
