#include "ui/UpdateChecker.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSettings>

namespace kvr::ui {
namespace {

// The organisation names no download server of its own here; a host under the reserved "example" domain can
// never be taken over by someone else. KESTRUNE_UPDATE_FEED points at a real feed.
constexpr auto kBuiltInFeed = "https://updates.kestrune.example/mediaplayer/stable/latest.json";
constexpr auto kFeedVariable = "KESTRUNE_UPDATE_FEED";
constexpr auto kLastCheckKey = "updates/lastCheck";
// A release document is a few hundred bytes; anything this large is not one, and reading on would only
// fill memory.
constexpr qsizetype kMaxBodyBytes = 1024 * 1024;

const QString kChecking = QStringLiteral("checking");
const QString kError = QStringLiteral("error");
const QString kAvailable = QStringLiteral("available");
const QString kCurrent = QStringLiteral("current");

// A decimal integer made of ASCII digits only; anything else, or a value too large to hold, gives 0.
quint64 plainNumber(QStringView text)
{
    if (text.isEmpty())
        return 0;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return 0;
    }
    bool ok = false;
    const quint64 value = text.toULongLong(&ok);
    return ok ? value : 0;
}

bool isLoopbackHost(const QString& host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    QHostAddress address;
    return address.setAddress(host) && address.isLoopback();
}

} // namespace

QString checkUpdateUrl(const QUrl& url, bool overrideAllowed)
{
    if (!url.isValid() || url.host().isEmpty())
        return UpdateChecker::tr("The update address is not valid.");
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return {};
    if (scheme == QLatin1String("http") && overrideAllowed && isLoopbackHost(url.host()))
        return {};
    return UpdateChecker::tr("Updates are only checked over a secure (HTTPS) connection.");
}

ParsedVersion parseVersion(const QString& text)
{
    QString core = text.trimmed();
    if (core.startsWith(u'v') || core.startsWith(u'V'))
        core.remove(0, 1);
    ParsedVersion version;
    const qsizetype dash = core.indexOf(u'-');
    if (dash >= 0) {
        version.suffix = core.mid(dash + 1);
        core.truncate(dash);
    }
    for (QStringView part : QStringView(core).split(u'.'))
        version.numbers.append(plainNumber(part));
    while (version.numbers.size() < 3)
        version.numbers.append(0);
    return version;
}

bool isNewerVersion(const QString& candidate, const QString& current)
{
    const ParsedVersion a = parseVersion(candidate);
    const ParsedVersion b = parseVersion(current);
    const qsizetype count = std::max(a.numbers.size(), b.numbers.size());
    for (qsizetype i = 0; i < count; ++i) {
        const quint64 x = i < a.numbers.size() ? a.numbers[i] : 0;
        const quint64 y = i < b.numbers.size() ? b.numbers[i] : 0;
        if (x != y)
            return x > y;
    }
    // A release is newer than a pre-release of the same numbers, never the reverse.
    if (a.suffix.isEmpty() != b.suffix.isEmpty())
        return a.suffix.isEmpty();
    if (a.suffix == b.suffix)
        return false;
    static const QRegularExpression prefixAndNumber(QStringLiteral("^(\\D*)(\\d*)$"));
    const QRegularExpressionMatch ma = prefixAndNumber.match(a.suffix);
    const QRegularExpressionMatch mb = prefixAndNumber.match(b.suffix);
    if (ma.hasMatch() && mb.hasMatch() && ma.captured(1) == mb.captured(1))
        return plainNumber(ma.capturedView(2)) > plainNumber(mb.capturedView(2));
    return QString::compare(a.suffix, b.suffix, Qt::CaseSensitive) > 0;
}

UpdateChecker::UpdateChecker(QObject* parent)
    : QObject(parent)
    , network_(new QNetworkAccessManager(this))
{
}

UpdateChecker::~UpdateChecker()
{
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
    }
}

QString UpdateChecker::currentVersion() const
{
    return QCoreApplication::applicationVersion();
}

QString UpdateChecker::releaseDate() const
{
    if (!releaseDate_.isValid())
        return {};
    return QLocale::system().toString(releaseDate_.toLocalTime().date(), QLocale::LongFormat);
}

QString UpdateChecker::lastChecked() const
{
    const QVariant value = QSettings().value(QLatin1String(kLastCheckKey));
    if (value.metaType().id() != QMetaType::QDateTime)
        return {};
    const QDateTime when = value.toDateTime();
    if (!when.isValid())
        return {};
    return QLocale::system().toString(when.toLocalTime(), QLocale::ShortFormat);
}

bool UpdateChecker::hasFeedOverride()
{
    return !qEnvironmentVariable(kFeedVariable).trimmed().isEmpty();
}

QUrl UpdateChecker::feedUrl()
{
    const QString feed = qEnvironmentVariable(kFeedVariable).trimmed();
    return QUrl(feed.isEmpty() ? QString::fromLatin1(kBuiltInFeed) : feed, QUrl::TolerantMode);
}

void UpdateChecker::check()
{
    if (state_ == kChecking)
        return;
    const QUrl url = feedUrl();
    const QString refused = checkUpdateUrl(url, hasFeedOverride());
    if (!refused.isEmpty()) {
        setError(refused);
        return;
    }
    state_ = kChecking;
    error_.clear();
    emit changed();

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("KestruneMediaPlayer/%1").arg(currentVersion()));
    // Every redirect target passes the same address rule as the feed itself (onRedirected), so an allowed
    // loopback override cannot be bent towards another host.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setRawHeader("Cache-Control", "no-cache");
    request.setTransferTimeout(transferTimeoutMs_);

    body_.clear();
    bodyTooLarge_ = false;
    refusedRedirect_.clear();
    QNetworkReply* reply = network_->get(request);
    reply_ = reply;
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { onReadyRead(reply); });
    connect(
        reply, &QNetworkReply::redirected, this, [this, reply](const QUrl& target) { onRedirected(reply, target); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onReply(reply); });
}

void UpdateChecker::onReadyRead(QNetworkReply* reply)
{
    if (bodyTooLarge_)
        return;
    body_ += reply->readAll();
    if (body_.size() > kMaxBodyBytes) {
        bodyTooLarge_ = true;
        body_.clear();
        reply->abort();
    }
}

void UpdateChecker::onRedirected(QNetworkReply* reply, const QUrl& target)
{
    const QUrl from = reply->url();
    const QUrl to = from.resolved(target);
    QString refused = checkUpdateUrl(to, hasFeedOverride());
    // Never from HTTPS down to plain HTTP, as the usual no-less-safe policy.
    if (refused.isEmpty() && from.scheme().toLower() == QLatin1String("https")
        && to.scheme().toLower() != QLatin1String("https"))
        refused = tr("Updates are only checked over a secure (HTTPS) connection.");
    if (!refused.isEmpty()) {
        refusedRedirect_ = refused;
        reply->abort();
        return;
    }
    emit reply->redirectAllowed();
}

void UpdateChecker::onReply(QNetworkReply* reply)
{
    reply->deleteLater();
    if (reply_ == reply)
        reply_.clear();

    if (!refusedRedirect_.isEmpty()) {
        setError(refusedRedirect_);
        return;
    }
    // A 404 also carries a network error; it means the feed is simply not published yet.
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 404) {
        setError(tr("No release information has been published yet."));
        return;
    }
    if (!bodyTooLarge_) {
        body_ += reply->readAll();
        bodyTooLarge_ = body_.size() > kMaxBodyBytes;
    }
    if (bodyTooLarge_) {
        body_.clear();
        setError(tr("The update information couldn't be read."));
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        setError(tr("Couldn't reach the update server (%1).").arg(reply->errorString()));
        return;
    }

    const QJsonObject feed = QJsonDocument::fromJson(body_).object();
    body_.clear();
    const QString version = feed.value(QLatin1String("version")).toString().trimmed();
    if (version.isEmpty()) {
        setError(tr("The update information couldn't be read."));
        return;
    }

    QSettings().setValue(QLatin1String(kLastCheckKey), QDateTime::currentDateTimeUtc());
    latestVersion_ = version;
    releaseNotes_ = feed.value(QLatin1String("notes")).toString();
    releaseDate_ = QDateTime::fromString(feed.value(QLatin1String("date")).toString(), Qt::ISODate);
    downloadUrl_ = QUrl(feed.value(QLatin1String("url")).toString(), QUrl::TolerantMode);

    if (isNewerVersion(version, currentVersion())) {
        const QString refused = checkUpdateUrl(downloadUrl_, hasFeedOverride());
        if (!refused.isEmpty()) {
            setError(refused);
            return;
        }
        state_ = kAvailable;
    } else {
        state_ = kCurrent;
    }
    emit changed();
}

void UpdateChecker::setError(const QString& message)
{
    state_ = kError;
    error_ = message;
    emit changed();
}

void UpdateChecker::openDownload()
{
    if (state_ == kAvailable && downloadUrl_.isValid())
        QDesktopServices::openUrl(downloadUrl_);
}

} // namespace kvr::ui
