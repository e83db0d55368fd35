#include "ui/bridge/EffectSettings.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace kvr::ui {

using kvr::engine::AudioEffects;
using kvr::engine::AudioEffectStage;
using kvr::engine::VideoFilters;

namespace {

// Index = the record's value.
const QStringList normalizeTexts = { "off", "ebur128", "rgtrack", "rgalbum" };
const QStringList stageKindTexts = { "compressor", "limiter", "widener", "bass", "treble", "voice" };
const QStringList deinterlaceTexts = { "off", "auto", "on" };

// Rounds like QVariant's own integer conversion, but the value is limited first, so absurd stored numbers
// cannot overflow.
int clampInteger(const QVariant& value, int low, int high, int fallback)
{
    return static_cast<int>(std::lround(clampNumber(value, low, high, fallback)));
}

bool readBool(const QVariantMap& map, const QString& key, bool fallback)
{
    const QVariant value = map.value(key);
    return value.isValid() && !value.isNull() ? value.toBool() : fallback;
}

// QVariant turns a text into a list of its characters; a text is no list here.
QVariantList asList(const QVariant& value)
{
    const int type = value.typeId();
    if (type == QMetaType::QString || type == QMetaType::QByteArray)
        return {};
    return value.toList();
}

QVariantList toVariantList(const std::array<double, 10>& values)
{
    QVariantList list;
    for (const double v : values)
        list << v;
    return list;
}

// 64-bit FNV-1a with this player's own start value, so keys stay those of stored settings.
constexpr uint64_t hashStart = 1469598103934665603ULL;
constexpr uint64_t hashPrime = 1099511628211ULL;
constexpr qint64 hashBlock = 65536;

bool hashNext(QFile& file, qint64 count, uint64_t& hash)
{
    const QByteArray bytes = file.read(count);
    if (bytes.size() != count)
        return false;
    for (const char c : bytes) {
        hash ^= static_cast<uint8_t>(c);
        hash *= hashPrime;
    }
    return true;
}

} // namespace

double clampNumber(const QVariant& value, double low, double high, double fallback)
{
    bool ok = false;
    const double number = value.toDouble(&ok);
    if (!ok || std::isnan(number))
        return fallback;
    return std::clamp(number, low, high);
}

QString pickOption(const QVariantMap& map, const QString& key, const QStringList& allowed, const QString& fallback)
{
    const QString text = map.value(key).toString();
    return allowed.contains(text, Qt::CaseSensitive) ? text : fallback;
}

QVariantList equalizerBands(const QVariant& list)
{
    const QVariantList entries = asList(list);
    QVariantList bands;
    for (qsizetype i = 0; i < 10; ++i)
        bands << (i < entries.size() ? clampNumber(entries[i], -20.0, 20.0, 0.0) : 0.0);
    return bands;
}

AudioEffects audioEffectsFromMap(const QVariantMap& map)
{
    AudioEffects e;
    e.eqEnabled = readBool(map, "eqEnabled", false);
    e.preamp = clampNumber(map.value("preamp"), -20.0, 20.0, 0.0);
    const QVariantList bands = asList(map.value("bands"));
    for (qsizetype i = 0; i < bands.size() && i < 10; ++i)
        e.bands[size_t(i)] = clampNumber(bands[i], -20.0, 20.0, 0.0);
    const int normalize = int(normalizeTexts.indexOf(map.value("normalize").toString()));
    e.normalize = normalize > 0 ? normalize : AudioEffects::NormalizeOff;
    e.loudnessTarget = clampNumber(map.value("loudnessTarget"), -40.0, -5.0, -16.0);
    e.truePeak = clampNumber(map.value("truePeak"), -9.0, 0.0, -1.0);
    e.replayGainPreamp = clampNumber(map.value("replayGainPreamp"), -15.0, 15.0, 0.0);
    for (const QVariant& element : asList(map.value("chain"))) {
        const QVariantMap stageMap = element.toMap();
        const int kind = int(stageKindTexts.indexOf(stageMap.value("kind").toString()));
        if (kind < 0)
            continue;
        AudioEffectStage stage;
        stage.kind = kind;
        stage.enabled = readBool(stageMap, "enabled", true);
        const QVariantMap params = stageMap.value("params").toMap();
        for (auto it = params.cbegin(); it != params.cend(); ++it) {
            bool ok = false;
            const double value = it.value().toDouble(&ok);
            if (ok && !std::isnan(value))
                stage.params[it.key().toStdString()] = value;
        }
        e.chain.push_back(std::move(stage));
    }
    e.swapChannels = readBool(map, "swapChannels", false);
    e.mono = readBool(map, "mono", false);
    e.preservePitch = readBool(map, "preservePitch", true);
    e.bypass = readBool(map, "bypass", false);
    return e;
}

QVariantMap audioEffectsToMap(const AudioEffects& e)
{
    QVariantList chain;
    for (const AudioEffectStage& stage : e.chain) {
        QVariantMap params;
        for (const auto& [name, value] : stage.params)
            params.insert(QString::fromStdString(name), value);
        const bool known = stage.kind >= 0 && stage.kind < stageKindTexts.size();
        chain << QVariantMap { { "kind", stageKindTexts[known ? stage.kind : 0] }, { "enabled", stage.enabled },
            { "params", params } };
    }
    const bool knownNormalize = e.normalize >= 0 && e.normalize < normalizeTexts.size();
    return {
        { "eqEnabled", e.eqEnabled },
        { "preamp", e.preamp },
        { "bands", toVariantList(e.bands) },
        { "normalize", normalizeTexts[knownNormalize ? e.normalize : 0] },
        { "loudnessTarget", e.loudnessTarget },
        { "truePeak", e.truePeak },
        { "replayGainPreamp", e.replayGainPreamp },
        { "chain", chain },
        { "swapChannels", e.swapChannels },
        { "mono", e.mono },
        { "preservePitch", e.preservePitch },
        { "bypass", e.bypass },
    };
}

VideoFilters videoFiltersFromMap(const QVariantMap& map)
{
    VideoFilters f;
    const int deinterlace = int(deinterlaceTexts.indexOf(map.value("deinterlace").toString()));
    f.deinterlace = deinterlace > 0 ? deinterlace : VideoFilters::DeinterlaceOff;
    f.deinterlaceMethod
        = pickOption(map, "deinterlaceMethod", { "bwdif", "yadif", "w3fdif", "estdif" }, "bwdif").toStdString();
    f.deinterlaceFieldRate = readBool(map, "deinterlaceFieldRate", true);
    f.denoise = clampInteger(map.value("denoise"), 0, 3, 0);
    f.denoiseMethod
        = pickOption(map, "denoiseMethod", { "atadenoise", "nlmeans", "fftdnoiz" }, "atadenoise").toStdString();
    f.sharpen = clampInteger(map.value("sharpen"), 0, 3, 0);
    f.sharpenMethod = pickOption(map, "sharpenMethod", { "cas", "unsharp" }, "cas").toStdString();
    f.cropLeft = clampInteger(map.value("cropLeft"), 0, 4000, 0);
    f.cropTop = clampInteger(map.value("cropTop"), 0, 4000, 0);
    f.cropRight = clampInteger(map.value("cropRight"), 0, 4000, 0);
    f.cropBottom = clampInteger(map.value("cropBottom"), 0, 4000, 0);
    const int rotate = clampInteger(map.value("rotate"), -1000, 1000, 0);
    f.rotate = rotate == 90 || rotate == 180 || rotate == 270 ? rotate : 0;
    f.hflip = readBool(map, "hflip", false);
    f.vflip = readBool(map, "vflip", false);
    f.brightness = clampNumber(map.value("brightness"), -1.0, 1.0, 0.0);
    f.contrast = clampNumber(map.value("contrast"), 0.0, 2.0, 1.0);
    f.saturation = clampNumber(map.value("saturation"), 0.0, 2.0, 1.0);
    f.hue = clampNumber(map.value("hue"), -180.0, 180.0, 0.0);
    f.gamma = clampNumber(map.value("gamma"), 0.1, 3.0, 1.0);
    f.temperature = clampNumber(map.value("temperature"), 2000.0, 12000.0, 6500.0);
    f.deband = clampInteger(map.value("deband"), 0, 3, 0);
    f.interpolate = readBool(map, "interpolate", false);
    f.interpolateFps = clampInteger(map.value("interpolateFps"), 24, 144, 60);
    f.bypass = readBool(map, "bypass", false);
    return f;
}

QVariantMap videoFiltersToMap(const VideoFilters& f)
{
    const bool knownDeinterlace = f.deinterlace >= 0 && f.deinterlace < deinterlaceTexts.size();
    return {
        { "deinterlace", deinterlaceTexts[knownDeinterlace ? f.deinterlace : 0] },
        { "deinterlaceMethod", QString::fromStdString(f.deinterlaceMethod) },
        { "deinterlaceFieldRate", f.deinterlaceFieldRate },
        { "denoise", int(f.denoise) },
        { "denoiseMethod", QString::fromStdString(f.denoiseMethod) },
        { "sharpen", int(f.sharpen) },
        { "sharpenMethod", QString::fromStdString(f.sharpenMethod) },
        { "cropLeft", int(f.cropLeft) },
        { "cropTop", int(f.cropTop) },
        { "cropRight", int(f.cropRight) },
        { "cropBottom", int(f.cropBottom) },
        { "rotate", int(f.rotate) },
        { "hflip", f.hflip },
        { "vflip", f.vflip },
        { "brightness", f.brightness },
        { "contrast", f.contrast },
        { "saturation", f.saturation },
        { "hue", f.hue },
        { "gamma", f.gamma },
        { "temperature", f.temperature },
        { "deband", int(f.deband) },
        { "interpolate", f.interpolate },
        { "interpolateFps", int(f.interpolateFps) },
        { "bypass", f.bypass },
    };
}

const std::array<EqPreset, 21>& builtinEqPresets()
{
    static const std::array<EqPreset, 21> presets = { {
        { "Flat", { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 } },
        { "Classical", { 0, 0, 0, 0, 0, 0, -7.2, -7.2, -7.2, -9.6 } },
        { "Club", { 0, 0, 8, 5.6, 5.6, 5.6, 3.2, 0, 0, 0 } },
        { "Dance", { 9.6, 7.2, 2.4, 0, 0, -5.6, -7.2, -7.2, 0, 0 } },
        { "Full Bass", { -8, 9.6, 9.6, 5.6, 1.6, -4, -8, -10.4, -11.2, -11.2 } },
        { "Full Bass and Treble", { 7.2, 5.6, 0, -7.2, -4.8, 1.6, 8, 11.2, 12, 12 } },
        { "Full Treble", { -9.6, -9.6, -9.6, -4, 2.4, 11.2, 16, 16, 16, 16.8 } },
        { "Headphones", { 4.8, 11.2, 5.6, -3.2, -2.4, 1.6, 4.8, 9.6, 12.8, 14.4 } },
        { "Large Hall", { 10.4, 10.4, 5.6, 5.6, 0, -4.8, -4.8, -4.8, 0, 0 } },
        { "Live", { -4.8, 0, 4, 5.6, 5.6, 5.6, 4, 2.4, 2.4, 2.4 } },
        { "Party", { 7.2, 7.2, 0, 0, 0, 0, 0, 0, 7.2, 7.2 } },
        { "Pop", { -1.6, 4.8, 7.2, 8, 5.6, 0, -2.4, -2.4, -1.6, -1.6 } },
        { "Reggae", { 0, 0, 0, -5.6, 0, 6.4, 6.4, 0, 0, 0 } },
        { "Rock", { 8, 4.8, -5.6, -8, -3.2, 4, 8.8, 11.2, 11.2, 11.2 } },
        { "Ska", { -2.4, -4.8, -4, 0, 4, 5.6, 8.8, 9.6, 11.2, 9.6 } },
        { "Soft", { 4.8, 1.6, 0, -2.4, 0, 4, 8, 9.6, 11.2, 12 } },
        { "Soft Rock", { 4, 4, 2.4, 0, -4, -5.6, -3.2, 0, 2.4, 8.8 } },
        { "Techno", { 8, 5.6, 0, -5.6, -4.8, 0, 8, 9.6, 9.6, 8.8 } },
        { "Vocal Boost", { -3, -3, -1.5, 1.5, 4.5, 5.5, 4.5, 2, 0, -1.5 } },
        { "Bass Boost", { 7, 6, 5, 3, 1, 0, 0, 0, 0, 0 } },
        { "Treble Boost", { 0, 0, 0, 0, 0, 1, 3, 5, 6, 7 } },
    } };
    return presets;
}

QString effectsKeyForSource(const QString& path)
{
    if (path.contains(QLatin1String("://")))
        return {};
    // Only regular files: opening a FIFO would block the GUI thread until someone writes to it.
    if (!QFileInfo(path).isFile())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = file.size();
    uint64_t hash = hashStart;
    if (!hashNext(file, std::min(size, hashBlock), hash))
        return {};
    if (size > 2 * hashBlock && (!file.seek(size - hashBlock) || !hashNext(file, hashBlock, hash)))
        return {};
    return QStringLiteral("%1-%2").arg(size).arg(static_cast<qulonglong>(hash), 16, 16, QLatin1Char('0'));
}

} // namespace kvr::ui
