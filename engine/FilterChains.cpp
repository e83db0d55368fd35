#include "engine/FilterChains.h"

#include "engine/FormatToBuffer.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

namespace kvr::engine {
namespace {

constexpr double kEpsilon = 1e-6;

double finiteOr(double value, double fallback)
{
    return std::isfinite(value) ? value : fallback;
}

// Zero, negative and non-finite speeds would never leave the atempo halving/doubling loops.
double effectiveSpeed(double speed)
{
    return std::isfinite(speed) && speed > 0.0 ? speed : 1.0;
}

std::string integer(long long value)
{
    return std::to_string(value);
}

struct StageParam {
    const char* key;
    double fallback;
    double low;
    double high;
};

double clampedParam(const AudioEffectStage& stage, const StageParam& p)
{
    return std::clamp(stageParam(stage, p.key, p.fallback), p.low, p.high);
}

std::string stageFilter(const AudioEffectStage& stage, int channels)
{
    switch (stage.kind) {
    case AudioEffectStage::Compressor:
        // acompressor takes thresholds down to about -60 dB only; anything outside fails the whole graph.
        return "acompressor=threshold=" + formatNumber(clampedParam(stage, { "threshold", -20, -60, 0 })) + "dB"
            + ":ratio=" + formatNumber(clampedParam(stage, { "ratio", 3, 1, 20 }))
            + ":attack=" + formatNumber(clampedParam(stage, { "attack", 10, 0.01, 2000 }))
            + ":release=" + formatNumber(clampedParam(stage, { "release", 200, 0.01, 9000 }))
            + ":makeup=" + formatNumber(clampedParam(stage, { "makeup", 0, 0, 36 })) + "dB";
    case AudioEffectStage::Limiter:
        return "alimiter=limit=" + formatNumber(clampedParam(stage, { "limit", -1, -24, 0 })) + "dB"
            + ":attack=" + formatNumber(clampedParam(stage, { "attack", 5, 0.1, 80 }))
            + ":release=" + formatNumber(clampedParam(stage, { "release", 50, 1, 8000 })) + ":level=disabled";
    case AudioEffectStage::Widener:
        if (channels < 2)
            return {};
        return "extrastereo=m=" + formatNumber(clampedParam(stage, { "amount", 1.5, 0, 4 }));
    case AudioEffectStage::Bass:
        return "bass=g=" + formatNumber(clampedParam(stage, { "gain", 6, -20, 20 }))
            + ":f=" + formatNumber(clampedParam(stage, { "frequency", 100, 20, 500 }));
    case AudioEffectStage::Treble:
        return "treble=g=" + formatNumber(clampedParam(stage, { "gain", 6, -20, 20 }))
            + ":f=" + formatNumber(clampedParam(stage, { "frequency", 3000, 1000, 16000 }));
    case AudioEffectStage::Voice:
        return "highpass=f=90,equalizer=f=2800:t=o:w=1.4:g="
            + formatNumber(clampedParam(stage, { "amount", 5, 0, 15 }));
    default:
        return {};
    }
}

std::string channelLayoutName(int channels)
{
    switch (channels) {
    case 1:
        return "mono";
    case 2:
        return "stereo";
    case 6:
        return "5.1";
    case 8:
        return "7.1";
    default:
        return {};
    }
}

// blankGains prints the preamp and band gains as 0: the shape of the chain that gain commands cannot change.
// Whether the equaliser is in the chain at all is still decided by the real gains.
std::string buildAudio(
    const AudioEffects& effects, double speed, double normGainDb, int sampleRate, int channels, bool blankGains)
{
    speed = effectiveSpeed(speed);
    normGainDb = effectiveGain(normGainDb);
    const double preamp = effectiveGain(effects.preamp);
    std::array<double, 10> bands;
    for (std::size_t i = 0; i < bands.size(); ++i)
        bands[i] = effectiveGain(effects.bands[i]);

    const bool tempo = std::abs(speed - 1.0) > kEpsilon;
    const bool eqAudible = effects.eqEnabled
        && (std::abs(preamp) > kEpsilon
            || std::any_of(bands.begin(), bands.end(), [](double g) { return std::abs(g) > kEpsilon; }));
    const bool anyStage
        = std::any_of(effects.chain.begin(), effects.chain.end(), [](const AudioEffectStage& s) { return s.enabled; });
    const bool active
        = !effects.bypass && (eqAudible || effects.normalize != 0 || anyStage || effects.swapChannels || effects.mono);
    if (!active && !tempo)
        return {};

    std::string chain;
    std::string format = "aformat=sample_fmts=fltp:sample_rates=" + integer(sampleRate);
    const std::string layout = channelLayoutName(channels);
    if (!layout.empty())
        format += ":channel_layouts=" + layout;
    appendFilter(chain, format);

    if (active) {
        if (effects.normalize == AudioEffects::NormalizeReplayGainTrack
            || effects.normalize == AudioEffects::NormalizeReplayGainAlbum) {
            const double gain = normGainDb + effectiveGain(effects.replayGainPreamp);
            if (std::abs(gain) > 0.001)
                appendFilter(chain, "volume@rg=volume=" + formatNumber(gain) + "dB");
        }
        if (effects.eqEnabled) {
            appendFilter(chain, "volume@preamp=volume=" + formatNumber(blankGains ? 0.0 : preamp) + "dB");
            for (std::size_t i = 0; i < bands.size(); ++i)
                appendFilter(chain,
                    "equalizer@eq" + integer(static_cast<long long>(i)) + "=f=" + integer(equalizerBandFrequencies[i])
                        + ":t=o:w=1:g=" + formatNumber(blankGains ? 0.0 : bands[i]));
        }
        for (const AudioEffectStage& stage : effects.chain)
            if (stage.enabled)
                appendFilter(chain, stageFilter(stage, channels));
        if (channels == 2) {
            if (effects.mono)
                appendFilter(chain, "pan=stereo|c0=0.5*c0+0.5*c1|c1=0.5*c0+0.5*c1");
            else if (effects.swapChannels)
                appendFilter(chain, "pan=stereo|c0=c1|c1=c0");
        } else if (channels > 2 && effects.mono) {
            appendFilter(chain, "pan=mono|c0=c0+c1");
        }
        if (effects.normalize == AudioEffects::NormalizeEbuR128 && std::abs(normGainDb) > 0.001)
            appendFilter(chain, "volume@rg=volume=" + formatNumber(normGainDb) + "dB");
        if (effects.normalize != AudioEffects::NormalizeOff) {
            const double ceiling = std::clamp(finiteOr(effects.truePeak, -1.0), -9.0, 0.0);
            appendFilter(chain, "alimiter=limit=" + formatNumber(ceiling) + "dB" + ":level=disabled");
        }
    }

    if (tempo) {
        if (effects.preservePitch) {
            appendFilter(chain, buildTempoChain(speed));
        } else {
            // Clamped before the cast: a double beyond int's range would be undefined behaviour.
            const double rate = std::clamp(static_cast<double>(sampleRate) * speed, 0.0, static_cast<double>(INT_MAX));
            appendFilter(chain, "asetrate=" + integer(static_cast<int>(rate)) + ",aresample=" + integer(sampleRate));
        }
    }
    return chain;
}

enum class Preset { Nlmeans, Fftdnoiz, Atadenoise, Unsharp, Cas, Gradfun };

// Levels 1..3 of each denoiser, sharpener and the debander.
const char* const kPresets[6][3] = {
    { "nlmeans=s=1.5:p=5:r=9", "nlmeans=s=3:p=7:r=11", "nlmeans=s=5:p=7:r=15" },
    { "fftdnoiz=sigma=2", "fftdnoiz=sigma=4", "fftdnoiz=sigma=8" },
    { "atadenoise=s=5", "atadenoise=s=9", "atadenoise=s=15:0a=0.04:1a=0.04" },
    { "unsharp=5:5:0.5", "unsharp=5:5:1.0", "unsharp=5:5:1.6" },
    { "cas=strength=0.3", "cas=strength=0.6", "cas=strength=0.9" },
    { "gradfun=strength=0.8:radius=12", "gradfun=strength=1.6:radius=16", "gradfun=strength=3:radius=24" },
};

std::string preset(Preset row, int32_t level)
{
    return kPresets[static_cast<int>(row)][std::min(level, 3) - 1];
}

} // namespace

void appendFilter(std::string& chain, const std::string& filter)
{
    if (filter.empty())
        return;
    if (!chain.empty())
        chain += ',';
    chain += filter;
}

std::string formatNumber(double value)
{
    char small[64];
    const int n = formatToBuffer(small, sizeof small, "%.4f", value);
    if (n < 0)
        return {};
    std::string text;
    if (static_cast<std::size_t>(n) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(n));
    } else {
        // Very large magnitudes print every integer digit.
        text.resize(static_cast<std::size_t>(n) + 1);
        formatToBuffer(text.data(), text.size(), "%.4f", value);
        text.resize(static_cast<std::size_t>(n));
    }
    while (text.size() >= 2 && text.back() == '0')
        text.pop_back();
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return text;
}

double stageParam(const AudioEffectStage& stage, const char* key, double fallback)
{
    const auto it = stage.params.find(key);
    if (it == stage.params.end() || !std::isfinite(it->second))
        return fallback;
    return it->second;
}

double effectiveGain(double db)
{
    return finiteOr(db, 0.0);
}

std::string buildAudioFilterChain(
    const AudioEffects& effects, double speed, double normGainDb, int sampleRate, int channels)
{
    return buildAudio(effects, speed, normGainDb, sampleRate, channels, false);
}

std::string buildAudioFilterShape(
    const AudioEffects& effects, double speed, double normGainDb, int sampleRate, int channels)
{
    return buildAudio(effects, speed, normGainDb, sampleRate, channels, true);
}

std::string buildTempoChain(double speed)
{
    double x = effectiveSpeed(speed);
    std::string chain;
    while (x > 2.0) {
        appendFilter(chain, "atempo=2.0");
        x /= 2.0;
    }
    while (x < 0.5) {
        appendFilter(chain, "atempo=0.5");
        x *= 2.0;
    }
    appendFilter(chain, "atempo=" + formatNumber(x));
    return chain;
}

std::string buildVideoFilterChain(const VideoFilters& f)
{
    if (f.bypass)
        return {};

    std::string chain;

    if (f.deinterlace != VideoFilters::DeinterlaceOff) {
        const char* which = f.deinterlace == VideoFilters::DeinterlaceAuto ? "interlaced" : "all";
        std::string deinterlacer; // everything before "deint="; empty for an unknown method
        if (f.deinterlaceMethod == "yadif" || f.deinterlaceMethod == "bwdif") {
            deinterlacer = f.deinterlaceMethod;
            deinterlacer += f.deinterlaceFieldRate ? "=mode=send_field:" : "=mode=send_frame:";
        } else if (f.deinterlaceMethod == "w3fdif") {
            deinterlacer = "w3fdif=";
        } else if (f.deinterlaceMethod == "estdif") {
            deinterlacer = f.deinterlaceFieldRate ? "estdif=mode=field:" : "estdif=mode=frame:";
        }
        if (!deinterlacer.empty()) {
            deinterlacer += "deint=";
            deinterlacer += which;
            appendFilter(chain, deinterlacer);
        }
    }

    if (f.denoise > 0) {
        const Preset row = f.denoiseMethod == "nlmeans" ? Preset::Nlmeans
            : f.denoiseMethod == "fftdnoiz"             ? Preset::Fftdnoiz
                                                        : Preset::Atadenoise;
        appendFilter(chain, preset(row, f.denoise));
    }

    // 64-bit sums: two huge crop values must not overflow.
    const long long left = std::max(f.cropLeft, 0), top = std::max(f.cropTop, 0);
    const long long right = std::max(f.cropRight, 0), bottom = std::max(f.cropBottom, 0);
    if (left > 0 || top > 0 || right > 0 || bottom > 0)
        appendFilter(chain,
            "crop=w=iw-" + integer(left + right) + ":h=ih-" + integer(top + bottom) + ":x=" + integer(left)
                + ":y=" + integer(top) + ":exact=1");

    switch (((f.rotate % 360) + 360) % 360) {
    case 90:
        appendFilter(chain, "transpose=clock");
        break;
    case 180:
        appendFilter(chain, "hflip,vflip");
        break;
    case 270:
        appendFilter(chain, "transpose=cclock");
        break;
    default:
        break;
    }
    if (f.hflip)
        appendFilter(chain, "hflip");
    if (f.vflip)
        appendFilter(chain, "vflip");

    // A non-finite colour value counts as neutral, so it can never print "nan" or "inf" into the graph.
    const double brightness = finiteOr(f.brightness, 0.0);
    const double contrast = finiteOr(f.contrast, 1.0);
    const double saturation = finiteOr(f.saturation, 1.0);
    const double hue = finiteOr(f.hue, 0.0);
    const double gamma = finiteOr(f.gamma, 1.0);
    const double temperature = finiteOr(f.temperature, 6500.0);
    const bool neutral = std::abs(brightness) < kEpsilon && std::abs(contrast - 1) < kEpsilon
        && std::abs(saturation - 1) < kEpsilon && std::abs(hue) < kEpsilon && std::abs(gamma - 1) < kEpsilon
        && std::abs(temperature - 6500) < 1;
    if (!neutral) {
        const double b = std::clamp(brightness, -1.0, 1.0);
        const double c = std::clamp(contrast, 0.0, 2.0);
        const double g = std::clamp(gamma, 0.1, 3.0);
        const double s = std::clamp(saturation, 0.0, 2.0);
        const double h = std::clamp(hue, -180.0, 180.0);
        if (std::abs(b) > kEpsilon || std::abs(c - 1) > kEpsilon || std::abs(g - 1) > kEpsilon)
            appendFilter(chain,
                "lutyuv=y='maxval*pow(clip(((val/maxval)-0.5)*" + formatNumber(c) + "+0.5+" + formatNumber(b) + ",0,1),"
                    + formatNumber(1 / g) + ")'");
        if (std::abs(s - 1) > kEpsilon || std::abs(h) > kEpsilon)
            appendFilter(chain, "hue=h=" + formatNumber(h) + ":s=" + formatNumber(s));
        if (std::abs(temperature - 6500) >= 1)
            appendFilter(
                chain, "colortemperature=temperature=" + formatNumber(std::clamp(temperature, 1000.0, 40000.0)));
    }

    if (f.sharpen > 0)
        appendFilter(chain, preset(f.sharpenMethod == "unsharp" ? Preset::Unsharp : Preset::Cas, f.sharpen));
    if (f.deband > 0)
        appendFilter(chain, preset(Preset::Gradfun, f.deband));
    if (f.interpolate)
        appendFilter(chain,
            "minterpolate=fps=" + integer(std::clamp(f.interpolateFps, 24, 144))
                + ":mi_mode=mci:mc_mode=obmc:me_mode=bidir:vsbmc=1");
    return chain;
}

} // namespace kvr::engine
