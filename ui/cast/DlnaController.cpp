#include "ui/cast/DlnaController.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QXmlStreamReader>

#include <algorithm>
#include <cmath>

namespace kvr::ui::cast {

namespace {

constexpr int kTransferTimeoutMs = 6000;
constexpr int kPollIntervalMs = 1000;
constexpr int kFailedPollsLimit = 5;
// A start seek that leaves the renderer further than this from its target is sent again, once.
constexpr double kStartToleranceSeconds = 3.0;

const QString kAvTransport = QStringLiteral("AVTransport");
const QString kRenderingControl = QStringLiteral("RenderingControl");

DlnaController::Arguments instance()
{
    return { { QStringLiteral("InstanceID"), QStringLiteral("0") } };
}

DlnaController::Arguments master()
{
    return { { QStringLiteral("InstanceID"), QStringLiteral("0") },
        { QStringLiteral("Channel"), QStringLiteral("Master") } };
}

bool isPollAction(const QString& action)
{
    return action == QLatin1String("GetPositionInfo") || action == QLatin1String("GetTransportInfo");
}

// Characters XML 1.0 allows in a document at all.
bool allowedInXml(char32_t c)
{
    if (c < 0x20)
        return c == 0x9 || c == 0xA || c == 0xD;
    if (c >= 0xD800 && c <= 0xDFFF)
        return false;
    return c != 0xFFFE && c != 0xFFFF;
}

} // namespace

DlnaController::DlnaController(const CastDevice& device, QObject* parent)
    : CastController(device, parent)
{
    network_.setTransferTimeout(kTransferTimeoutMs);
    pollTimer_.setInterval(kPollIntervalMs);
    pollTimer_.setSingleShot(false);
    connect(&pollTimer_, &QTimer::timeout, this, &DlnaController::poll);
}

DlnaController::~DlnaController() = default;

bool DlnaController::supportsVolume() const
{
    return device_.renderingControlUrl.isValid();
}

void DlnaController::connectDevice()
{
    state_ = Connecting;
    position_ = 0.0;
    statusClock_.restart();
    emit statusChanged();
    soapCall(
        device_.avTransportUrl, kAvTransport, QStringLiteral("GetTransportInfo"), instance(),
        [this](const Values&) {
            state_ = Idle;
            position_ = 0.0;
            statusClock_.restart();
            emit statusChanged();
            emit connected();
        },
        true);
    if (device_.renderingControlUrl.isValid()) {
        soapCall(
            device_.renderingControlUrl, kRenderingControl, QStringLiteral("GetVolume"), master(),
            [this](const Values& values) {
                volume_ = values.value(QStringLiteral("CurrentVolume")).toInt() / 100.0;
                emit statusChanged();
            },
            false);
    }
}

void DlnaController::load(const LoadRequest& request)
{
    stopPolling();
    stopRequested_ = false;
    hasPlayed_ = false;

    state_ = Loading;
    position_ = request.liveConversion ? 0.0 : request.startSeconds;
    if (request.durationSeconds > 0.0)
        duration_ = request.durationSeconds;
    statusClock_.restart();
    emit statusChanged();

    const quint64 generation = generation_;
    const bool seekAfterPlay = !request.liveConversion && request.startSeconds > 1.0;
    const double startSeconds = request.startSeconds;
    Arguments arguments = instance();
    arguments.append({ QStringLiteral("CurrentURI"), urlText(request.url) });
    arguments.append({ QStringLiteral("CurrentURIMetaData"), didlMetadata(request) });
    soapCall(
        device_.avTransportUrl, kAvTransport, QStringLiteral("SetAVTransportURI"), arguments,
        [this, generation, seekAfterPlay, startSeconds](const Values&) {
            if (generation != generation_)
                return;
            Arguments play = instance();
            play.append({ QStringLiteral("Speed"), QStringLiteral("1") });
            soapCall(
                device_.avTransportUrl, kAvTransport, QStringLiteral("Play"), play,
                [this, generation, seekAfterPlay, startSeconds](const Values&) {
                    if (generation != generation_)
                        return;
                    if (seekAfterPlay) {
                        startPending_ = true;
                        startSeconds_ = startSeconds;
                        startSeeks_ = 0;
                        startClock_.start();
                    }
                    pollTimer_.start();
                },
                true);
        },
        true);
}

void DlnaController::play()
{
    Arguments arguments = instance();
    arguments.append({ QStringLiteral("Speed"), QStringLiteral("1") });
    soapCall(
        device_.avTransportUrl, kAvTransport, QStringLiteral("Play"), arguments,
        [this](const Values&) { pollTimer_.start(); }, false);
}

void DlnaController::pause()
{
    soapCall(device_.avTransportUrl, kAvTransport, QStringLiteral("Pause"), instance(), {}, false);
}

void DlnaController::stop()
{
    startPending_ = false;
    stopRequested_ = true;
    soapCall(device_.avTransportUrl, kAvTransport, QStringLiteral("Stop"), instance(), {}, false);
}

void DlnaController::seek(double seconds)
{
    // The user's seek replaces a start position still sought.
    startPending_ = false;
    sendSeek(seconds);
}

void DlnaController::sendSeek(double seconds)
{
    Arguments arguments = instance();
    arguments.append({ QStringLiteral("Unit"), QStringLiteral("REL_TIME") });
    arguments.append({ QStringLiteral("Target"), formatHms(seconds) });
    soapCall(device_.avTransportUrl, kAvTransport, QStringLiteral("Seek"), arguments, {}, false);
    position_ = seconds;
    statusClock_.restart();
}

void DlnaController::setVolume(double level)
{
    if (!device_.renderingControlUrl.isValid()) {
        emit notice(tr("%1 does not offer volume control").arg(device_.name));
        return;
    }
    volume_ = std::isfinite(level) ? std::clamp(level, 0.0, 1.0) : volume_;
    Arguments arguments = master();
    arguments.append({ QStringLiteral("DesiredVolume"), QString::number(std::lround(volume_ * 100.0)) });
    soapCall(device_.renderingControlUrl, kRenderingControl, QStringLiteral("SetVolume"), arguments, {}, false);
}

void DlnaController::disconnectDevice()
{
    stopPolling();
    // A renderer still loading may already hold the URI and start playing after the cast has ended.
    if (state_ == Loading || state_ == Buffering || state_ == Playing || state_ == Paused)
        stop();
    ++connection_;
    state_ = Idle;
    statusClock_.restart();
    emit statusChanged();
}

void DlnaController::stopPolling()
{
    startPending_ = false;
    pollTimer_.stop();
    ++generation_;
}

void DlnaController::poll()
{
    const quint64 generation = generation_;
    soapCall(
        device_.avTransportUrl, kAvTransport, QStringLiteral("GetTransportInfo"), instance(),
        [this, generation](const Values& values) { handleTransportInfo(values, generation); }, false);
}

void DlnaController::handleTransportInfo(const Values& values, quint64 generation)
{
    if (generation != generation_)
        return;
    const QString transportState = values.value(QStringLiteral("CurrentTransportState"));
    const int seeksBefore = startSeeks_;
    soapCall(
        device_.avTransportUrl, kAvTransport, QStringLiteral("GetPositionInfo"), instance(),
        [this, generation, transportState, seeksBefore](const Values& positionValues) {
            if (generation == generation_)
                handlePositionInfo(transportState, positionValues, seeksBefore);
        },
        false);
}

void DlnaController::handlePositionInfo(const QString& transportState, const Values& values, int seeksBefore)
{
    // A time that cannot be one leaves the position as it was and the duration unknown.
    const double relTime = parseHms(values.value(QStringLiteral("RelTime"))).value_or(position_);
    const double trackDuration = parseHms(values.value(QStringLiteral("TrackDuration"))).value_or(-1.0);
    int newState = -1;
    if (transportState == QLatin1String("PLAYING")) {
        hasPlayed_ = true;
        newState = Playing;
    } else if (transportState == QLatin1String("PAUSED_PLAYBACK")) {
        newState = Paused;
    } else if (transportState == QLatin1String("TRANSITIONING")) {
        newState = Buffering;
    } else if (transportState == QLatin1String("STOPPED") || transportState == QLatin1String("NO_MEDIA_PRESENT")) {
        if (stopRequested_) {
            stopPolling();
            state_ = Idle;
            position_ = 0.0;
            statusClock_.restart();
            emit statusChanged();
        } else if (hasPlayed_) {
            stopPolling();
            hasPlayed_ = false;
            state_ = Idle;
            statusClock_.restart();
            emit statusChanged();
            emit ended();
        }
        return;
    }
    if (newState < 0)
        return;
    const double shown = startPending_ ? pursueStart(newState, relTime, seeksBefore) : relTime;
    updateStatus(newState, shown, trackDuration > 0.0 ? trackDuration : -1.0);
}

double DlnaController::pursueStart(int state, double relTime, int seeksBefore)
{
    if (startClock_.elapsed() > startDeadlineMs_) {
        // The cast plays on from wherever the renderer is.
        startPending_ = false;
        return relTime;
    }
    // Until the start is reached the player shows it, not the renderer's 0:00.
    if (state != Playing || seeksBefore < startSeeks_)
        return currentPosition();
    if (startSeeks_ == 0 || (startSeeks_ == 1 && std::abs(relTime - startSeconds_) > kStartToleranceSeconds)) {
        ++startSeeks_;
        sendSeek(startSeconds_);
        return startSeconds_;
    }
    startPending_ = false;
    return relTime;
}

QString DlnaController::formatHms(double seconds)
{
    const double clamped = std::isfinite(seconds) && seconds > 0.0 ? std::trunc(seconds) : 0.0;
    const qint64 whole = static_cast<qint64>(std::min(clamped, 1.0e15));
    // Built without QLocale so no group separators or native digits creep in.
    return QStringLiteral("%1:%2:%3")
        .arg(QString::number(whole / 3600), QString::number((whole / 60) % 60).rightJustified(2, QLatin1Char('0')),
            QString::number(whole % 60).rightJustified(2, QLatin1Char('0')));
}

std::optional<double> DlnaController::parseHms(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char(':'), Qt::KeepEmptyParts);
    if (parts.size() != 3)
        return 0.0;
    double total = 0.0;
    const double weights[3] = { 3600.0, 60.0, 1.0 };
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        const double value = parts[i].toDouble(&ok);
        if (ok)
            total += value * weights[i];
    }
    return reportedSeconds(total);
}

QString DlnaController::xmlEscape(const QString& text)
{
    QString kept;
    kept.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            kept.append(c);
            kept.append(text.at(++i));
            continue;
        }
        if (allowedInXml(c.unicode()))
            kept.append(c);
    }
    kept.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    kept.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    kept.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    kept.replace(QLatin1Char('"'), QLatin1String("&quot;"));
    return kept;
}

QString DlnaController::urlText(const QUrl& url)
{
    return QString::fromUtf8(url.toEncoded());
}

QString DlnaController::didlMetadata(const LoadRequest& request)
{
    const QString itemClass
        = request.video ? QStringLiteral("object.item.videoItem") : QStringLiteral("object.item.audioItem.musicTrack");
    const QString fourth = request.liveConversion
        ? QStringLiteral("DLNA.ORG_OP=00;DLNA.ORG_CI=1;DLNA.ORG_FLAGS=01700000000000000000000000000000")
        : QStringLiteral("DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000");
    const QString protocolInfo = QStringLiteral("http-get:*:%1:%2").arg(request.contentType, fourth);
    QString res = QStringLiteral("<res protocolInfo=\"%1\"").arg(xmlEscape(protocolInfo));
    if (request.durationSeconds > 0.0)
        res += QStringLiteral(" duration=\"%1.000\"").arg(formatHms(request.durationSeconds));
    res += QStringLiteral(">%1</res>").arg(xmlEscape(urlText(request.url)));
    const QString artist = request.artist.isEmpty()
        ? QString()
        : QStringLiteral("<upnp:artist>%1</upnp:artist>").arg(xmlEscape(request.artist));
    return QStringLiteral("<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" "
                          "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
                          "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\">"
                          "<item id=\"1\" parentID=\"0\" restricted=\"1\"><dc:title>%1</dc:title>%2"
                          "<upnp:class>%3</upnp:class>%4</item></DIDL-Lite>")
        .arg(xmlEscape(request.title), artist, itemClass, res);
}

void DlnaController::soapCall(const QUrl& controlUrl, const QString& service, const QString& action,
    const Arguments& arguments, ReplyHandler handler, bool fatal)
{
    const QString serviceType = QStringLiteral("urn:schemas-upnp-org:service:%1:1").arg(service);
    QString envelope = QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>"
                                      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                                      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">");
    envelope += QStringLiteral("<s:Body><u:%1 xmlns:u=\"%2\">").arg(action, serviceType);
    for (const auto& [name, value] : arguments)
        envelope += QStringLiteral("<%1>%2</%1>").arg(name, xmlEscape(value));
    envelope += QStringLiteral("</u:%1></s:Body></s:Envelope>").arg(action);

    QNetworkRequest request(controlUrl);
    request.setRawHeader("Content-Type", "text/xml; charset=\"utf-8\"");
    request.setRawHeader("SOAPAction", "\"" + (serviceType + QLatin1Char('#') + action).toUtf8() + "\"");
    QNetworkReply* reply = network_.post(request, envelope.toUtf8());
    const quint64 connection = connection_;
    connect(
        reply, &QNetworkReply::finished, this, [this, reply, action, handler = std::move(handler), fatal, connection] {
            if (connection != connection_) {
                reply->deleteLater();
                return;
            }
            handleSoapReply(reply, action, handler, fatal);
        });
}

void DlnaController::handleSoapReply(
    QNetworkReply* reply, const QString& action, const ReplyHandler& handler, bool fatal)
{
    reply->deleteLater();
    const QByteArray body = reply->readAll();

    QXmlStreamReader xml(body);
    int depth = 0;
    int responseDepth = -1;
    QString faultCode;
    QString faultDescription;
    Values values;
    while (!xml.atEnd() && !xml.hasError()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const int elementDepth = depth + 1;
            const QStringView name = xml.name();
            if (name.endsWith(QLatin1String("Response"))) {
                responseDepth = elementDepth;
                depth = elementDepth;
            } else if (name == QLatin1String("errorCode")) {
                faultCode = xml.readElementText();
            } else if (name == QLatin1String("errorDescription")) {
                faultDescription = xml.readElementText();
            } else if (responseDepth > 0 && responseDepth == depth) {
                const QString key = name.toString();
                values.insert(key, xml.readElementText());
            } else {
                depth = elementDepth;
            }
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        }
    }

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() == QNetworkReply::NoError && faultCode.isEmpty()) {
        failedPolls_ = 0;
        if (handler)
            handler(values);
        return;
    }

    QString message = faultCode.isEmpty()
        ? tr("%1 did not answer %2 (%3)").arg(device_.name, action, reply->errorString())
        : tr("%1 refused %2: UPnP error %3 %4").arg(device_.name, action, faultCode, faultDescription);
    if (status != 0)
        message += QStringLiteral(" [HTTP %1]").arg(status);

    if (!fatal && !isPollAction(action)) {
        emit notice(message);
        return;
    }
    if (!fatal) {
        if (++failedPolls_ < kFailedPollsLimit)
            return;
        stopPolling();
    }
    fail(message);
}

void DlnaController::fail(const QString& message)
{
    state_ = Error;
    statusClock_.restart();
    emit statusChanged();
    emit failed(message);
}

} // namespace kvr::ui::cast
