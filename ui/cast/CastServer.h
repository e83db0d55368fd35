#pragma once

#include "ui/cast/GrowingFile.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace kvr::ui::cast {

// The small HTTP server a cast receiver fetches its media from. It listens on this computer's IPv4 address in
// the receiver's subnet and serves only what was published: the random token in the URL is the only key, and
// nothing in a request's path ever reaches the file system. Peers outside the local networks are cut off at
// once. GUI thread only.
class CastServer : public QObject {
    Q_OBJECT

public:
    // One published medium. Its kind follows from the fields, in this order: a non-empty body is served from
    // memory, a set growing file is served while it grows, anything else is a file on disk.
    struct Entry {
        QString path;
        QByteArray body;
        std::shared_ptr<GrowingFile> growing;
        QString mimeType;
    };

    // One accepted connection; held only by conns.
    struct Conn {
        QPointer<QTcpSocket> socket;
        QByteArray request;
        std::unique_ptr<QFile> file;
        // A copy, taken when the request is handled: it keeps a growing file alive after clear.
        Entry entry;
        qint64 position = 0;
        // -1: up to the end.
        qint64 lastByte = -1;
        bool responding = false;
        // A head has been handled (answered or streaming): later heads on the connection are ignored.
        bool headHandled = false;
        // The peer's IPv4 address, for the per-peer cap and the receiver's reserved slot.
        quint32 peer = 0;
        // Accept order: the oldest unfinished head from a stranger makes room for the receiver.
        quint64 serial = 0;
        // Cuts a peer whose head is still incomplete; a child of the socket, so it goes with it.
        QTimer* headTimer = nullptr;
    };

    // A receiver opens only a few connections; each one holds a socket, a file and up to 2.25 MiB of queue, so
    // a crowd of peers is cut off beyond this many.
    static constexpr int kMaxConnections = 64;
    // A peer that has not sent a complete request head this long after being accepted is cut off.
    static constexpr int kHeadTimeoutMs = 10000;
    // Connections one address may hold at once (the receiver is exempt): a single host cannot take every slot.
    static constexpr int kMaxConnectionsPerPeer = 8;
    // Requester-chosen text (method, target) is cut to this many characters in a log line.
    static constexpr int kMaxLoggedField = 200;

    explicit CastServer(QObject* parent = nullptr);
    ~CastServer() override;

    // Listens on the local address in the receiver's network (the last match in interface order wins), on a
    // port the system chooses. Listening already on that address keeps port, entries and connections. On
    // failure writes a sentence through error (when not null) and leaves everything as it was. On success the
    // receiver's address is the one peer that is never capped and always finds a slot.
    bool start(const QHostAddress& receiver, QString* error = nullptr);

    // An empty MIME type is taken from the path's suffix, which also becomes the URL's extension.
    QUrl publishFile(const QString& path, const QString& mimeType);
    QUrl publishBytes(const QByteArray& body, const QString& mimeType, const QString& extension);
    QUrl publishGrowingFile(std::shared_ptr<GrowingFile> file, const QString& mimeType, const QString& extension);
    // Drops every entry and aborts every open connection; keeps listening where it listens.
    void clear();

    static QString mimeTypeForExtension(const QString& fileName);
    // Private IPv4 ranges, link-local and IPv4 loopback; any other IPv6 address (::1 too) is refused.
    static bool isLocalAddress(const QHostAddress& peer);
    // 16 random bytes from the system's generator, as 32 lower-case hex digits.
    static QString newToken();
    // text for a log line: control characters and backslashes escaped, cut to kMaxLoggedField characters.
    static QString loggable(const QByteArray& text);
    QUrl mediaUrl(const QString& token, const QString& extension) const;

    bool isListening() const { return server.isListening(); }
    QHostAddress listenAddress() const { return localAddress; }
    QHostAddress receiverAddress() const { return receiver_; }
    quint16 port() const { return server.serverPort(); }
    int entryCount() const { return int(entries.size()); }
    bool hasEntry(const QString& token) const { return entries.contains(token); }
    Entry entry(const QString& token) const { return entries.value(token); }
    int connectionCount() const { return int(conns.size()); }
    QList<QTcpSocket*> connectionSockets() const { return conns.keys(); }
    // How often accepting was paused by a failed accept.
    int acceptPauseCount() const { return acceptPauses; }
    // The most connections held at one time since construction.
    int peakConnectionCount() const { return peakConnections; }
    // For tests: a shorter time allowed for a request head.
    void setHeadTimeout(int ms) { headTimeoutMs = ms; }

signals:
    // One line per logged request.
    void requestServed(QString line);

private slots:
    void onNewConnection();

private:
    QUrl publish(Entry entry, const QString& extension);
    void onAcceptError(QAbstractSocket::SocketError error);
    void onReadyRead(QTcpSocket* socket);
    void handleRequest(const std::shared_ptr<Conn>& conn, const QByteArray& method, const QByteArray& target,
        const QHash<QByteArray, QByteArray>& headers);
    // Opens what the connection's entry serves and sets size (-1 while a growing file is unfinished); when the
    // file cannot be opened, answers 503 (growing) or 404 and returns false.
    bool openBody(const std::shared_ptr<Conn>& conn, const QByteArray& method, qint64& size);
    void respondStatus(const std::shared_ptr<Conn>& conn, const QByteArray& method, int code, const char* reason);
    void pump(const std::shared_ptr<Conn>& conn);
    void pumpWaiting();
    void abortAll();
    // Makes room for the receiver when every slot is taken: aborts the oldest connection of another peer whose
    // head is still incomplete. False when there is none.
    bool evictForReceiver();
    void logRequest(const QString& line);

    QTcpServer server;
    QHostAddress localAddress;
    QHostAddress receiver_;
    QHash<QString, Entry> entries;
    QHash<QTcpSocket*, std::shared_ptr<Conn>> conns;
    QTimer pumpTimer;
    // Accepting paused after a failed accept (no file descriptors left); resumed once the delay is over.
    QTimer resumeTimer;
    int acceptPauses = 0;
    int peakConnections = 0;
    int headTimeoutMs = kHeadTimeoutMs;
    quint64 nextSerial = 0;
    // The pump's one read buffer, reused for every chunk of every connection.
    QByteArray chunk;
};

} // namespace kvr::ui::cast
