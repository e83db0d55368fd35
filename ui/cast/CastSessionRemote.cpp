// The session as the player's remote: loads go through the cast plan to the receiver, transport commands to
// its controller, and the player reads position, duration, volume and state back from it. While a conversion
// that began in the middle of a file plays, the receiver's clock starts at 0 and is moved back onto the
// source's time line here.
#include "ui/cast/CastSession.h"

#include "engine/convert/MediaProbe.h"
#include "ui/cast/CastController.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>

#include <cmath>
#include <limits>
#include <string>

namespace kvr::ui::cast {

namespace {

// offsetUs + seconds on the source's time line, saturated: a receiver's time is never trusted to fit (a cast
// of a value beyond the integer's range is undefined).
qint64 timelineUs(qint64 offsetUs, double seconds)
{
    constexpr double kLimit = 4.0e18;
    const double us = seconds * 1e6;
    const qint64 part = std::isnan(us) ? 0
        : us >= kLimit                 ? qint64(kLimit)
        : us <= -kLimit                ? -qint64(kLimit)
                                       : static_cast<qint64>(us);
    qint64 sum = 0;
    if (__builtin_add_overflow(offsetUs, part, &sum))
        return part > 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
    return sum;
}

// The player's state values that a receiver can be in.
constexpr int kIdle = 0;
constexpr int kOpening = 1;
constexpr int kPlaying = 3;
constexpr int kPaused = 4;
constexpr int kError = 7;

std::string enginePath(const QString& source)
{
    if (CastSession::isNetworkUrl(source))
        return source.toStdString();
    return QFile::encodeName(source).toStdString();
}

// The name a source goes by in the log: a stream's address may carry credentials, so only its last segment.
QString sourceName(const QString& source)
{
    if (!CastSession::isNetworkUrl(source))
        return QFileInfo(source).fileName();
    const QString name = QUrl(source).fileName();
    return name.isEmpty() ? QUrl(source).host() : name;
}

QString tagValue(const engine::MediaInfo& info, const char* key)
{
    for (const engine::MediaTag& tag : info.tags) {
        if (QString::fromStdString(tag.key).compare(QLatin1String(key), Qt::CaseInsensitive) == 0)
            return QString::fromStdString(tag.value);
    }
    return {};
}

} // namespace

void CastSession::load(const QString& url, int64_t startUs)
{
    if (!controller_)
        return;
    forceTranscoding_ = alwaysTranscodeIds_.contains(controller_->device().id);
    beginLoad(url, startUs, forceTranscoding_);
}

void CastSession::play()
{
    if (controller_ && !loading_ && !currentSource_.isEmpty())
        controller_->play();
}

void CastSession::pause()
{
    if (controller_ && !loading_ && !currentSource_.isEmpty())
        controller_->pause();
}

void CastSession::stopPlayback()
{
    if (!controller_)
        return;
    controller_->stop();
    stopTranscode();
    // A load still being prepared must not reach the receiver after the user stopped: without its stream, the
    // readiness check would hand over the request for the conversion just cancelled.
    ++loadGeneration_;
    loading_ = false;
}

void CastSession::seek(int64_t us)
{
    // Accepted while a load is prepared: the receiver gets it once the load has reached it, or the restart
    // below replaces that load.
    if (!controller_ || currentSource_.isEmpty())
        return;
    qint64 target = us;
    if (durationUs_ > 0 && target > durationUs_ - 1'000'000)
        target = durationUs_ - 1'000'000;
    if (target < 0)
        target = 0;
    if (!transcoding_) {
        controller_->seek(static_cast<double>(target) / 1e6);
        return;
    }
    // A live conversion only runs forwards: the stream starts again at the target, and the receiver plays
    // the new one from its beginning.
    appendDiagnostic(QStringLiteral("Restarting the stream at %1 s").arg(static_cast<double>(target) / 1e6, 0, 'f', 1));
    beginLoad(currentSource_, target, forceTranscoding_);
}

void CastSession::setVolume(double volume)
{
    if (!controller_)
        return;
    if (controller_->supportsVolume())
        controller_->setVolume(volume);
    else
        emit notice(tr("%1 does not offer volume control").arg(controller_->device().name));
}

int64_t CastSession::position()
{
    if (!controller_)
        return 0;
    qint64 result = timelineUs(offsetUs_, controller_->currentPosition());
    if (durationUs_ > 0 && result > durationUs_)
        result = durationUs_;
    return result;
}

int64_t CastSession::duration()
{
    if (durationUs_ > 0)
        return durationUs_;
    if (!controller_)
        return 0;
    return timelineUs(offsetUs_, controller_->duration());
}

double CastSession::volume()
{
    return controller_ ? controller_->volume() : 1.0;
}

int CastSession::state()
{
    if (!controller_)
        return kIdle;
    if (loading_)
        return kOpening;
    switch (controller_->state()) {
    case CastController::Connecting:
    case CastController::Loading:
    case CastController::Buffering:
        // Connecting with nothing to play is not an open: the player shows nothing loading.
        return currentSource_.isEmpty() ? kIdle : kOpening;
    case CastController::Playing:
        return kPlaying;
    case CastController::Paused:
        return kPaused;
    case CastController::Error:
        return kError;
    default:
        return kIdle;
    }
}

void CastSession::beginLoad(const QString& source, int64_t startUs, bool force)
{
    QPointer<CastSession> alive(this);
    ++loadGeneration_;
    stopTranscode();
    server_.clear();
    currentSource_ = source;
    lastError_.clear();
    loading_ = true;

    const bool network = isNetworkUrl(source);
    // A stream is probed only where the plan needs it, under the demuxer's network time-out.
    const engine::MediaInfo info = network ? engine::MediaInfo {} : engine::probeMedia(enginePath(source));
    if (!network && info.tracks.empty()) {
        fail(tr("%1 cannot be read").arg(QFileInfo(source).fileName()));
        return;
    }
    durationUs_ = network ? 0 : info.durationUs;

    int subtitleStream = -1;
    QString subtitleFile;
    QString subtitleLanguage;
    const QUrl sidecar = planSubtitles(source, subtitleStream, subtitleFile, subtitleLanguage);
    Plan plan = choosePlan(source, force);
    applyBurnIn(plan, source, subtitleStream, subtitleFile);

    mode_ = plan.mode == 0 ? QStringLiteral("direct")
        : plan.mode == 1   ? QStringLiteral("remux")
                           : QStringLiteral("transcode");
    appendDiagnostic(QStringLiteral("%1: %2 — %3").arg(sourceName(source), mode_, plan.reason));
    if (!alive)
        return;
    if (plan.mode == 2) {
        emit notice(tr("Converting for %1 (%2) — uses more CPU; quality depends on the source")
                        .arg(controller_ ? controller_->device().name : QString(), plan.reason));
        if (!alive)
            return;
    }

    LoadRequest request;
    request.title = tagValue(info, "title");
    if (request.title.isEmpty())
        request.title = network ? source : QFileInfo(source).completeBaseName();
    request.artist = tagValue(info, "artist");
    request.video = network || hasPicture(plan);
    if (!sidecar.isEmpty()) {
        request.subtitleUrl = sidecar;
        request.subtitleLanguage = subtitleLanguage;
    }

    if (plan.mode != 0) {
        offsetUs_ = startUs >= 1 ? startUs : 0;
        transcoding_ = true;
        startTranscode(source, plan, offsetUs_);
        request.url = server_.publishGrowingFile(growingFile_, plan.mimeType, plan.extension);
        request.contentType = plan.mimeType;
        request.liveConversion = true;
        request.startSeconds = 0.0;
        request.durationSeconds = durationUs_ > 0 ? static_cast<double>(durationUs_ - offsetUs_) / 1e6 : 0.0;
        loadRequest_ = request;
        status_ = tr("Preparing stream…");
        emit stateChanged();
        if (!alive)
            return;
    } else {
        offsetUs_ = 0;
        transcoding_ = false;
        request.url = network ? QUrl(source) : server_.publishFile(source, plan.mimeType);
        request.contentType = plan.mimeType;
        request.liveConversion = false;
        request.startSeconds = static_cast<double>(startUs) / 1e6;
        request.durationSeconds = static_cast<double>(durationUs_) / 1e6;
        loadRequest_ = request;
    }

    loadWhenReady(0, loadGeneration_);
    if (alive)
        emit stateChanged();
}

void CastSession::endLoad()
{
    // A load still being prepared would otherwise keep the next cast Opening and busy until its own first
    // load, and a readiness check still pending must not hand this one to a later controller.
    loading_ = false;
    ++loadGeneration_;
    transcoding_ = false;
    offsetUs_ = 0;
    durationUs_ = 0;
}

} // namespace kvr::ui::cast
