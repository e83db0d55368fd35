// Small helpers shared by the cast session's tests (fixturePath comes with the test player).
#pragma once

#include "tests/ui/bridge/BridgeTestPlayer.h"
#include "ui/cast/CastSession.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QUrl>

namespace kvr::test {

// A loopback port where nothing listens: connections to it are refused.
inline quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The session's diagnostics without their "HH:mm:ss  " time stamps.
inline QStringList diagnosticTexts(const ui::cast::CastSession& cast)
{
    QStringList texts;
    for (const QString& line : cast.diagnostics())
        texts << line.mid(10);
    return texts;
}

inline QString lastDiagnostic(const ui::cast::CastSession& cast)
{
    return cast.diagnostics().isEmpty() ? QString() : cast.diagnostics().last().mid(10);
}

// The description of a renderer named "Loft" that offers only AVTransport, at controlUrl.
inline QByteArray loftDescription(const QUrl& controlUrl)
{
    return QStringLiteral("<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
                          "<deviceType>urn:schemas-upnp-org:device:MediaRenderer:1</deviceType>"
                          "<friendlyName>Loft</friendlyName><UDN>uuid:loft</UDN><serviceList><service>"
                          "<serviceType>urn:schemas-upnp-org:service:AVTransport:1</serviceType>"
                          "<serviceId>urn:upnp-org:serviceId:AVTransport</serviceId>"
                          "<controlURL>%1</controlURL></service></serviceList></device></root>")
        .arg(controlUrl.toString())
        .toUtf8();
}

} // namespace kvr::test
