#include "ui/cast/CastServer.h"

#include "ui/cast/ByteRange.h"

#include <QFileInfo>
#include <QList>
#include <QNetworkInterface>
#include <QRandomGenerator>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <utility>

namespace kvr::ui::cast {

namespace {

// Accepting stops when accept fails (typically no file descriptors left); it is tried again after this.
constexpr int kAcceptResumeMs = 100;
// Bytes of request head kept; one more aborts the connection.
constexpr qsizetype kMaxRequest = 16384;
// The pump reads and writes at most this much at a time, and only while the socket queues less than kMaxQueued.
constexpr qint64 kChunkBytes = 262144;
constexpr qint64 kMaxQueued = 2097152;

const QByteArray kFeaturesFinal
    = QByteArrayLiteral("DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000");
const QByteArray kFeaturesStreaming
    = QByteArrayLiteral("DLNA.ORG_OP=00;DLNA.ORG_CI=1;DLNA.ORG_FLAGS=01700000000000000000000000000000");

void respondOptions(QTcpSocket& socket)
{
    socket.write("HTTP/1.1 204 No Content\r\n"
                 "Access-Control-Allow-Origin: *\r\n"
                 "Access-Control-Allow-Methods: GET, HEAD, OPTIONS\r\n"
                 "Access-Control-Allow-Headers: Range, Content-Type\r\n"
                 "Content-Length: 0\r\n"
                 "Connection: close\r\n"
                 "\r\n");
    socket.disconnectFromHost();
}

void respondUnsatisfiable(QTcpSocket& socket, qint64 size)
{
    socket.write("HTTP/1.1 416 Range Not Satisfiable\r\n"
                 "Content-Range: bytes */"
        + QByteArray::number(size)
        + "\r\n"
          "Content-Length: 0\r\n"
          "Connection: close\r\n"
          "\r\n");
    socket.disconnectFromHost();
}

// The head of a 200 or 206 answer; size is -1 while a growing file is unfinished. featuresAsked: the request
// asked for the DLNA content features.
QByteArray responseHead(const QString& mimeType, const ByteRange& range, qint64 size, bool featuresAsked)
{
    const QByteArray mime = mimeType.toLatin1();
    const bool text = mime.startsWith("text/");
    QByteArray head;
    head.reserve(512);
    head += range.partial ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
    head += "Content-Type: " + mime + "\r\n";
    if (size >= 0) {
        head += "Content-Length: " + QByteArray::number(range.lastByte - range.start + 1) + "\r\n";
        if (range.partial)
            head += "Content-Range: bytes " + QByteArray::number(range.start) + '-' + QByteArray::number(range.lastByte)
                + '/' + QByteArray::number(size) + "\r\n";
    }
    head += size >= 1 ? "Accept-Ranges: bytes\r\n" : "Accept-Ranges: none\r\n";
    head += "Access-Control-Allow-Origin: *\r\n";
    head += text ? "transferMode.dlna.org: Interactive\r\n" : "transferMode.dlna.org: Streaming\r\n";
    if (featuresAsked || !text)
        head += "contentFeatures.dlna.org: " + (size >= 1 ? kFeaturesFinal : kFeaturesStreaming) + "\r\n";
    head += "Cache-Control: no-cache\r\n"
            "Connection: close\r\n"
            "Server: KestruneMediaPlayer/1.0 UPnP/1.0 DLNADOC/1.50\r\n"
            "\r\n";
    return head;
}

// The log line of an answered request: method, the target's name after its token, peer, status and range.
QString servedLine(const QByteArray& method, const QByteArray& target, const QString& peer, const ByteRange& range)
{
    const QString bytes
        = range.partial ? QStringLiteral(" (bytes %1-%2)").arg(range.start).arg(range.lastByte) : QString();
    return QStringLiteral("%1 %2 %3 -> %4%5")
        .arg(CastServer::loggable(method), CastServer::loggable(target.split('/').mid(2).join('/')), peer,
            range.partial ? QStringLiteral("206") : QStringLiteral("200"), bytes);
}

} // namespace

CastServer::CastServer(QObject* parent)
    : QObject(parent)
{
    pumpTimer.setInterval(100);
    connect(&pumpTimer, &QTimer::timeout, this, &CastServer::pumpWaiting);
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
    if (server.isListening() && localAddress == candidate) {
        receiver_ = receiver;
        return true;
    }

    // Accepted connections stay open; only the listening socket moves.
    server.close();
    resumeTimer.stop();
    if (!server.listen(candidate, 0)) {
        if (error)
            *error = tr("Could not start the media server: %1").arg(server.errorString());
        return false;
    }
    localAddress = candidate;
    receiver_ = receiver;
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

QString CastServer::loggable(const QByteArray& text)
{
    // The requester chooses these bytes: nothing it sends may forge or break up a line of the log, or flood it.
    QString out;
    out.reserve(std::min<qsizetype>(text.size(), kMaxLoggedField));
    for (qsizetype i = 0; i < text.size(); ++i) {
        const uchar c = uchar(text.at(i));
        QString piece;
        if (c == '\\')
            piece = QStringLiteral("\\\\");
        else if (c < 0x20 || (c >= 0x7f && c <= 0x9f))
            piece = QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        else
            piece = QChar(c);
        // What is cut is marked, and the mark still fits.
        const bool last = i + 1 == text.size();
        if (out.size() + piece.size() > kMaxLoggedField - (last ? 0 : 1)) {
            out += QChar(0x2026);
            break;
        }
        out += piece;
    }
    return out;
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
    bool receiverOk = false;
    const quint32 receiverV4 = receiver_.toIPv4Address(&receiverOk);
    while (server.hasPendingConnections()) {
        QTcpSocket* socket = server.nextPendingConnection();
        if (!socket)
            break;
        const QHostAddress peerAddress = socket->peerAddress();
        if (!isLocalAddress(peerAddress)) {
            // Not one byte and no log line for a peer outside the local networks.
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const quint32 peer = peerAddress.toIPv4Address();
        const bool fromReceiver = receiverOk && peer == receiverV4;
        bool refuse = false;
        if (!fromReceiver) {
            int held = 0;
            for (const auto& conn : std::as_const(conns))
                held += conn->peer == peer ? 1 : 0;
            refuse = held >= kMaxConnectionsPerPeer;
        }
        // A receiver never needs this many, and a crowd must not exhaust descriptors; but a crowd of strangers
        // must not lock the receiver out of its own media either.
        if (!refuse && conns.size() >= kMaxConnections)
            refuse = !fromReceiver || !evictForReceiver();
        if (refuse) {
            // Cut like a refused peer.
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto conn = std::make_shared<Conn>();
        conn->socket = socket;
        conn->peer = peer;
        conn->serial = nextSerial++;
        conns.insert(socket, conn);
        peakConnections = std::max(peakConnections, int(conns.size()));
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
            if (const std::shared_ptr<Conn> found = conns.value(socket))
                pump(found);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            conns.remove(socket);
            socket->deleteLater();
        });
        // A peer that never finishes its head would hold its slot for good. One timer per connection, owned by
        // the socket: it is stopped once the head is in and freed with the socket, so a burst of short
        // connections leaves no timers running on behind it.
        conn->headTimer = new QTimer(socket);
        conn->headTimer->setSingleShot(true);
        connect(conn->headTimer, &QTimer::timeout, socket, [this, socket] {
            const std::shared_ptr<Conn> found = conns.value(socket);
            if (found && !found->headHandled)
                socket->abort();
        });
        conn->headTimer->start(headTimeoutMs);
    }
}

bool CastServer::evictForReceiver()
{
    bool receiverOk = false;
    const quint32 receiverV4 = receiver_.toIPv4Address(&receiverOk);
    std::shared_ptr<Conn> oldest;
    for (const auto& conn : std::as_const(conns)) {
        if (conn->headHandled || (receiverOk && conn->peer == receiverV4) || !conn->socket)
            continue;
        if (!oldest || conn->serial < oldest->serial)
            oldest = conn;
    }
    if (!oldest)
        return false;
    // Out of conns first: abort emits disconnected at once only for a connected socket.
    QTcpSocket* socket = oldest->socket;
    conns.remove(socket);
    socket->abort();
    socket->deleteLater();
    return true;
}

void CastServer::onAcceptError(QAbstractSocket::SocketError)
{
    // One line per pause: QTcpServer stops accepting until resumed.
    ++acceptPauses;
    spdlog::warn("CastServer: accept failed: {}", server.errorString().toStdString());
    resumeTimer.start();
}

void CastServer::onReadyRead(QTcpSocket* socket)
{
    // Held here: an abort or a close emits disconnected at once, whose handler drops the Conn from conns.
    const std::shared_ptr<Conn> conn = conns.value(socket);
    if (!conn)
        return;
    conn->request.append(socket->readAll());
    if (conn->request.size() > kMaxRequest) {
        socket->abort();
        return;
    }
    const qsizetype end = conn->request.indexOf("\r\n\r\n");
    if (end < 0 || conn->responding || conn->headHandled)
        return;
    const QByteArray head = conn->request.left(end);
    conn->request.remove(0, end + 4);
    conn->headHandled = true;
    if (conn->headTimer)
        conn->headTimer->stop();

    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> parts = lines.constFirst().trimmed().split(' ');
    const QByteArray method = parts.value(0);
    const QByteArray target = parts.value(1);
    QHash<QByteArray, QByteArray> headers;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    handleRequest(conn, method, target, headers);
}

void CastServer::handleRequest(const std::shared_ptr<Conn>& conn, const QByteArray& method, const QByteArray& target,
    const QHash<QByteArray, QByteArray>& headers)
{
    QTcpSocket* socket = conn->socket;
    if (!socket)
        return;
    if (method == "OPTIONS") {
        respondOptions(*socket);
        return;
    }
    if (method != "GET" && method != "HEAD") {
        respondStatus(conn, method, 405, "Method Not Allowed");
        return;
    }
    // Only the token selects what is served; nothing else of the target is looked at, let alone opened.
    const QString token = QString::fromLatin1(target).section(QLatin1Char('/'), 1, 1);
    const auto found = entries.constFind(token);
    if (found == entries.cend()) {
        respondStatus(conn, method, 404, "Not Found");
        return;
    }
    conn->entry = *found;
    const Entry& entry = conn->entry;
    qint64 size = -1;
    if (!openBody(conn, method, size))
        return;

    const qint64 written = entry.growing ? entry.growing->writtenBytes() : size;
    const ByteRange range = resolveByteRange(headers.value("range"), size, bool(entry.growing), written);
    if (range.unsatisfiable) {
        respondUnsatisfiable(*socket, size);
        return;
    }
    conn->position = range.start;
    conn->lastByte = range.lastByte;
    socket->write(responseHead(entry.mimeType, range, size, headers.contains("getcontentfeatures.dlna.org")));
    conn->responding = true;
    logRequest(servedLine(method, target, socket->peerAddress().toString(), range));

    if (method == "HEAD")
        socket->disconnectFromHost();
    else
        pump(conn);
}

bool CastServer::openBody(const std::shared_ptr<Conn>& conn, const QByteArray& method, qint64& size)
{
    const Entry& entry = conn->entry;
    if (!entry.body.isEmpty()) {
        size = entry.body.size();
        return true;
    }
    conn->file = std::make_unique<QFile>(entry.path);
    if (!conn->file->open(QIODevice::ReadOnly)) {
        if (entry.growing)
            respondStatus(conn, method, 503, "Service Unavailable");
        else
            respondStatus(conn, method, 404, "Not Found");
        return false;
    }
    if (entry.growing)
        size = entry.growing->isFinished() ? entry.growing->writtenBytes() : -1;
    else
        size = conn->file->size();
    return true;
}

void CastServer::respondStatus(
    const std::shared_ptr<Conn>& conn, const QByteArray& method, int code, const char* reason)
{
    QTcpSocket* socket = conn->socket;
    if (!socket)
        return;
    socket->write("HTTP/1.1 " + QByteArray::number(code) + ' ' + reason
        + "\r\n"
          "Content-Length: 0\r\n"
          "Connection: close\r\n"
          "\r\n");
    const QString peer = socket->peerAddress().toString();
    socket->disconnectFromHost();
    // One multi-argument call: a method text holding "%1" must not be filled in by a later arg().
    logRequest(QStringLiteral("%1 %2 -> %3").arg(loggable(method), peer, QString::number(code)));
}

void CastServer::pump(const std::shared_ptr<Conn>& conn)
{
    QTcpSocket* socket = conn->socket;
    if (!socket || !conn->responding || socket->state() != QAbstractSocket::ConnectedState
        || socket->bytesToWrite() >= kMaxQueued)
        return;
    const Entry& entry = conn->entry;
    for (;;) {
        qint64 n = kChunkBytes;
        if (conn->lastByte >= 0) {
            if (conn->position > conn->lastByte) {
                socket->disconnectFromHost();
                return;
            }
            n = std::min(n, conn->lastByte - conn->position + 1);
        }

        qint64 got = 0;
        if (!entry.body.isEmpty()) {
            got = std::clamp<qint64>(entry.body.size() - conn->position, 0, n);
            if (got > 0)
                socket->write(entry.body.constData() + conn->position, got);
        } else {
            if (entry.growing) {
                // The end flags first, then the count: once the file is finished the count read after is
                // final, so no byte written just before the end is mistaken for missing.
                const bool ended = entry.growing->isFinished() || entry.growing->hasFailed();
                const qint64 available = entry.growing->writtenBytes() - conn->position;
                if (available <= 0) {
                    if (ended)
                        socket->disconnectFromHost();
                    else if (!pumpTimer.isActive())
                        pumpTimer.start();
                    return;
                }
                n = std::min(n, available);
            }
            if (!conn->file->seek(conn->position)) {
                socket->abort();
                return;
            }
            if (chunk.size() < kChunkBytes)
                chunk.resize(kChunkBytes);
            got = std::max<qint64>(conn->file->read(chunk.data(), n), 0);
            if (got > 0)
                socket->write(chunk.constData(), got);
        }
        if (got == 0) {
            // End of the data, or a read error: the receiver keeps what it was sent.
            socket->disconnectFromHost();
            return;
        }
        conn->position += got;
        if (socket->bytesToWrite() >= kMaxQueued)
            return;
    }
}

void CastServer::pumpWaiting()
{
    QList<std::shared_ptr<Conn>> streaming;
    for (const auto& conn : std::as_const(conns)) {
        if (conn->entry.growing && conn->responding)
            streaming.append(conn);
    }
    if (streaming.isEmpty()) {
        pumpTimer.stop();
        return;
    }
    // pump may drop a Conn from conns (a close that disconnects at once): walk the copies.
    for (const auto& conn : std::as_const(streaming))
        pump(conn);
}

void CastServer::logRequest(const QString& line)
{
    emit requestServed(line);
}

} // namespace kvr::ui::cast
