#include "platform/FileChooserPortal.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QUrl>
#include <QWindow>

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString chooserInterface = QStringLiteral("org.freedesktop.portal.FileChooser");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");

// One pattern of a filter as the portal takes it: type 0 is a glob, 1 a MIME type.
struct FilterRule {
    uint type = 0;
    QString pattern;
};

struct Filter {
    QString name;
    QList<FilterRule> rules;
};

} // namespace

Q_DECLARE_METATYPE(FilterRule)
Q_DECLARE_METATYPE(Filter)

namespace {

QDBusArgument& operator<<(QDBusArgument& argument, const FilterRule& rule)
{
    argument.beginStructure();
    argument << rule.type << rule.pattern;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, FilterRule& rule)
{
    argument.beginStructure();
    argument >> rule.type >> rule.pattern;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const Filter& filter)
{
    argument.beginStructure();
    argument << filter.name << filter.rules;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, Filter& filter)
{
    argument.beginStructure();
    argument >> filter.name >> filter.rules;
    argument.endStructure();
    return argument;
}

void registerTypes()
{
    static const bool done = [] {
        qDBusRegisterMetaType<FilterRule>();
        qDBusRegisterMetaType<QList<FilterRule>>();
        qDBusRegisterMetaType<Filter>();
        qDBusRegisterMetaType<QList<Filter>>();
        return true;
    }();
    (void)done;
}

// The portal names a window by its windowing system's handle; an empty text when there is none to give.
QString parentWindowId(const QVariant& value)
{
    auto* window = qobject_cast<QWindow*>(value.value<QObject*>());
    if (!window || QGuiApplication::platformName() != QLatin1String("xcb"))
        return {};
    return QStringLiteral("x11:%1").arg(window->winId(), 0, 16);
}

} // namespace

namespace kvr::platform {

void splitNameFilter(const QString& filter, QString* name, QStringList* patterns)
{
    static const QRegularExpression withPatterns(QStringLiteral("^(.*?)\\s*\\(([^()]*)\\)\\s*$"));
    const QRegularExpressionMatch match = withPatterns.match(filter);
    if (match.hasMatch()) {
        *name = match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
        *patterns = match.captured(2).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    } else {
        *name = filter;
        patterns->clear();
    }
    if (patterns->isEmpty())
        *patterns = QStringList { QStringLiteral("*") };
}

FileChooserPortal::FileChooserPortal(QObject* parent)
    : QObject(parent)
{
    registerTypes();
}

FileChooserPortal::~FileChooserPortal()
{
    forget();
}

bool FileChooserPortal::ask(const QVariantMap& options)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (busy() || !bus.isConnected())
        return false;

    static uint counter = 0;
    const QString token = QStringLiteral("kestrune%1").arg(++counter);
    // Where the portal will answer: listening before asking, so no answer can come before we listen.
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    listen(QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token));

    const QString mode = options.value(QStringLiteral("mode")).toString();
    const bool save = mode == QLatin1String("save");
    QVariantMap portalOptions;
    portalOptions.insert(QStringLiteral("handle_token"), token);
    portalOptions.insert(QStringLiteral("modal"), true);
    const QString acceptLabel = options.value(QStringLiteral("acceptLabel")).toString();
    if (!acceptLabel.isEmpty())
        portalOptions.insert(QStringLiteral("accept_label"), acceptLabel);
    if (!save) {
        portalOptions.insert(QStringLiteral("multiple"), mode == QLatin1String("openMany"));
        portalOptions.insert(QStringLiteral("directory"), mode == QLatin1String("folder"));
    }
    QList<Filter> filters;
    for (const QString& text : options.value(QStringLiteral("nameFilters")).toStringList()) {
        Filter filter;
        QStringList patterns;
        splitNameFilter(text, &filter.name, &patterns);
        for (const QString& pattern : patterns)
            filter.rules.append(FilterRule { 0, pattern });
        filters.append(filter);
    }
    if (!filters.isEmpty()) {
        portalOptions.insert(QStringLiteral("filters"), QVariant::fromValue(filters));
        portalOptions.insert(QStringLiteral("current_filter"), QVariant::fromValue(filters.first()));
    }
    const QString currentName = options.value(QStringLiteral("currentName")).toString();
    if (save && !currentName.isEmpty())
        portalOptions.insert(QStringLiteral("current_name"), currentName);
    const QUrl folder = options.value(QStringLiteral("currentFolder")).toUrl();
    if (folder.isLocalFile()) {
        // A byte string ending in NUL: paths are bytes, not text.
        QByteArray bytes = QFile::encodeName(folder.toLocalFile());
        bytes.append('\0');
        portalOptions.insert(QStringLiteral("current_folder"), bytes);
    }

    QDBusMessage call = QDBusMessage::createMethodCall(
        portalService, portalPath, chooserInterface, save ? QStringLiteral("SaveFile") : QStringLiteral("OpenFile"));
    call << parentWindowId(options.value(QStringLiteral("window"))) << options.value(QStringLiteral("title")).toString()
         << portalOptions;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *done;
        if (!busy())
            return;
        if (reply.isError()) {
            forget();
            emit unavailable(reply.error().message());
            return;
        }
        // An older portal answers on a path of its own choosing.
        const QString path = reply.value().path();
        if (path != requestPath_) {
            forget();
            listen(path);
        }
    });
    return true;
}

void FileChooserPortal::listen(const QString& path)
{
    requestPath_ = path;
    // Any sender: the path holds our own bus name and token, and the portal answers from its unique name.
    QDBusConnection::sessionBus().connect(
        QString(), path, requestInterface, QStringLiteral("Response"), this, SLOT(onResponse(uint, QVariantMap)));
    emit busyChanged();
}

void FileChooserPortal::forget()
{
    if (requestPath_.isEmpty())
        return;
    QDBusConnection::sessionBus().disconnect(QString(), requestPath_, requestInterface, QStringLiteral("Response"),
        this, SLOT(onResponse(uint, QVariantMap)));
    requestPath_.clear();
    emit busyChanged();
}

void FileChooserPortal::onResponse(uint response, const QVariantMap& results)
{
    forget();
    QStringList urls;
    const QVariant uris = results.value(QStringLiteral("uris"));
    if (response == 0 && uris.metaType() == QMetaType::fromType<QDBusArgument>())
        uris.value<QDBusArgument>() >> urls;
    else if (response == 0)
        urls = uris.toStringList();
    // 1 is a cancel, 2 an interaction that ended otherwise: either way nothing was chosen.
    emit finished(response == 0 && !urls.isEmpty(), urls);
}

} // namespace kvr::platform
