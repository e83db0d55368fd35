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

// What a probed source offers a plan: its first picture, the sound to send, and the tests they pass.
struct SourceFacts {
    const engine::TrackInfo* video = nullptr;
    const engine::TrackInfo* audio = nullptr;
    QString format;
    QString suffix;
    QString vcodec;
    QString acodec;
    bool mp4Family = false;
    bool webm = false;
    bool overLimit = false;
    bool keepAudio = false;
    bool servable = false;
};

// An http(s) stream sent to the receiver as it is, unprobed.
CastSession::Plan streamPlan(const QString& source)
{
    CastSession::Plan plan;
    plan.mode = 0;
    if (source.contains(QLatin1String(".m3u8"))) {
        plan.mimeType = QStringLiteral("application/x-mpegURL");
    } else {
        plan.mimeType = CastServer::mimeTypeForExtension(QUrl(source).path());
        if (plan.mimeType == QLatin1String("application/octet-stream"))
            plan.mimeType = QStringLiteral("video/mp4");
    }
    plan.reason = CastSession::tr("network stream sent to the receiver as is");
    return plan;
}

const engine::TrackInfo* firstPicture(const engine::MediaInfo& info)
{
    for (const engine::TrackInfo& track : info.tracks) {
        if (track.kind == 0 && track.width > 0)
            return &track;
    }
    return nullptr;
}

// The audio track the player had chosen (wantedAudio, -1 none), else the default one, else the first.
const engine::TrackInfo* chosenAudio(const engine::MediaInfo& info, int wantedAudio)
{
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
    return audio;
}

SourceFacts sourceFacts(const engine::MediaInfo& info, const QString& source, int wantedAudio, int maxBitrateMbps)
{
    SourceFacts facts;
    facts.format = QString::fromStdString(info.formatName);
    facts.suffix = sourceSuffix(source);
    facts.video = firstPicture(info);
    facts.audio = chosenAudio(info, wantedAudio);
    const engine::TrackInfo* video = facts.video;
    const engine::TrackInfo* audio = facts.audio;
    facts.vcodec = video ? QString::fromStdString(video->codec) : QString();
    facts.acodec = audio ? QString::fromStdString(audio->codec) : QString();
    facts.mp4Family = facts.format.contains(QLatin1String("mp4")) || facts.format.contains(QLatin1String("mov"));
    facts.webm = facts.format.contains(QLatin1String("webm"))
        && facts.suffix.compare(QLatin1String("webm"), Qt::CaseInsensitive) == 0;
    facts.overLimit = maxBitrateMbps >= 1 && info.bitRate > qint64(maxBitrateMbps) * 1'000'000;
    facts.keepAudio = wantedAudio >= 0 && audio && audio->streamIndex == wantedAudio && !audio->isDefault;
    // A receiver given any other address than an http(s) one could not fetch it, and an address may carry the
    // user's credentials: such a stream is always served by the media server, through a conversion.
    facts.servable = !CastSession::isNetworkUrl(source);
    return facts;
}

CastSession::Plan videoPlan(
    const SourceFacts& facts, const QString& source, int receiver, bool force, int maxBitrateMbps)
{
    CastSession::Plan plan;
    const QString& vcodec = facts.vcodec;
    const QString& acodec = facts.acodec;
    const bool dlna = receiver == 2;
    plan.container = plan.extension = dlna ? QStringLiteral("ts") : QStringLiteral("mp4");
    plan.mimeType = dlna ? QStringLiteral("video/mp2t") : QStringLiteral("video/mp4");
    if (facts.keepAudio)
        plan.audioStream = facts.audio->streamIndex;
    const bool audioOk = acodec.isEmpty() || audioWithVideoAccepted(receiver, acodec);
    if (force || facts.overLimit || !videoAccepted(receiver, vcodec, facts.webm)) {
        plan.mode = 2;
        plan.videoCodec = QStringLiteral("h264");
        plan.audioCodec = acodec.isEmpty() ? QStringLiteral("none") : QStringLiteral("aac");
        if (force)
            plan.reason = CastSession::tr("transcoding requested");
        else if (facts.overLimit)
            plan.reason = CastSession::tr("bitrate above the %1 Mbps cast limit").arg(maxBitrateMbps);
        else
            plan.reason = CastSession::tr("%1 video is not supported by this receiver").arg(vcodec);
    } else if (audioOk && containerAccepted(receiver, facts.format, facts.mp4Family, facts.webm) && !facts.keepAudio
        && facts.servable) {
        plan.mode = 0;
        plan.mimeType = CastServer::mimeTypeForExtension(source);
        if (plan.mimeType == QLatin1String("video/quicktime"))
            plan.mimeType = QStringLiteral("video/mp4");
        plan.reason = CastSession::tr("%1/%2 in %3 plays on the receiver as is")
                          .arg(vcodec, acodec.isEmpty() ? CastSession::tr("no audio") : acodec, facts.suffix);
    } else {
        plan.mode = 1;
        plan.videoCodec = QStringLiteral("copy");
        if (acodec.isEmpty())
            plan.audioCodec = QStringLiteral("none");
        else
            plan.audioCodec = audioOk ? QStringLiteral("copy") : QStringLiteral("aac");
        plan.reason = audioOk ? CastSession::tr("%1 is repackaged without re-encoding").arg(vcodec)
                              : CastSession::tr("video is copied, %1 audio converted to AAC").arg(acodec);
    }
    return plan;
}

CastSession::Plan audioPlan(const SourceFacts& facts, const QString& source, int receiver, bool force)
{
    CastSession::Plan plan;
    const QString& acodec = facts.acodec;
    const bool audioOk = !acodec.isEmpty() && audioOnlyAccepted(receiver, acodec, facts.format, facts.mp4Family);
    if (audioOk && !force && !facts.overLimit && facts.servable) {
        plan.mode = 0;
        plan.mimeType = CastServer::mimeTypeForExtension(source);
        plan.reason = CastSession::tr("%1 audio plays on the receiver as is").arg(acodec);
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
    plan.reason = force ? CastSession::tr("transcoding requested")
                        : CastSession::tr("%1 audio is converted for this receiver").arg(acodec);
    return plan;
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
    planSourceHasVideo_ = false;
    const int receiver = controller_ ? controller_->device().type : -1;
    if (isNetworkUrl(source) && isHttp(source) && !force)
        return streamPlan(source);

    const engine::MediaInfo info = engine::probeMedia(enginePath(source));
    const int wantedAudio = source == selectionSource_ ? selectedAudioTrack_ : -1;
    const SourceFacts facts = sourceFacts(info, source, wantedAudio, maxBitrateMbps_);
    if (facts.video) {
        planSourceHasVideo_ = true;
        return videoPlan(facts, source, receiver, force, maxBitrateMbps_);
    }
    return audioPlan(facts, source, receiver, force);
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
