#include "ui/cast/ChromecastController.h"

#include "ui/cast/CastFraming.h"

#include <QJsonArray>
#include <QRandomGenerator>

#include <spdlog/spdlog.h>

#include <algorithm>

namespace kvr::ui::cast {

namespace {

// Protocol identifiers: receivers compare them byte for byte.
const QString kConnectionNs = QStringLiteral("urn:x-cast:com.google.cast.tp.connection");
const QString kHeartbeatNs = QStringLiteral("urn:x-cast:com.google.cast.tp.heartbeat");
const QString kReceiverNs = QStringLiteral("urn:x-cast:com.google.cast.receiver");
const QString kMediaNs = QStringLiteral("urn:x-cast:com.google.cast.media");
const QString kPlatform = QStringLiteral("receiver-0");
// The receiver's default media player app.
const QString kAppId = QStringLiteral("CC1AD845");
constexpr quint16 kDefaultPort = 8009;
constexpr int kMaxReconnects = 3;

QJsonObject typed(const QString& type)
{
    return QJsonObject { { QStringLiteral("type"), type } };
}

} // namespace

ChromecastController::ChromecastController(const CastDevice& device, QObject* parent)
    : CastController(device, parent)
    , senderId_(QStringLiteral("sender-%1").arg(QRandomGenerator::global()->bounded(100000, 999999)))
{
    socket_.setPeerVerifyMode(QSslSocket::VerifyNone);
    heartbeatTimer_.setInterval(timings_.heartbeatMs);
    statusPollTimer_.setInterval(timings_.statusPollMs);
    reconnectTimer_.setSingleShot(true);

    connect(&socket_, &QSslSocket::encrypted, this, &ChromecastController::launchApp);
    connect(&socket_, &QSslSocket::readyRead, this, &ChromecastController::onReadyRead);
    connect(&socket_, &QSslSocket::disconnected, this, [this] {
        if (!closing_)
            connectionLost(tr("the connection closed"));
    });
    connect(&socket_, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        // An established connection that drops is reported by disconnected.
        if (closing_ || socket_.state() == QAbstractSocket::ConnectedState)
            return;
        connectionLost(socket_.errorString());
    });
    // Receivers present self-signed certificates.
    connect(&socket_, &QSslSocket::sslErrors, this, [this](const QList<QSslError>&) { socket_.ignoreSslErrors(); });
    connect(&heartbeatTimer_, &QTimer::timeout, this, &ChromecastController::onHeartbeat);
    connect(&statusPollTimer_, &QTimer::timeout, this, &ChromecastController::onStatusPoll);
    connect(&reconnectTimer_, &QTimer::timeout, this, &ChromecastController::connectDevice);
}

ChromecastController::~ChromecastController()
{
    // Nothing is reported about a connection that goes away with its controller.
    closing_ = true;
    socket_.abort();
}

bool ChromecastController::supportsSubtitleTracks() const
{
    return true;
}

bool ChromecastController::supportsVolume() const
{
    return true;
}

void ChromecastController::setTimings(const Timings& timings)
{
    timings_ = timings;
    heartbeatTimer_.setInterval(timings_.heartbeatMs);
    statusPollTimer_.setInterval(timings_.statusPollMs);
}

void ChromecastController::connectDevice()
{
    state_ = Connecting;
    position_ = 0.0;
    statusClock_.restart();
    emit statusChanged();
    // The tail of a frame cut by a lost connection must not stand in front of the new stream.
    receiveBuffer_.clear();
    if (socket_.state() != QAbstractSocket::UnconnectedState) {
        const bool wasClosing = closing_;
        closing_ = true;
        socket_.abort();
        closing_ = wasClosing;
    }
    const quint16 port = device_.port == 0 ? kDefaultPort : device_.port;
    socket_.connectToHostEncrypted(device_.address.toString(), port);
}

void ChromecastController::load(const LoadRequest& request)
{
    request_ = request;
    loadPending_ = true;
    if (!transportId_.isEmpty())
        sendLoad();
}

void ChromecastController::play()
{
    sendMediaCommand(QStringLiteral("PLAY"));
}

void ChromecastController::pause()
{
    sendMediaCommand(QStringLiteral("PAUSE"));
}

void ChromecastController::stop()
{
    sendMediaCommand(QStringLiteral("STOP"));
}

void ChromecastController::seek(double seconds)
{
    QJsonObject object;
    object[QStringLiteral("currentTime")] = seconds;
    object[QStringLiteral("resumeState")]
        = state_ == Paused ? QStringLiteral("PLAYBACK_PAUSE") : QStringLiteral("PLAYBACK_START");
    sendMediaCommand(QStringLiteral("SEEK"), object);
    position_ = seconds;
    statusClock_.restart();
}

void ChromecastController::setVolume(double level)
{
    volume_ = std::clamp(level, 0.0, 1.0);
    QJsonObject object = typed(QStringLiteral("SET_VOLUME"));
    volumeRequestId_ = nextRequestId();
    object[QStringLiteral("requestId")] = volumeRequestId_;
    object[QStringLiteral("volume")] = QJsonObject { { QStringLiteral("level"), volume_ } };
    sendMessage(kReceiverNs, kPlatform, object);
}

void ChromecastController::disconnectDevice()
{
    closing_ = true;
    heartbeatTimer_.stop();
    statusPollTimer_.stop();
    reconnectTimer_.stop();
    if (socket_.state() == QAbstractSocket::ConnectedState) {
        if (!transportId_.isEmpty()) {
            sendMediaCommand(QStringLiteral("STOP"));
            sendMessage(kConnectionNs, transportId_, typed(QStringLiteral("CLOSE")));
        }
        if (!sessionId_.isEmpty()) {
            QJsonObject object = typed(QStringLiteral("STOP"));
            object[QStringLiteral("sessionId")] = sessionId_;
            object[QStringLiteral("requestId")] = nextRequestId();
            sendMessage(kReceiverNs, kPlatform, object);
        }
        sendMessage(kConnectionNs, kPlatform, typed(QStringLiteral("CLOSE")));
        socket_.flush();
        socket_.disconnectFromHost();
    }
    transportId_.clear();
    state_ = Idle;
    statusClock_.restart();
    emit statusChanged();
}

void ChromecastController::launchApp()
{
    reconnectAttempts_ = 0;
    lastHeard_.restart();
    sendMessage(kConnectionNs, kPlatform, typed(QStringLiteral("CONNECT")));
    heartbeatTimer_.start();
    QJsonObject launch = typed(QStringLiteral("LAUNCH"));
    launch[QStringLiteral("appId")] = kAppId;
    launchRequestId_ = nextRequestId();
    launch[QStringLiteral("requestId")] = launchRequestId_;
    sendMessage(kReceiverNs, kPlatform, launch);
}

void ChromecastController::sendMessage(
    const QString& nameSpace, const QString& destinationId, const QJsonObject& object)
{
    cast::sendMessage(socket_, senderId_, nameSpace, destinationId, object);
}

void ChromecastController::sendMediaCommand(const QString& type, QJsonObject object)
{
    if (transportId_.isEmpty())
        return;
    object[QStringLiteral("type")] = type;
    object[QStringLiteral("requestId")] = nextRequestId();
    if (mediaSessionId_ != 0)
        object[QStringLiteral("mediaSessionId")] = mediaSessionId_;
    sendMessage(kMediaNs, transportId_, object);
}

void ChromecastController::sendLoad()
{
    loadPending_ = false;
    loadInFlight_ = true;
    // The session id belongs to the media loaded before: a command carrying it could be refused.
    mediaSessionId_ = 0;

    QJsonObject metadata;
    metadata[QStringLiteral("metadataType")] = request_.video ? 0 : 3;
    metadata[QStringLiteral("title")] = request_.title;
    if (!request_.artist.isEmpty())
        metadata[request_.video ? QStringLiteral("subtitle") : QStringLiteral("artist")] = request_.artist;

    // The encoded form: the receiver fetches it as a URI, and the decoded text is not one.
    const QString url = QString::fromLatin1(request_.url.toEncoded());
    QJsonObject media;
    media[QStringLiteral("contentId")] = url;
    media[QStringLiteral("contentUrl")] = url;
    media[QStringLiteral("streamType")] = QStringLiteral("BUFFERED");
    media[QStringLiteral("contentType")] = request_.contentType;
    media[QStringLiteral("metadata")] = metadata;
    if (request_.durationSeconds > 0.0)
        media[QStringLiteral("duration")] = request_.durationSeconds;

    const double startAt = request_.liveConversion ? 0.0 : request_.startSeconds;
    loadRequestId_ = nextRequestId();
    QJsonObject object = typed(QStringLiteral("LOAD"));
    object[QStringLiteral("requestId")] = loadRequestId_;
    object[QStringLiteral("autoplay")] = true;
    object[QStringLiteral("currentTime")] = startAt;

    if (request_.subtitleUrl.isValid()) {
        const QString language = request_.subtitleLanguage;
        QJsonObject track;
        track[QStringLiteral("trackId")] = 1;
        track[QStringLiteral("type")] = QStringLiteral("TEXT");
        track[QStringLiteral("subtype")] = QStringLiteral("SUBTITLES");
        track[QStringLiteral("trackContentId")] = QString::fromLatin1(request_.subtitleUrl.toEncoded());
        track[QStringLiteral("trackContentType")] = QStringLiteral("text/vtt");
        track[QStringLiteral("name")] = language.isEmpty() ? tr("Subtitles") : language;
        track[QStringLiteral("language")] = language.isEmpty() ? QStringLiteral("und") : language;
        media[QStringLiteral("tracks")] = QJsonArray { track };
        media[QStringLiteral("textTrackStyle")] = QJsonObject {
            { QStringLiteral("backgroundColor"), QStringLiteral("#00000000") },
            { QStringLiteral("edgeType"), QStringLiteral("OUTLINE") },
            { QStringLiteral("edgeColor"), QStringLiteral("#000000FF") },
            { QStringLiteral("foregroundColor"), QStringLiteral("#FFFFFFFF") },
        };
        object[QStringLiteral("activeTrackIds")] = QJsonArray { 1 };
    }
    object[QStringLiteral("media")] = media;

    state_ = Loading;
    position_ = startAt;
    if (request_.durationSeconds > 0.0)
        duration_ = request_.durationSeconds;
    statusClock_.restart();
    emit statusChanged();
    sendMessage(kMediaNs, transportId_, object);
}

void ChromecastController::handleMessage(const QString& nameSpace, const QString& sourceId, const QJsonObject& object)
{
    const QString type = object.value(QStringLiteral("type")).toString();
    const QString reason = object.value(QStringLiteral("reason")).toString();
    if (nameSpace == kHeartbeatNs) {
        if (type == QLatin1String("PING"))
            sendMessage(kHeartbeatNs, sourceId, typed(QStringLiteral("PONG")));
    } else if (nameSpace == kConnectionNs) {
        if (type == QLatin1String("CLOSE") && sourceId == transportId_ && !closing_)
            appGone();
    } else if (nameSpace == kReceiverNs) {
        const int requestId = object.value(QStringLiteral("requestId")).toInt(-1);
        // A refusal without a request id can only be matched to the launch while that is still unanswered.
        const bool answersLaunch = launchRequestId_ >= 0 && (requestId == launchRequestId_ || requestId < 0);
        if (type == QLatin1String("RECEIVER_STATUS")) {
            handleReceiverStatus(object);
        } else if (type == QLatin1String("LAUNCH_ERROR")
            || (type == QLatin1String("INVALID_REQUEST") && answersLaunch)) {
            fail(tr("%1 could not start its media player: %2").arg(device_.name, reason));
        } else if (type == QLatin1String("INVALID_REQUEST")) {
            // A refused volume change (or other platform request) leaves the media playing.
            const QString why = reason.isEmpty() ? type : reason;
            const QString message = requestId >= 0 && requestId == volumeRequestId_
                ? tr("%1 did not accept a volume change (%2)").arg(device_.name, why)
                : tr("%1 did not accept a command (%2)").arg(device_.name, why);
            spdlog::warn("ChromecastController: {}", message.toStdString());
            emit notice(message);
        }
    } else if (nameSpace == kMediaNs) {
        if (type == QLatin1String("MEDIA_STATUS")) {
            handleMediaStatus(object);
        } else if (type == QLatin1String("INVALID_REQUEST")
            && object.value(QStringLiteral("requestId")).toInt(-1) != loadRequestId_) {
            // A refused pause or seek (for instance one sent before the new media had its session id) leaves
            // the media playing: it is worth a word, not the end of the cast.
            emit notice(tr("%1 did not accept a command (%2)").arg(device_.name, reason.isEmpty() ? type : reason));
        } else if (type == QLatin1String("LOAD_FAILED") || type == QLatin1String("LOAD_CANCELLED")
            || type == QLatin1String("INVALID_REQUEST")) {
            loadInFlight_ = false;
            if (type != QLatin1String("LOAD_CANCELLED"))
                fail(tr("%1 could not play this media (%2)").arg(device_.name, reason.isEmpty() ? type : reason));
        }
    }
}

void ChromecastController::handleReceiverStatus(const QJsonObject& object)
{
    const QJsonObject status = object.value(QStringLiteral("status")).toObject();
    const QJsonObject volume = status.value(QStringLiteral("volume")).toObject();
    if (volume.contains(QStringLiteral("level"))) {
        volume_ = volume.value(QStringLiteral("muted")).toBool() ? 0.0
                                                                 : volume.value(QStringLiteral("level")).toDouble(0.0);
        emit statusChanged();
    }

    QString found;
    const QJsonArray applications = status.value(QStringLiteral("applications")).toArray();
    for (const QJsonValue& entry : applications) {
        const QJsonObject app = entry.toObject();
        if (app.value(QStringLiteral("appId")).toString() != kAppId)
            continue;
        found = app.value(QStringLiteral("transportId")).toString();
        sessionId_ = app.value(QStringLiteral("sessionId")).toString();
    }

    if (found.isEmpty()) {
        if (!transportId_.isEmpty() && !closing_)
            appGone();
        return;
    }
    if (found == transportId_)
        return;
    // The app runs: the launch has had its answer.
    launchRequestId_ = -1;
    transportId_ = found;
    sendMessage(kConnectionNs, transportId_, typed(QStringLiteral("CONNECT")));
    statusPollTimer_.start();
    if (state_ == Connecting) {
        state_ = Idle;
        statusClock_.restart();
        emit statusChanged();
    }
    emit connected();
    if (loadPending_)
        sendLoad();
}

std::optional<double> ChromecastController::statusSeconds(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    return reportedSeconds(value.toDouble());
}

void ChromecastController::handleMediaStatus(const QJsonObject& object)
{
    const QJsonArray statuses = object.value(QStringLiteral("status")).toArray();
    if (statuses.isEmpty())
        return;
    const QJsonObject entry = statuses.first().toObject();
    if (entry.contains(QStringLiteral("mediaSessionId")))
        mediaSessionId_ = entry.value(QStringLiteral("mediaSessionId")).toInt(0);

    const QString playerState = entry.value(QStringLiteral("playerState")).toString();
    // A time that cannot be one leaves the position as it was and the duration unknown.
    const double time = statusSeconds(entry.value(QStringLiteral("currentTime"))).value_or(position_);
    double duration = -1.0;
    const std::optional<double> reported
        = statusSeconds(entry.value(QStringLiteral("media")).toObject().value(QStringLiteral("duration")));
    if (reported && *reported > 0.0)
        duration = *reported;

    const QJsonObject volume = entry.value(QStringLiteral("volume")).toObject();
    if (volume.contains(QStringLiteral("level")) && !volume.value(QStringLiteral("muted")).toBool())
        volume_ = volume.value(QStringLiteral("level")).toDouble(0.0);

    if (playerState == QLatin1String("PLAYING")) {
        loadInFlight_ = false;
        updateStatus(Playing, time, duration);
    } else if (playerState == QLatin1String("PAUSED")) {
        loadInFlight_ = false;
        updateStatus(Paused, time, duration);
    } else if (playerState == QLatin1String("BUFFERING")) {
        updateStatus(Buffering, time, duration);
    } else if (playerState == QLatin1String("IDLE")) {
        const QString reason = entry.value(QStringLiteral("idleReason")).toString();
        // The receiver reports the previous media as idle before it starts on the new one.
        if (loadInFlight_ && reason.isEmpty())
            return;
        loadInFlight_ = false;
        if (reason == QLatin1String("FINISHED")) {
            updateStatus(Idle, time, duration);
            emit ended();
        } else if (reason == QLatin1String("ERROR")) {
            updateStatus(Error, time, duration);
            emit failed(
                tr("%1 reported a playback error (unsupported format or the stream stopped)").arg(device_.name));
        } else {
            updateStatus(Idle, time, duration);
        }
    }
}

void ChromecastController::appGone()
{
    transportId_.clear();
    fail(tr("%1 closed the media app").arg(device_.name));
}

void ChromecastController::fail(const QString& message)
{
    spdlog::warn("ChromecastController: {}", message.toStdString());
    state_ = Error;
    statusClock_.restart();
    emit statusChanged();
    emit failed(message);
}

void ChromecastController::onHeartbeat()
{
    if (lastHeard_.isValid() && lastHeard_.elapsed() > timings_.silenceMs) {
        connectionLost(tr("the receiver stopped answering"));
        return;
    }
    sendMessage(kHeartbeatNs, kPlatform, typed(QStringLiteral("PING")));
}

void ChromecastController::onStatusPoll()
{
    if (!transportId_.isEmpty())
        sendMediaCommand(QStringLiteral("GET_STATUS"));
}

void ChromecastController::onReadyRead()
{
    receiveBuffer_.append(socket_.readAll());
    lastHeard_.restart();
    cutFrames(
        receiveBuffer_,
        [this](const QString& nameSpace, const QString& sourceId, const QJsonObject& object) {
            handleMessage(nameSpace, sourceId, object);
        },
        [this](const QString& reason) { connectionLost(reason); });
}

void ChromecastController::connectionLost(const QString& reason)
{
    heartbeatTimer_.stop();
    statusPollTimer_.stop();
    transportId_.clear();
    receiveBuffer_.clear();
    // Whatever the outcome, this connection is done with: nothing it still says, and not its closing, may
    // be reported again (a silent receiver that hangs up later would otherwise fail the session twice).
    closing_ = true;
    socket_.abort();
    closing_ = false;
    if (reconnectAttempts_ >= kMaxReconnects) {
        fail(tr("Lost the connection to %1: %2").arg(device_.name, reason));
        return;
    }
    const int attempt = ++reconnectAttempts_;
    spdlog::info("ChromecastController: connection to {} lost ({}), reconnect {}/{}", device_.name.toStdString(),
        reason.toStdString(), attempt, kMaxReconnects);
    emit notice(
        tr("Connection to %1 lost (%2) — reconnecting (%3/3)").arg(device_.name, reason, QString::number(attempt)));
    reconnectTimer_.start(attempt * timings_.reconnectStepMs);
}

} // namespace kvr::ui::cast
