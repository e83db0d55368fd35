#include "ui/bridge/EffectSettings.h"

#include "tests/support/TestSupport.h"
#include "tests/ui/GTestQtPrinters.h"

#include <QFile>
#include <QVariantMap>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <functional>
#include <limits>

using kvr::engine::AudioEffects;
using kvr::engine::AudioEffectStage;
using kvr::engine::VideoFilters;
using namespace kvr::ui;

namespace {

QString scratchPath(const QString& name)
{
    return QString::fromStdString(kvr::test::scratchDirectory().string()) + QLatin1Char('/') + name;
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

TEST(EffectSettings, ClampNumberFallsBackOnlyForNonNumbers)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        QVariant value;
        double expected;
    } rows[] = {
        { QVariant(), 7 },
        { QVariant(QString("warm")), 7 },
        { QVariant(nan), 7 },
        { QVariant(QString("nan")), 7 },
        { QVariant(QVariantList { 1 }), 7 },
        { QVariant(3.5), 3.5 },
        { QVariant(QString("4")), 4 },
        { QVariant(true), 1 },
        { QVariant(-50), -10 },
        { QVariant(std::numeric_limits<double>::infinity()), 10 },
    };
    for (const auto& row : rows)
        EXPECT_EQ(clampNumber(row.value, -10, 10, 7), row.expected) << row.value.toString().toStdString();
}

TEST(EffectSettings, PickOptionIsExactAndCaseSensitive)
{
    const QVariantMap map { { "a", "cas" }, { "b", "CAS" }, { "c", "cas " }, { "d", 1 } };
    const QStringList allowed { "cas", "unsharp" };
    EXPECT_EQ(pickOption(map, "a", allowed, "x"), "cas");
    for (const char* key : { "b", "c", "d", "missing" })
        EXPECT_EQ(pickOption(map, key, allowed, "x"), "x") << key;
}

TEST(EffectSettings, AudioMapReadsEachKeyByItsRule)
{
    const struct {
        const char* what;
        QVariantMap map;
        std::function<void(AudioEffects&)> expect; // turns the defaults into the expected record
    } rows[] = {
        { "empty map", {}, [](AudioEffects&) {} },
        { "twelve bands: the first ten", { { "bands", QVariantList { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12 } } },
            [](AudioEffects& e) {
                e.bands = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 };
            } },
        { "three bands, a text and a 35", { { "bands", QVariantList { 35, "loud", -3.5 } } },
            [](AudioEffects& e) { e.bands[0] = 20, e.bands[2] = -3.5; } },
        { "bands as a text", { { "bands", "1,2,3" } }, [](AudioEffects&) {} },
        { "normalize in upper case is off", { { "normalize", "EBUR128" } }, [](AudioEffects&) {} },
        { "normalize ebur128", { { "normalize", "ebur128" } }, [](AudioEffects& e) { e.normalize = 1; } },
        { "normalize rgtrack", { { "normalize", "rgtrack" } }, [](AudioEffects& e) { e.normalize = 2; } },
        { "normalize rgalbum", { { "normalize", "rgalbum" } }, [](AudioEffects& e) { e.normalize = 3; } },
        { "ranges", { { "preamp", -25 }, { "loudnessTarget", -50 }, { "truePeak", 3 }, { "replayGainPreamp", 16 } },
            [](AudioEffects& e) { e.preamp = -20, e.loudnessTarget = -40, e.truePeak = 0, e.replayGainPreamp = 15; } },
        { "unreadable numbers keep the defaults",
            { { "preamp", "x" }, { "loudnessTarget", "x" }, { "truePeak", QVariantList {} } }, [](AudioEffects&) {} },
        { "switches",
            { { "eqEnabled", true }, { "swapChannels", 1 }, { "mono", "true" }, { "preservePitch", false },
                { "bypass", true } },
            [](AudioEffects& e) { e.eqEnabled = e.swapChannels = e.mono = e.bypass = true, e.preservePitch = false; } },
        { "unknown stage kinds are dropped, the others kept in order",
            { { "chain",
                QVariantList {
                    QVariantMap {
                        { "kind", "bass" }, { "params", QVariantMap { { "gain", 4 }, { "frequency", "low" } } } },
                    QVariantMap { { "kind", "reverb" }, { "enabled", true } },
                    QVariantMap { { "kind", "Limiter" } },
                    "voice",
                    QVariantMap {
                        { "kind", "voice" }, { "enabled", false }, { "params", QVariantMap { { "amount", 99 } } } },
                } } },
            [](AudioEffects& e) {
                e.chain = { { AudioEffectStage::Bass, true, { { "gain", 4 } } },
                    { AudioEffectStage::Voice, false, { { "amount", 99 } } } };
            } },
    };
    for (const auto& row : rows) {
        AudioEffects expected;
        row.expect(expected);
        EXPECT_EQ(audioEffectsFromMap(row.map), expected) << row.what;
    }
}

TEST(EffectSettings, VideoMapReadsEachKeyByItsRule)
{
    const struct {
        const char* what;
        QVariantMap map;
        std::function<void(VideoFilters&)> expect;
    } rows[] = {
        { "empty map", {}, [](VideoFilters&) {} },
        { "rotate 45", { { "rotate", 45 } }, [](VideoFilters&) {} },
        { "rotate -90", { { "rotate", -90 } }, [](VideoFilters&) {} },
        { "rotate 270", { { "rotate", 270 } }, [](VideoFilters& f) { f.rotate = 270; } },
        { "rotate far out of range", { { "rotate", 1e300 } }, [](VideoFilters&) {} },
        { "crops", { { "cropLeft", -10 }, { "cropTop", 5000 }, { "cropRight", 1e300 }, { "cropBottom", "12" } },
            [](VideoFilters& f) { f.cropTop = 4000, f.cropRight = 4000, f.cropBottom = 12; } },
        { "interpolateFps 10", { { "interpolateFps", 10 } }, [](VideoFilters& f) { f.interpolateFps = 24; } },
        { "interpolateFps 200", { { "interpolateFps", 200 } }, [](VideoFilters& f) { f.interpolateFps = 144; } },
        { "gamma 0 and a text temperature", { { "gamma", 0 }, { "temperature", "warm" } },
            [](VideoFilters& f) { f.gamma = 0.1; } },
        { "colour ranges",
            { { "brightness", 2 }, { "contrast", -1 }, { "saturation", 3 }, { "hue", -200 }, { "temperature", 500 } },
            [](VideoFilters& f) {
                f.brightness = 1, f.contrast = 0, f.saturation = 2, f.hue = -180, f.temperature = 2000;
            } },
        { "deinterlace true is off", { { "deinterlace", true } }, [](VideoFilters&) {} },
        { "deinterlace On is off", { { "deinterlace", "On" } }, [](VideoFilters&) {} },
        { "deinterlace auto", { { "deinterlace", "auto" }, { "deinterlaceFieldRate", false } },
            [](VideoFilters& f) { f.deinterlace = 1, f.deinterlaceFieldRate = false; } },
        { "deinterlace on", { { "deinterlace", "on" }, { "deinterlaceMethod", "estdif" } },
            [](VideoFilters& f) { f.deinterlace = 2, f.deinterlaceMethod = "estdif"; } },
        { "levels and methods",
            { { "denoise", 7 }, { "denoiseMethod", "nlmeans" }, { "sharpen", 2.6 }, { "sharpenMethod", "Unsharp" },
                { "deband", -1 }, { "deinterlaceMethod", "kerndeint" } },
            [](VideoFilters& f) { f.denoise = 3, f.denoiseMethod = "nlmeans", f.sharpen = 3; } },
        { "switches", { { "hflip", true }, { "vflip", 1 }, { "interpolate", true }, { "bypass", true } },
            [](VideoFilters& f) { f.hflip = f.vflip = f.interpolate = f.bypass = true; } },
    };
    for (const auto& row : rows) {
        VideoFilters expected;
        row.expect(expected);
        EXPECT_EQ(videoFiltersFromMap(row.map), expected) << row.what;
    }
}

TEST(EffectSettings, RecordsSurviveAMapRoundTripWithEveryKeyTyped)
{
    AudioEffects audio;
    audio.eqEnabled = true;
    audio.preamp = -2.5;
    audio.bands = { 1, -2, 3, -4, 5, -6, 7, -8, 9, -10 };
    audio.normalize = AudioEffects::NormalizeReplayGainAlbum;
    audio.loudnessTarget = -23;
    audio.truePeak = -2;
    audio.replayGainPreamp = 4;
    audio.chain
        = { { AudioEffectStage::Limiter, false, { { "limit", -3 } } }, { AudioEffectStage::Widener, true, {} } };
    audio.mono = true;
    audio.preservePitch = false;
    audio.bypass = true;
    const QVariantMap audioMap = audioEffectsToMap(audio);
    EXPECT_EQ(audioEffectsFromMap(audioMap), audio);
    EXPECT_EQ(audioMap.size(), 12);
    EXPECT_EQ(audioMap["bands"].toList().size(), 10);
    EXPECT_EQ(audioMap["bands"].toList()[0].typeId(), QMetaType::Double);
    EXPECT_EQ(audioMap["normalize"], "rgalbum");
    EXPECT_EQ(audioMap["chain"].toList()[0].toMap()["kind"], "limiter");
    EXPECT_EQ(audioMap["chain"].toList()[0].toMap()["params"].toMap()["limit"], -3.0);

    VideoFilters video;
    video.deinterlace = VideoFilters::DeinterlaceAuto;
    video.deinterlaceMethod = "w3fdif";
    video.denoise = 2;
    video.sharpenMethod = "unsharp";
    video.cropLeft = 8;
    video.cropBottom = 40;
    video.rotate = 90;
    video.vflip = true;
    video.hue = 12.5;
    video.temperature = 4000;
    video.deband = 1;
    video.interpolate = true;
    video.interpolateFps = 120;
    const QVariantMap videoMap = videoFiltersToMap(video);
    EXPECT_EQ(videoFiltersFromMap(videoMap), video);
    EXPECT_EQ(videoMap.size(), 24);
    EXPECT_EQ(videoMap["deinterlace"], "auto");
    for (const char* key : { "denoise", "sharpen", "cropLeft", "cropTop", "cropRight", "cropBottom", "rotate", "deband",
             "interpolateFps" })
        EXPECT_EQ(videoMap[key].typeId(), QMetaType::Int) << key;
    for (const char* key : { "brightness", "contrast", "saturation", "hue", "gamma", "temperature" })
        EXPECT_EQ(videoMap[key].typeId(), QMetaType::Double) << key;

    // Values the maps have no text for are written as the first text.
    AudioEffects odd;
    odd.normalize = 9;
    odd.chain = { { 17, true, {} } };
    EXPECT_EQ(audioEffectsToMap(odd)["normalize"], "off");
    EXPECT_EQ(audioEffectsToMap(odd)["chain"].toList()[0].toMap()["kind"], "compressor");
    VideoFilters oddVideo;
    oddVideo.deinterlace = 5;
    EXPECT_EQ(videoFiltersToMap(oddVideo)["deinterlace"], "off");
}

TEST(EffectSettings, EqualizerBandsAreAlwaysTen)
{
    EXPECT_EQ(equalizerBands(QVariantList { 1, 30, "x" }),
        (QVariantList { 1.0, 20.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0 }));
    EXPECT_EQ(equalizerBands(QVariant("1,2")), QVariantList(10, 0.0));
    EXPECT_EQ(equalizerBands(QVariantList(14, -30)), QVariantList(10, -20.0));
}

TEST(EffectSettings, BuiltinPresetsInListOrder)
{
    const auto& presets = builtinEqPresets();
    EXPECT_STREQ(presets.front().name, "Flat");
    EXPECT_STREQ(presets[5].name, "Full Bass and Treble");
    EXPECT_STREQ(presets.back().name, "Treble Boost");
    EXPECT_EQ(presets[6].bands[9], 16.8);
    EXPECT_EQ(presets[18].bands[5], 5.5);
}

TEST(EffectSettings, FileKeyFollowsSizeAndOuterContent)
{
    EXPECT_TRUE(writeBytes(scratchPath("empty"), {}));
    EXPECT_TRUE(writeBytes(scratchPath("abc"), "abc"));
    EXPECT_EQ(effectsKeyForSource(scratchPath("empty")), "0-14650fb0739d0383");
    EXPECT_EQ(effectsKeyForSource(scratchPath("abc")), "3-e16801510db89efd");

    // No key for addresses, missing files, folders and pipes (opening a pipe would wait for a writer).
    const QString fifo = scratchPath("pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& path : { QString("http://example.invalid/a.mp4"), scratchPath("abc") + "?x://",
             scratchPath("missing.mp4"), scratchPath(""), fifo })
        EXPECT_EQ(effectsKeyForSource(path), "") << path.toStdString();

    // A file of 200,000 bytes is keyed by its first and last 65,536 bytes; one of 100,000 by its first only.
    const auto key = [](const QString& name, qsizetype size, qsizetype changedAt) {
        QByteArray bytes(size, '\0');
        for (qsizetype i = 0; i < size; ++i)
            bytes[i] = char((i * 7) & 0xff);
        if (changedAt >= 0)
            bytes[changedAt] = char(bytes[changedAt] ^ 0x5a);
        EXPECT_TRUE(writeBytes(scratchPath(name), bytes));
        return effectsKeyForSource(scratchPath(name));
    };
    const QString large = key("large", 200'000, -1);
    EXPECT_TRUE(large.startsWith("200000-")) << large.toStdString();
    EXPECT_EQ(large.size(), 7 + 16);
    EXPECT_EQ(key("large-middle", 200'000, 100'000), large);
    EXPECT_EQ(key("large-inner", 200'000, 65'536), large);
    EXPECT_NE(key("large-first", 200'000, 65'535), large);
    EXPECT_NE(key("large-tail", 200'000, 200'000 - 65'536), large);
    const QString medium = key("medium", 100'000, -1);
    EXPECT_EQ(key("medium-tail", 100'000, 99'999), medium);
    EXPECT_NE(key("medium-head", 100'000, 0), medium);
    // Moving or renaming keeps the key.
    ASSERT_TRUE(QFile::rename(scratchPath("large"), scratchPath("renamed.mkv")));
    EXPECT_EQ(effectsKeyForSource(scratchPath("renamed.mkv")), large);
}
