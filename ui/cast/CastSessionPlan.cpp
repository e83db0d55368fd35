// How a load reaches the receiver: sent as it is, remuxed or transcoded, and how its subtitles travel.
#include "ui/cast/CastSession.h"

#include "engine/convert/MediaExtraction.h"
#include "engine/convert/MediaProbe.h"
#include "ui/bridge/MediaSessionBridge.h"
#include "ui/cast/CastController.h"

#include <QFile>
#include <QFileInfo>

#include <string>

namespace kvr::ui::cast {

namespace {

// The engine's functions take UTF-8 paths; a file name is passed as its own bytes, so that a name which is not
// valid UTF-8 still opens.
std::string enginePath(const QString& source)
{
    if (CastSession::isNetworkUrl(source))
        return source.toStdString();
    return QFile::encodeName(source).toStdString();
}

// The suffix of the file a source names: of the URL's path for a stream.
QString sourceSuffix(const QString& source)
{
    if (CastSession::isNetworkUrl(source))
        return QFileInfo(QUrl(source).path()).suffix();
    return QFileInfo(source).suffix();
}

bool isHttp(const QString& source)
{
    const QString scheme = QUrl(source).scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

bool oneOf(const QString& codec, std::initializer_list<const char*> names)
{
    for (const char* name : names) {
        if (codec == QLatin1String(name))
            return true;
    }
    return false;
}

// What the receiver types take with a picture.
bool videoAccepted(int receiver, const QString& codec, bool webm)
{
    switch (receiver) {
    case 0:
        return codec == QLatin1String("h264") || (webm && oneOf(codec, { "vp8", "vp9" }));
    case 1:
    case 2:
        return codec == QLatin1String("h264");
    default:
        return false;
    }
}

bool audioWithVideoAccepted(int receiver, const QString& codec)
{
    switch (receiver) {
    case 0:
        return oneOf(codec, { "aac", "mp3", "opus", "vorbis" });
    case 1:
        return oneOf(codec, { "aac", "ac3", "eac3", "mp3" });
    case 2:
        return oneOf(codec, { "aac", "ac3", "mp3" });
    default:
        return false;
    }
}

bool containerAccepted(int receiver, const QString& format, bool mp4Family, bool webm)
{
    switch (receiver) {
    case 0:
        return mp4Family || webm;
    case 1:
        return mp4Family;
    case 2:
        return mp4Family || format.contains(QLatin1String("mpegts"));
    default:
        return false;
    }
}

// What the receiver types take as sound alone.
bool audioOnlyAccepted(int receiver, const QString& codec, const QString& format, bool mp4Family)
{
    switch (receiver) {
    case 0:
        return oneOf(codec, { "mp3", "flac", "opus", "vorbis", "pcm_s16le", "pcm_s24le" })
            || (codec == QLatin1String("aac") && (mp4Family || format == QLatin1String("aac")));
    case 1:
        return codec == QLatin1String("mp3") || codec == QLatin1String("pcm_s16le")
            || (mp4Family && oneOf(codec, { "aac", "alac" }));
    case 2:
        return oneOf(codec, { "mp3", "flac", "pcm_s16le" }) || (mp4Family && codec == QLatin1String("aac"));
    default:
        return false;
    }
}

} // namespace

bool CastSession::isNetworkUrl(const QString& text)
{
    if (text.startsWith(QLatin1Char('/')))
        return false;
    const qsizetype at = text.indexOf(QLatin1String("://"));
    return at >= 2 && at <= 9;
}

CastSession::Plan CastSession::choosePlan(const QString& source, bool force)
{
    Plan plan;
    planSourceHasVideo_ = false;
    const int receiver = controller_ ? controller_->device().type : -1;
    const bool network = isNetworkUrl(source);

    if (network && isHttp(source) && !force) {
        plan.mode = 0;
        if (source.contains(QLatin1String(".m3u8"))) {
            plan.mimeType = QStringLiteral("application/x-mpegURL");
        } else {
            plan.mimeType = CastServer::mimeTypeForExtension(QUrl(source).path());
            if (plan.mimeType == QLatin1String("application/octet-stream"))
                plan.mimeType = QStringLiteral("video/mp4");
        }
        plan.reason = tr("network stream sent to the receiver as is");
        return plan;
    }

    const engine::MediaInfo info = engine::probeMedia(enginePath(source));
    const QString format = QString::fromStdString(info.formatName);
    const QString suffix = sourceSuffix(source);

    const engine::TrackInfo* video = nullptr;
    for (const engine::TrackInfo& track : info.tracks) {
        if (track.kind == 0 && track.width > 0) {
            video = &track;
            break;
        }
    }
    const int wantedAudio = source == selectionSource_ ? selectedAudioTrack_ : -1;
    const engine::TrackInfo* audio = nullptr;
    if (wantedAudio >= 0) {
        for (const engine::TrackInfo& track : info.tracks) {
            if (track.kind == 1 && track.streamIndex == wantedAudio)
                audio = &track;
        }
    }
    // A chosen track that the probe does not find (the file changed since) leaves the usual choice.
    if (!audio) {
        const engine::TrackInfo* first = nullptr;
        for (const engine::TrackInfo& track : info.tracks) {
            if (track.kind != 1)
                continue;
            if (!first)
                first = &track;
            if (track.isDefault)
                audio = &track;
        }
        if (!audio)
            audio = first;
    }
    const QString vcodec = video ? QString::fromStdString(video->codec) : QString();
    const QString acodec = audio ? QString::fromStdString(audio->codec) : QString();
    const bool mp4Family = format.contains(QLatin1String("mp4")) || format.contains(QLatin1String("mov"));
    const bool webm
        = format.contains(QLatin1String("webm")) && suffix.compare(QLatin1String("webm"), Qt::CaseInsensitive) == 0;
    const bool overLimit = maxBitrateMbps_ >= 1 && info.bitRate > qint64(maxBitrateMbps_) * 1'000'000;
    const bool keepAudio = wantedAudio >= 0 && audio && audio->streamIndex == wantedAudio && !audio->isDefault;
    // A receiver given any other address than an http(s) one could not fetch it, and an address may carry the
    // user's credentials: such a stream is always served by the media server, through a conversion.
    const bool servable = !network;

    if (video) {
        planSourceHasVideo_ = true;
        const bool dlna = receiver == 2;
        plan.container = plan.extension = dlna ? QStringLiteral("ts") : QStringLiteral("mp4");
        plan.mimeType = dlna ? QStringLiteral("video/mp2t") : QStringLiteral("video/mp4");
        if (keepAudio)
            plan.audioStream = audio->streamIndex;
        const bool audioOk = acodec.isEmpty() || audioWithVideoAccepted(receiver, acodec);
        if (force || overLimit || !videoAccepted(receiver, vcodec, webm)) {
            plan.mode = 2;
            plan.videoCodec = QStringLiteral("h264");
            plan.audioCodec = acodec.isEmpty() ? QStringLiteral("none") : QStringLiteral("aac");
            if (force)
                plan.reason = tr("transcoding requested");
            else if (overLimit)
                plan.reason = tr("bitrate above the %1 Mbps cast limit").arg(maxBitrateMbps_);
            else
                plan.reason = tr("%1 video is not supported by this receiver").arg(vcodec);
        } else if (audioOk && containerAccepted(receiver, format, mp4Family, webm) && !keepAudio && servable) {
            plan.mode = 0;
            plan.mimeType = CastServer::mimeTypeForExtension(source);
            if (plan.mimeType == QLatin1String("video/quicktime"))
                plan.mimeType = QStringLiteral("video/mp4");
            plan.reason = tr("%1/%2 in %3 plays on the receiver as is")
                              .arg(vcodec, acodec.isEmpty() ? tr("no audio") : acodec, suffix);
        } else {
            plan.mode = 1;
            plan.videoCodec = QStringLiteral("copy");
            if (acodec.isEmpty())
                plan.audioCodec = QStringLiteral("none");
            else
                plan.audioCodec = audioOk ? QStringLiteral("copy") : QStringLiteral("aac");
            plan.reason = audioOk ? tr("%1 is repackaged without re-encoding").arg(vcodec)
                                  : tr("video is copied, %1 audio converted to AAC").arg(acodec);
        }
        return plan;
    }

    const bool audioOk = !acodec.isEmpty() && audioOnlyAccepted(receiver, acodec, format, mp4Family);
    if (audioOk && !force && !overLimit && servable) {
        plan.mode = 0;
        plan.mimeType = CastServer::mimeTypeForExtension(source);
        plan.reason = tr("%1 audio plays on the receiver as is").arg(acodec);
        return plan;
    }
    plan.mode = 2;
    plan.videoCodec = QStringLiteral("none");
    if (receiver == 0) {
        plan.container = QStringLiteral("mp4");
        plan.audioCodec = QStringLiteral("aac");
        plan.extension = QStringLiteral("m4a");
        plan.mimeType = QStringLiteral("audio/mp4");
    } else {
        plan.container = plan.audioCodec = plan.extension = QStringLiteral("mp3");
        plan.mimeType = QStringLiteral("audio/mpeg");
    }
    plan.reason = force ? tr("transcoding requested") : tr("%1 audio is converted for this receiver").arg(acodec);
    return plan;
}

QUrl CastSession::planSubtitles(const QString& source, int& subtitleStream, QString& subtitleFile, QString& language)
{
    subtitleStream = -1;
    subtitleFile.clear();
    language.clear();
    bool bitmap = false;
    if (subtitleMode_ == QLatin1String("off"))
        return {};

    const bool network = isNetworkUrl(source);
    if (source == selectionSource_ && selectedSubtitleTrack_ != -2) {
        if (selectedSubtitleTrack_ < 0)
            return {};
        if (selectedSubtitleFile_.isEmpty())
            subtitleStream = selectedSubtitleTrack_ < 100000 ? selectedSubtitleTrack_ : -1;
        else
            subtitleFile = selectedSubtitleFile_;
        bitmap = selectedSubtitleBitmap_;
        language = selectedSubtitleLanguage_;
    } else {
        if (bridge_ && bridge_->autoLoadSubtitles() && !network) {
            const QFileInfo file(source);
            const QString stem = file.path() + QLatin1Char('/') + file.completeBaseName() + QLatin1Char('.');
            for (const char* extension : { "srt", "ass", "ssa", "vtt" }) {
                const QString candidate = stem + QLatin1String(extension);
                if (QFileInfo(candidate).isFile()) {
                    subtitleFile = candidate;
                    break;
                }
            }
        }
        if (subtitleFile.isEmpty() && !network) {
            const engine::MediaInfo info = engine::probeMedia(enginePath(source));
            const std::string wanted = bridge_ ? bridge_->subtitleLanguage().toStdString() : std::string();
            for (const engine::TrackInfo& track : info.tracks) {
                if (track.kind != 2)
                    continue;
                const bool matches = !wanted.empty() && track.language.rfind(wanted, 0) == 0;
                if (matches || track.forced || (wanted.empty() && track.isDefault)) {
                    subtitleStream = track.streamIndex;
                    bitmap = track.bitmap;
                    language = QString::fromStdString(track.language);
                    break;
                }
            }
        }
    }
    if (subtitleStream < 0 && subtitleFile.isEmpty())
        return {};

    // A stream's embedded track would be read to its end here, on the window's thread, and a live stream
    // has no end: its subtitles are burned in by the conversion, which reads the stream as it comes.
    const bool readable = !subtitleFile.isEmpty() || !network;
    if (controller_ && controller_->supportsSubtitleTracks() && subtitleMode_ == QLatin1String("auto") && !bitmap
        && readable) {
        std::string webvtt;
        std::string error;
        const bool converted = subtitleFile.isEmpty()
            ? engine::exportSubtitlesAsWebVtt(enginePath(source), subtitleStream, webvtt, error)
            : engine::exportSubtitlesAsWebVtt(enginePath(subtitleFile), -1, webvtt, error);
        if (converted) {
            const QByteArray body = QByteArray::fromStdString(webvtt);
            appendDiagnostic(QStringLiteral("Subtitles sent as WebVTT (%1 cues bytes)").arg(body.size()));
            subtitleStream = -1;
            subtitleFile.clear();
            return server_.publishBytes(body, QStringLiteral("text/vtt"), QStringLiteral("vtt"));
        }
        appendDiagnostic(QStringLiteral("Subtitles: %1 — burning them in instead").arg(QString::fromStdString(error)));
    }
    return {};
}

bool CastSession::hasPicture(const Plan& plan) const
{
    return plan.videoCodec != QLatin1String("none") && planSourceHasVideo_;
}

void CastSession::applyBurnIn(Plan& plan, const QString& source, int subtitleStream, const QString& subtitleFile) const
{
    if (subtitleStream < 0 && subtitleFile.isEmpty())
        return;
    if (!isNetworkUrl(source) && !hasPicture(plan))
        return;
    const bool wasDirect = plan.mode == 0;
    plan.mode = 2;
    plan.videoCodec = QStringLiteral("h264");
    if (plan.audioCodec.isEmpty() || plan.audioCodec == QLatin1String("copy"))
        plan.audioCodec = QStringLiteral("aac");
    if (plan.container.isEmpty()) {
        plan.container = plan.extension = QStringLiteral("mp4");
        plan.mimeType = QStringLiteral("video/mp4");
    } else if (wasDirect) {
        // A direct plan carries the type of the source file; the conversion writes the plan's container.
        plan.mimeType
            = plan.container == QLatin1String("ts") ? QStringLiteral("video/mp2t") : QStringLiteral("video/mp4");
    }
    plan.burnSubtitles = true;
    plan.subtitleStream = subtitleStream;
    plan.subtitleFile = subtitleFile;
    plan.reason = tr("subtitles are burned into the picture");
}

void CastSession::setTrackChoice(const QString& source, int audioTrack, int subtitleTrack, const QString& subtitleFile,
    bool subtitleBitmap, const QString& subtitleLanguage)
{
    selectionSource_ = source;
    selectedAudioTrack_ = audioTrack;
    selectedSubtitleTrack_ = subtitleTrack;
    selectedSubtitleFile_ = subtitleFile;
    selectedSubtitleBitmap_ = subtitleBitmap;
    selectedSubtitleLanguage_ = subtitleLanguage;
}

} // namespace kvr::ui::cast
