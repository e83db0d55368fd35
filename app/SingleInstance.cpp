#include "app/SingleInstance.h"

#include "engine/PrivateDirectory.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>

namespace kvr::app {
namespace {

// How long a process that cannot take the lock keeps trying to reach its holder, which may still be between
// taking the lock and listening.
constexpr int kReachHolderMs = 5000;
constexpr int kProbeMs = 200;
constexpr int kRetryPauseMs = 20;

QString privateDir()
{
    try {
        const auto dir = engine::privateDirectory();
        return dir.empty() ? QString() : QFile::decodeName(dir.native().c_str());
    } catch (...) {
        return {};
    }
}

bool answers(const QString& path)
{
    QLocalSocket probe;
    probe.connectToServer(path, QIODevice::ReadWrite);
    if (!probe.waitForConnected(kProbeMs))
        return false;
    probe.disconnectFromServer();
    return true;
}

} // namespace

SingleInstance::SingleInstance(QObject* parent)
    : QObject(parent)
{
}

SingleInstance::~SingleInstance()
{
    delete server;
    server = nullptr;
}

QString SingleInstance::serverName()
{
    QString user = qEnvironmentVariable("USERNAME");
    if (user.isEmpty())
        user = qEnvironmentVariable("USER");
    if (user.isEmpty())
        user = QStringLiteral("user");
    // The name becomes a file name: keep it to one harmless path component.
    for (QChar& c : user) {
        const bool safe = c.unicode() < 0x80 && (c.isLetterOrNumber() || c == u'.' || c == u'_' || c == u'-');
        if (!safe)
            c = u'_';
    }
    return QStringLiteral("KestruneMediaPlayer-%1").arg(user);
}

QString SingleInstance::socketPath()
{
    const QString dir = privateDir();
    return dir.isEmpty() ? QString() : dir + u'/' + serverName();
}

QStringList SingleInstance::parseMessage(const QByteArray& bytes)
{
    QStringList entries;
    for (const QByteArray& piece : bytes.split('\n')) {
        const qsizetype tab = piece.indexOf('\t');
        if (piece.isEmpty() || tab < 0)
            continue;
        if (piece.left(tab) != "OPEN")
            continue;
        const QByteArray value = piece.mid(tab + 1);
        if (value.isEmpty())
            continue;
        entries.append(QString::fromUtf8(value));
    }
    return entries;
}

bool SingleInstance::tryBecomePrimary()
{
    const QString path = socketPath();
    if (path.isEmpty()) {
        qWarning("SingleInstance: no private directory; running without the single-instance channel");
        return true;
    }
    if (!lock) {
        lock = std::make_unique<QLockFile>(path + QStringLiteral(".lock"));
        // The primary holds the lock for its whole run: only a dead holder makes it stale, never its age.
        lock->setStaleLockTime(0);
    }
    const QDeadlineTimer deadline(kReachHolderMs);
    for (;;) {
        if (lock->tryLock(0))
            return listenAsPrimary();
        if (lock->error() == QLockFile::PermissionError || lock->error() == QLockFile::UnknownError) {
            qWarning("SingleInstance: cannot take the lock %s; running without the single-instance channel",
                qPrintable(lock->fileName()));
            return true;
        }
        if (answers(path))
            return false;
        if (deadline.hasExpired())
            break;
        QThread::msleep(kRetryPauseMs);
    }
    // Someone holds the lock but never answers (hung, or running without a channel): starting anyway is better
    // than a launch that silently does nothing.
    qWarning("SingleInstance: the running instance does not answer; running without the single-instance channel");
    return true;
}

bool SingleInstance::listenAsPrimary()
{
    const QString path = socketPath();
    // Holding the lock, a socket that still answers belongs to an instance that does not use the lock; leave it be.
    if (answers(path)) {
        lock->unlock();
        return false;
    }
    // Only now is a left-over socket file known to be stale: removing it earlier could cut off a live primary.
    QLocalServer::removeServer(path);
    delete server;
    server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(path)) {
        qWarning("SingleInstance: cannot listen on %s: %s; running without the single-instance channel",
            qPrintable(path), qPrintable(server->errorString()));
        delete server;
        server = nullptr;
        return true;
    }
    connect(server, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
    return true;
}

bool SingleInstance::isListening() const
{
    return server && server->isListening();
}

bool SingleInstance::sendToPrimary(const QStringList& entries, int timeoutMs)
{
    if (entries.isEmpty())
        return true;
    const QString path = socketPath();
    if (path.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(path, QIODevice::ReadWrite);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    QByteArray bytes;
    for (const QString& entry : entries)
        bytes += "OPEN\t" + entry.toUtf8() + '\n';
    socket.write(bytes);
    socket.waitForBytesWritten(timeoutMs);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(timeoutMs);
    return true;
}

void SingleInstance::onNewConnection()
{
    if (!server)
        return;
    while (QLocalSocket* socket = server->nextPendingConnection()) {
        socket->waitForReadyRead(500);
        QByteArray bytes = socket->readAll();
        while (socket->waitForReadyRead(50))
            bytes += socket->readAll();
        bytes += socket->readAll();
        const QStringList entries = parseMessage(bytes);
        socket->disconnectFromServer();
        socket->deleteLater();
        if (!entries.isEmpty())
            emit filesReceived(entries);
    }
}

} // namespace kvr::app
