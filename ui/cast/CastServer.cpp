#include "ui/cast/CastServer.h"

#include <QFileInfo>
#include <QList>
#include <QNetworkInterface>
#include <QRandomGenerator>

#include <spdlog/spdlog.h>

#include <utility>

namespace kvr::ui::cast {

namespace {

// Accepting stops when accept fails (typically no file descriptors left); it is tried again after this.
constexpr int kAcceptResumeMs = 100;

} // namespace

CastServer::CastServer(QObject* parent)
    : QObject(parent)
{
    pumpTimer.setInterval(100);
    resumeTimer.setSingleShot(true);
    resumeTimer.setInterval(kAcceptResumeMs);
    connect(&server, &QTcpServer::newConnection, this, &CastServer::onNewConnection);
    // QTcpServer pauses itself when accept fails and never resumes on its own: without this the receiver
    // could fetch nothing more for the rest of the cast.
    connect(&server, &QTcpServer::acceptError, this, &CastServer::onAcceptError);
    connect(&resumeTimer, &QTimer::timeout, this, [this] {
        if (server.isListening())
            server.resumeAccepting();
    });
}

CastServer::~CastServer()
{
    // Each abort emits disconnected at once, whose handler still needs conns: do it before the members go.
    abortAll();
}

bool CastServer::start(const QHostAddress& receiver, QString* error)
{
    QHostAddress candidate;
    const bool loopbackReceiver = receiver.isLoopback();
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& iface : interfaces) {
        if (!iface.flags().testFlag(QNetworkInterface::IsUp))
            continue;
        for (const QNetworkAddressEntry& entry : iface.addressEntries()) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            // No early exit: the last match in enumeration order wins.
            if (loopbackReceiver && ip.isLoopback())
                candidate = ip;
            else if (entry.prefixLength() >= 1 && receiver.isInSubnet(ip, entry.prefixLength()) && !ip.isLoopback())
                candidate = ip;
        }
    }

    if (candidate.isNull()) {
        if (error)
            *error = tr("This computer has no address on the receiver's network (%1)").arg(receiver.toString());
        return false;
    }
    if (server.isListening() && localAddress == candidate)
        return true;

    // Accepted connections stay open; only the listening socket moves.
    server.close();
    resumeTimer.stop();
    if (!server.listen(candidate, 0)) {
        if (error)
            *error = tr("Could not start the media server: %1").arg(server.errorString());
        return false;
    }
    localAddress = candidate;
    return true;
}

QUrl CastServer::publishFile(const QString& path, const QString& mimeType)
{
    Entry entry;
    entry.path = path;
    entry.mimeType = mimeType.isEmpty() ? mimeTypeForExtension(path) : mimeType;
    return publish(std::move(entry), QFileInfo(path).suffix().toLower());
}

QUrl CastServer::publishBytes(const QByteArray& body, const QString& mimeType, const QString& extension)
{
    Entry entry;
    entry.body = body;
    entry.mimeType = mimeType;
    return publish(std::move(entry), extension);
}

QUrl CastServer::publishGrowingFile(
    std::shared_ptr<GrowingFile> file, const QString& mimeType, const QString& extension)
{
    Entry entry;
    if (file)
        entry.path = file->path;
    entry.growing = std::move(file);
    entry.mimeType = mimeType;
    return publish(std::move(entry), extension);
}

QUrl CastServer::publish(Entry entry, const QString& extension)
{
    const QString token = newToken();
    entries.insert(token, std::move(entry));
    return mediaUrl(token, extension);
}

void CastServer::clear()
{
    entries.clear();
    abortAll();
}

void CastServer::abortAll()
{
    // abort() emits disconnected synchronously and its handler erases from conns: walk a snapshot.
    QList<QPointer<QTcpSocket>> sockets;
    sockets.reserve(conns.size());
    for (const auto& conn : std::as_const(conns))
        sockets.append(conn->socket);
    for (const QPointer<QTcpSocket>& socket : std::as_const(sockets)) {
        if (socket)
            socket->abort();
    }
}

QString CastServer::mimeTypeForExtension(const QString& fileName)
{
    static const QHash<QString, QString> table = {
        { QStringLiteral("mp4"), QStringLiteral("video/mp4") },
        { QStringLiteral("m4v"), QStringLiteral("video/mp4") },
        { QStringLiteral("mov"), QStringLiteral("video/quicktime") },
        { QStringLiteral("mkv"), QStringLiteral("video/x-matroska") },
        { QStringLiteral("webm"), QStringLiteral("video/webm") },
        { QStringLiteral("avi"), QStringLiteral("video/x-msvideo") },
        { QStringLiteral("ts"), QStringLiteral("video/mp2t") },
        { QStringLiteral("m2ts"), QStringLiteral("video/mp2t") },
        { QStringLiteral("mpg"), QStringLiteral("video/mpeg") },
        { QStringLiteral("mpeg"), QStringLiteral("video/mpeg") },
        { QStringLiteral("wmv"), QStringLiteral("video/x-ms-wmv") },
        { QStringLiteral("flv"), QStringLiteral("video/x-flv") },
        { QStringLiteral("mp3"), QStringLiteral("audio/mpeg") },
        { QStringLiteral("m4a"), QStringLiteral("audio/mp4") },
        { QStringLiteral("aac"), QStringLiteral("audio/aac") },
        { QStringLiteral("flac"), QStringLiteral("audio/flac") },
        { QStringLiteral("wav"), QStringLiteral("audio/wav") },
        { QStringLiteral("ogg"), QStringLiteral("audio/ogg") },
        { QStringLiteral("oga"), QStringLiteral("audio/ogg") },
        { QStringLiteral("opus"), QStringLiteral("audio/ogg") },
        { QStringLiteral("wma"), QStringLiteral("audio/x-ms-wma") },
        { QStringLiteral("vtt"), QStringLiteral("text/vtt") },
        { QStringLiteral("srt"), QStringLiteral("application/x-subrip") },
    };
    return table.value(QFileInfo(fileName).suffix().toLower(), QStringLiteral("application/octet-stream"));
}

bool CastServer::isLocalAddress(const QHostAddress& peer)
{
    bool ok = false;
    quint32 v4 = peer.toIPv4Address(&ok);
    if (!ok)
        v4 = 0;
    struct Range {
        quint32 network;
        quint32 mask;
    };
    static constexpr Range ranges[] = {
        { 0x0A000000u, 0xFF000000u }, // 10.0.0.0/8
        { 0xAC100000u, 0xFFF00000u }, // 172.16.0.0/12
        { 0xC0A80000u, 0xFFFF0000u }, // 192.168.0.0/16
        { 0xA9FE0000u, 0xFFFF0000u }, // 169.254.0.0/16
    };
    for (const Range& range : ranges) {
        if ((v4 & range.mask) == range.network)
            return true;
    }
    return (v4 >> 24) == 127;
}

QString CastServer::newToken()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(words), sizeof(words)).toHex());
}

QUrl CastServer::mediaUrl(const QString& token, const QString& extension) const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(localAddress.toString());
    url.setPort(server.serverPort());
    url.setPath(QLatin1Char('/') + token + QStringLiteral("/media.") + extension);
    return url;
}

void CastServer::onNewConnection()
{
    while (server.hasPendingConnections()) {
        QTcpSocket* socket = server.nextPendingConnection();
        if (!socket)
            break;
        if (!isLocalAddress(socket->peerAddress())) {
            // Not one byte and no log line for a peer outside the local networks.
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto conn = std::make_shared<Conn>();
        conn->socket = socket;
        conns.insert(socket, conn);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            conns.remove(socket);
            socket->deleteLater();
        });
    }
}

void CastServer::onAcceptError(QAbstractSocket::SocketError)
{
    // One line per pause: QTcpServer stops accepting until resumed.
    ++acceptPauses;
    spdlog::warn("CastServer: accept failed: {}", server.errorString().toStdString());
    resumeTimer.start();
}

void CastServer::logRequest(const QString& line)
{
    emit requestServed(line);
}

} // namespace kvr::ui::cast
