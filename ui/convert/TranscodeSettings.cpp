#include "ui/convert/TranscodeSettings.h"

#include <QDir>
#include <QFile>
#include <QUrl>

#include <algorithm>

namespace kvr::ui {

namespace {

std::string utf8(const QString& text)
{
    return text.toStdString();
}

// Paths go to the engine as the file system's bytes.
std::string pathBytes(const QString& path)
{
    return QFile::encodeName(QDir::toNativeSeparators(path)).toStdString();
}

int atLeastOne(const QVariant& value)
{
    const int number = value.toInt();
    return number < 1 ? 0 : number;
}

} // namespace

engine::TranscodeOptions toTranscodeOptions(const QString& input, const QString& output, const QVariantMap& settings)
{
    engine::TranscodeOptions options;
    options.input = pathBytes(input);
    options.output = pathBytes(output);
    options.container = utf8(settings.value(QStringLiteral("container"), QStringLiteral("mp4")).toString());
    options.videoCodec = utf8(settings.value(QStringLiteral("videoCodec"), QStringLiteral("h264")).toString());
    options.audioCodec = utf8(settings.value(QStringLiteral("audioCodec"), QStringLiteral("aac")).toString());
    options.quality = std::clamp(settings.value(QStringLiteral("quality"), 2).toInt(), 0, 3);
    const QString rateMode = settings.value(QStringLiteral("rateMode")).toString();
    options.rateMode = rateMode == QLatin1String("bitrate") ? 1 : rateMode == QLatin1String("twopass") ? 2 : 0;
    options.videoKbps = atLeastOne(settings.value(QStringLiteral("videoKbps")));
    options.maxHeight = atLeastOne(settings.value(QStringLiteral("maxHeight")));
    const double fps = settings.value(QStringLiteral("fps")).toDouble();
    options.fps = fps > 0 ? fps : 0;
    options.videoFilters = utf8(settings.value(QStringLiteral("videoFilters")).toString());
    for (const QVariant& stream : settings.value(QStringLiteral("audioStreams")).toList())
        options.audioStreams.push_back(stream.toInt());
    options.audioKbps = atLeastOne(settings.value(QStringLiteral("audioKbps")));
    options.audioChannels = atLeastOne(settings.value(QStringLiteral("audioChannels")));
    const QString subtitles = settings.value(QStringLiteral("subtitles")).toString();
    options.subtitles = subtitles == QLatin1String("copy") ? 1
        : subtitles == QLatin1String("convert")            ? 2
        : subtitles == QLatin1String("burn")               ? 3
                                                           : 0;
    options.subtitleStream = settings.value(QStringLiteral("subtitleStream"), -1).toInt();
    options.subtitleFile = pathBytes(settings.value(QStringLiteral("subtitleFile")).toString());
    options.keepMetadata = settings.value(QStringLiteral("keepMetadata"), true).toBool();
    options.keepCover = settings.value(QStringLiteral("keepCover"), true).toBool();
    return options;
}

QString extensionForContainer(const QString& container)
{
    return container;
}

QString qualityWord(int quality)
{
    static const char* const words[] = { "fastest", "fast", "balanced", "best" };
    return QLatin1String(words[std::clamp(quality, 0, 3)]);
}

QString localPathOf(const QString& text)
{
    if (text.startsWith(QLatin1String("file:")))
        return QUrl(text).toLocalFile();
    return text;
}

} // namespace kvr::ui
