#include "tests/platform/FakePortal.h"

#include <QTimer>

namespace kvr::test {

FakePortal::FakePortal(const QString& connectionName, QObject* parent)
    : QObject(parent)
    , bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName))
{
    bus_.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), this, QDBusConnection::ExportAllSlots);
    registered = bus_.registerService(QStringLiteral("org.freedesktop.portal.Desktop"));
}

FakePortal::~FakePortal()
{
    bus_.unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
    bus_.unregisterObject(QStringLiteral("/org/freedesktop/portal/desktop"));
    QDBusConnection::disconnectFromBus(bus_.name());
}

QDBusObjectPath FakePortal::OpenFile(
    const QString& parent, const QString& titleText, const QVariantMap& opts, const QDBusMessage& call)
{
    return answer(QStringLiteral("OpenFile"), parent, titleText, opts, call);
}

QDBusObjectPath FakePortal::SaveFile(
    const QString& parent, const QString& titleText, const QVariantMap& opts, const QDBusMessage& call)
{
    return answer(QStringLiteral("SaveFile"), parent, titleText, opts, call);
}

QDBusObjectPath FakePortal::answer(const QString& name, const QString& parent, const QString& titleText,
    const QVariantMap& opts, const QDBusMessage& call)
{
    ++questions;
    method = name;
    parentWindow = parent;
    title = titleText;
    options = opts;
    QString sender = call.service().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString path = ownPath ? QStringLiteral("/org/freedesktop/portal/desktop/request/other/1")
                                 : QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                                       .arg(sender, opts.value(QStringLiteral("handle_token")).toString());
    // After the reply: the caller learns the path first, as with the real portal.
    QTimer::singleShot(20, this, [this, path] {
        QDBusMessage signal = QDBusMessage::createSignal(
            path, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
        QVariantMap results;
        if (!uris.isEmpty())
            results.insert(QStringLiteral("uris"), uris);
        signal << response << results;
        bus_.send(signal);
    });
    emit asked();
    return QDBusObjectPath(path);
}

} // namespace kvr::test
