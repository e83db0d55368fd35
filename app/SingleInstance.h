#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QLocalServer;
class QLockFile;

namespace kvr::app {

// At most one player per user: the first process becomes the primary and listens on a per-user local socket;
// later processes hand their files over on it and exit.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // "KestruneMediaPlayer-<user>" (USERNAME, else USER, else "user"), made safe as a file name.
    static QString serverName();

    // The socket's full path in the private per-user directory; empty when there is no such directory.
    static QString socketPath();

    // The entries of one hand-over: "OPEN\t<entry>" lines; other keys, empty entries and lines without a tab
    // are skipped.
    static QStringList parseMessage(const QByteArray& bytes);

    // True when this process is now the primary (with or without a channel); false when another one runs and
    // answered.
    bool tryBecomePrimary();

    // Hands the entries to the primary; false only when it could not connect within the time-out.
    bool sendToPrimary(const QStringList& entries, int timeoutMs);

    bool isListening() const;

signals:
    void filesReceived(const QStringList& paths);

private slots:
    void onNewConnection();

private:
    bool listenAsPrimary();

    QLocalServer* server = nullptr;
    std::unique_ptr<QLockFile> lock;
};

} // namespace kvr::app
