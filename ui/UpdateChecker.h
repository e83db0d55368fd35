#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

class QNetworkAccessManager;
class QNetworkReply;

namespace kvr::ui {

// Asks the release feed whether a newer version than the running one exists and reports the answer to QML.
// It never downloads or installs anything; a check runs only when QML asks for one.
class UpdateChecker : public QObject {
    Q_OBJECT
    QML_ANONYMOUS
    Q_PROPERTY(QString state READ state NOTIFY changed)
    Q_PROPERTY(QString currentVersion READ currentVersion CONSTANT)
    Q_PROPERTY(QString latestVersion READ latestVersion NOTIFY changed)
    Q_PROPERTY(QString releaseNotes READ releaseNotes NOTIFY changed)
    Q_PROPERTY(QString releaseDate READ releaseDate NOTIFY changed)
    Q_PROPERTY(QString error READ error NOTIFY changed)
    Q_PROPERTY(QString lastChecked READ lastChecked NOTIFY changed)

public:
    explicit UpdateChecker(QObject* parent = nullptr);
    ~UpdateChecker() override;

    QString state() const { return state_; }
    QString currentVersion() const;
    QString latestVersion() const { return latestVersion_; }
    QString releaseNotes() const { return releaseNotes_; }
    QString releaseDate() const;
    QString error() const { return error_; }
    QString lastChecked() const;

    // The feed address a check uses: KESTRUNE_UPDATE_FEED when set, else the built-in one.
    static QUrl feedUrl();
    // True when KESTRUNE_UPDATE_FEED is set to something other than blanks.
    static bool hasFeedOverride();

    // Tests shorten the transfer time-out (20 s otherwise).
    void setTransferTimeout(int ms) { transferTimeoutMs_ = ms; }

public slots:
    void check();
    void openDownload();

signals:
    void changed();

private:
    void onReadyRead(QNetworkReply* reply);
    void onRedirected(QNetworkReply* reply, const QUrl& target);
    void onReply(QNetworkReply* reply);
    void setError(const QString& message);

    QNetworkAccessManager* network_ = nullptr;
    QPointer<QNetworkReply> reply_;
    QByteArray body_;
    bool bodyTooLarge_ = false;
    QString refusedRedirect_;
    int transferTimeoutMs_ = 20000;

    QString state_ = QStringLiteral("idle");
    QString latestVersion_;
    QString releaseNotes_;
    QString error_;
    QDateTime releaseDate_;
    QUrl downloadUrl_;
};

// Empty when the address may be used for the feed or a download, else the message to show. Plain HTTP is
// accepted only for an override that points at this machine.
QString checkUpdateUrl(const QUrl& url, bool overrideAllowed);

struct ParsedVersion {
    QList<quint64> numbers; // at least three
    QString suffix; // what follows the first "-", empty for a release
};

ParsedVersion parseVersion(const QString& text);
bool isNewerVersion(const QString& candidate, const QString& current);

} // namespace kvr::ui
