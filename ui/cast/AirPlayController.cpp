#include "ui/cast/AirPlayController.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUrl>
#include <QUuid>

#include <algorithm>
#include <cmath>

namespace kvr::ui::cast {

namespace {

constexpr int kTransferTimeoutMs = 8000;
constexpr int kPollIntervalMs = 1000;
constexpr int kFailedPollsLimit = 5;
constexpr quint16 kDefaultPort = 7000;

} // namespace

AirPlayController::AirPlayController(const CastDevice& device, QObject* parent)
    : CastController(device, parent)
    , sessionId_(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper())
{
    network_.setTransferTimeout(kTransferTimeoutMs);
    pollTimer_.setInterval(kPollIntervalMs);
    pollTimer_.setSingleShot(false);
    connect(&pollTimer_, &QTimer::timeout, this, &AirPlayController::poll);
}

AirPlayController::~AirPlayController() = default;

void AirPlayController::connectDevice()
{
    state_ = Connecting;
    position_ = 0.0;
    statusClock_.restart();
    emit statusChanged();
    sendRequest("GET", QStringLiteral("/server-info"), {}, {}, [this](int status, const QByteArray&) {
        position_ = 0.0;
        if (status == 0) {
            state_ = Error;
            statusClock_.restart();
            emit statusChanged();
            emit failed(tr("%1 did not answer").arg(device_.name));
            return;
        }
        // Any HTTP status at all (403, 404 too) means the receiver is there.
        state_ = Idle;
        statusClock_.restart();
        emit statusChanged();
        emit connected();
    });
}

void AirPlayController::load(const LoadRequest& request)
{
    stopPolling();
    hasPlayed_ = false;
    stopRequested_ = false;

    double fraction = 0.0;
    if (!request.liveConversion && request.durationSeconds > 0.0)
        fraction = std::clamp(request.startSeconds / request.durationSeconds, 0.0, 1.0);
    if (!std::isfinite(fraction))
        fraction = 0.0;
    // Fixed notation through QString::number: QLocale would write "0,250000" under a German locale.
    const QByteArray body = "Content-Location: " + request.url.toEncoded()
        + "\nStart-Position: " + QString::number(fraction, 'f', 6).toLatin1() + "\n";

    state_ = Loading;
    position_ = request.liveConversion ? 0.0 : request.startSeconds;
    if (request.durationSeconds > 0.0)
        duration_ = request.durationSeconds;
    statusClock_.restart();
    emit statusChanged();

    const quint64 generation = generation_;
    sendRequest(
        "POST", QStringLiteral("/play"), body, "text/parameters", [this, generation](int status, const QByteArray&) {
            if (generation == generation_)
                handlePlayReply(status);
        });
}

void AirPlayController::play()
{
    sendRequest("POST", QStringLiteral("/rate?value=1.000000"), {}, {}, {});
}

void AirPlayController::pause()
{
    sendRequest("POST", QStringLiteral("/rate?value=0.000000"), {}, {}, {});
}

void AirPlayController::stop()
{
    stopRequested_ = true;
    stopPolling();
    sendRequest("POST", QStringLiteral("/stop"), {}, {}, {});
    state_ = Idle;
    position_ = 0.0;
    statusClock_.restart();
    emit statusChanged();
}

void AirPlayController::seek(double seconds)
{
    sendRequest("POST", QStringLiteral("/scrub?position=%1").arg(QString::number(seconds, 'f', 3)), {}, {}, {});
    position_ = seconds;
    statusClock_.restart();
}

void AirPlayController::setVolume(double level)
{
    volume_ = std::clamp(level, 0.0, 1.0);
    if (!std::isfinite(volume_))
        volume_ = 1.0;
    sendRequest("POST", QStringLiteral("/volume?volume=%1").arg(QString::number(volume_, 'f', 3)), {}, {},
        [this](int status, const QByteArray&) {
            if (status != 200)
                emit notice(tr("%1 does not accept volume changes over AirPlay 1 — use its remote").arg(device_.name));
        });
}

void AirPlayController::disconnectDevice()
{
    if (state_ != Idle && state_ != Error)
        stop();
    stopPolling();
    ++connection_;
}

void AirPlayController::poll()
{
    const quint64 generation = generation_;
    sendRequest(
        "GET", QStringLiteral("/playback-info"), {}, {}, [this, generation](int status, const QByteArray& body) {
            if (generation == generation_)
                handlePlaybackInfo(status, body);
        });
}

void AirPlayController::sendRequest(const QByteArray& method, const QString& path, const QByteArray& body,
    const QByteArray& contentType, ReplyHandler handler)
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(device_.address.toString());
    url.setPort(device_.port == 0 ? kDefaultPort : device_.port);
    const qsizetype question = path.indexOf(QLatin1Char('?'));
    if (question < 0) {
        url.setPath(path);
    } else {
        url.setPath(path.left(question));
        url.setQuery(path.mid(question + 1));
    }

    QNetworkRequest request(url);
    // Protocol identifiers: receivers expect these exact names and values.
    request.setRawHeader("User-Agent", "MediaControl/1.0");
    request.setRawHeader("X-Apple-Session-ID", sessionId_.toLatin1());
    if (!contentType.isEmpty())
        request.setRawHeader("Content-Type", contentType);

    QNetworkReply* reply = network_.sendCustomRequest(request, method, body);
    const quint64 connection = connection_;
    connect(reply, &QNetworkReply::finished, this, [this, reply, connection, handler = std::move(handler)] {
        reply->deleteLater();
        // 0 when no HTTP answer came: refused, unreachable, or the transfer timeout.
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (handler && connection == connection_)
            handler(status, reply->readAll());
    });
}

std::optional<QString> AirPlayController::plistValue(const QByteArray& body, const QString& key)
{
    const QRegularExpression pattern(QStringLiteral("<key>%1</key>\\s*<(?:real|integer)>([^<]*)<").arg(key));
    const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(body));
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1).trimmed();
}

double AirPlayController::plistNumber(const QByteArray& body, const QString& key)
{
    const std::optional<QString> text = plistValue(body, key);
    if (!text)
        return -1.0;
    bool ok = false;
    const double value = text->toDouble(&ok);
    // "nan" or "inf" would poison every position the session computes.
    return ok && std::isfinite(value) ? value : 0.0;
}

std::optional<double> AirPlayController::plistSeconds(const QByteArray& body, const QString& key)
{
    const std::optional<QString> text = plistValue(body, key);
    if (!text)
        return 0.0;
    bool ok = false;
    const double value = text->toDouble(&ok);
    return ok ? reportedSeconds(value) : 0.0;
}

void AirPlayController::handlePlayReply(int status)
{
    if (status == 200) {
        pollTimer_.start();
        return;
    }
    state_ = Error;
    position_ = 0.0;
    statusClock_.restart();
    emit statusChanged();
    if (status == 401 || status == 403 || status == 470) {
        emit failed(tr("%1 refused to play (HTTP %2). Its AirPlay settings must allow access to everyone on the "
                       "same network without a password; receivers that require pairing need AirPlay 2, which is "
                       "not supported yet.")
                        .arg(device_.name, QString::number(status)));
    } else {
        emit failed(tr("%1 could not start playback (HTTP %2)").arg(device_.name, QString::number(status)));
    }
}

void AirPlayController::handlePlaybackInfo(int status, const QByteArray& body)
{
    if (status != 200) {
        if (++failedPolls_ >= kFailedPollsLimit) {
            stopPolling();
            state_ = Error;
            statusClock_.restart();
            emit statusChanged();
            emit failed(tr("%1 stopped answering").arg(device_.name));
        }
        return;
    }
    failedPolls_ = 0;
    const std::optional<double> duration = plistSeconds(body, QStringLiteral("duration"));
    const std::optional<double> position = plistSeconds(body, QStringLiteral("position"));
    const double rate = plistNumber(body, QStringLiteral("rate"));

    // Any layout of white space between the key and its value; a missing key means not ready.
    static const QRegularExpression readyPattern(QStringLiteral("<key>readyToPlay</key>\\s*<(true|false)\\s*/>"));
    const QRegularExpressionMatch readyMatch = readyPattern.match(QString::fromUtf8(body));
    const bool ready = readyMatch.hasMatch() && readyMatch.captured(1) == QLatin1String("true");

    // A duration that cannot be one is unknown, never the end: only a real 0 (or none at all) ends the item.
    if (duration && *duration <= 0.0 && hasPlayed_ && !stopRequested_) {
        stopPolling();
        hasPlayed_ = false;
        state_ = Idle;
        statusClock_.restart();
        emit statusChanged();
        emit ended();
    } else if ((!duration || *duration > 0.0) && ready) {
        const double at = position.value_or(position_);
        const double length = duration.value_or(-1.0);
        if (rate > 0.0) {
            hasPlayed_ = true;
            updateStatus(Playing, at, length);
        } else {
            updateStatus(Paused, at, length);
        }
    } else {
        state_ = Buffering;
        statusClock_.restart();
        emit statusChanged();
    }
}

void AirPlayController::stopPolling()
{
    pollTimer_.stop();
    ++generation_;
}

} // namespace kvr::ui::cast
