// SSDP answers and UPnP device descriptions without multicast: answers are fed to the registry as bytes, and
// descriptions are served by a loopback HTTP server.
#include "tests/ui/GTestQtPrinters.h"
#include "tests/ui/LoopbackHttpServer.h"
#include "tests/ui/cast/DiscoveryRegistry.h"
#include "ui/cast/CastDiscovery.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/utsname.h>

using kvr::test::LoopbackHttpServer;
using kvr::ui::cast::CastDevice;
using kvr::ui::cast::CastDiscovery;

namespace {

constexpr int kWaitMs = 20000;
const QHostAddress kLoopback(QHostAddress::LocalHost);

using Registry = kvr::test::DiscoveryRegistry;

// A loopback port where nothing listens: connections to it are refused.
quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(kLoopback, 0);
    return probe.serverPort();
}

// A device description; %P in the text stands for the loopback server's port.
QByteArray description(const QString& text, quint16 port)
{
    return QString(text).replace(QLatin1String("%P"), QString::number(port)).toUtf8();
}

QString service(const char* kind, const QString& controlUrl)
{
    return QStringLiteral("<service><serviceType>urn:schemas-upnp-org:service:%1:1</serviceType>"
                          "<serviceId>urn:upnp-org:serviceId:%1</serviceId><controlURL>%2</controlURL></service>")
        .arg(QLatin1String(kind), controlUrl);
}

QString root(const QString& inside)
{
    return QStringLiteral("<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\">%1</root>")
        .arg(inside);
}

QString device(const QString& fields, const QString& services, const QString& embedded = {})
{
    return QStringLiteral("<device><deviceType>urn:schemas-upnp-org:device:MediaRenderer:1</deviceType>%1"
                          "<serviceList>%2</serviceList>%3</device>")
        .arg(fields, services,
            embedded.isEmpty() ? QString() : QStringLiteral("<deviceList>%1</deviceList>").arg(embedded));
}

// What the renderer in the namespace tests answers, shortened: URLBase after the device, root-relative URLs.
QString rendererLike(const QString& base)
{
    return root(device(QStringLiteral("<friendlyName>KvrTest</friendlyName>"
                                      "<manufacturer>Ivo Clarysse, Henner Zeller</manufacturer>"
                                      "<modelName>gmediarender</modelName><UDN>uuid:5e1f</UDN>"),
                    service("AVTransport", "/upnp/control/rendertransport1")
                        + service("ConnectionManager", "/upnp/control/renderconnmgr1")
                        + service("RenderingControl", "/upnp/control/rendercontrol1"))
        + QStringLiteral("<URLBase>%1</URLBase>").arg(base));
}

// The document up to the service of this kind, as a transfer cut short would leave it.
QString cutBefore(const QString& xml, const char* kind)
{
    return xml.left(
        xml.indexOf(QStringLiteral("<service><serviceType>urn:schemas-upnp-org:service:%1").arg(QLatin1String(kind))));
}

QByteArray answer(const QString& location, const QString& usn = QStringLiteral("uuid:5e1f::urn:x"))
{
    return QStringLiteral("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=100\r\nEXT:\r\nLOCATION: %1\r\n"
                          "ST: urn:schemas-upnp-org:device:MediaRenderer:1\r\nUSN: %2\r\n\r\n")
        .arg(location, usn)
        .toUtf8();
}

} // namespace

TEST(CastDiscoverySsdp, SearchDatagramNamesLinux)
{
    utsname system {};
    ASSERT_EQ(::uname(&system), 0);
    const QByteArray expected = QByteArray("M-SEARCH * HTTP/1.1\r\n"
                                           "HOST: 239.255.255.250:1900\r\n"
                                           "MAN: \"ssdp:discover\"\r\n"
                                           "MX: 2\r\n"
                                           "ST: urn:schemas-upnp-org:device:MediaRenderer:1\r\n"
                                           "USER-AGENT: Linux/")
        + QByteArray(system.release) + " UPnP/1.1 KestruneMediaPlayer/1.0\r\n\r\n";
    const QByteArray datagram = CastDiscovery::ssdpSearchDatagram();
    EXPECT_EQ(datagram, expected);
    EXPECT_FALSE(datagram.contains("Windows"));
    EXPECT_FALSE(datagram.contains('\0'));
}

TEST(CastDiscoverySsdp, AnswerHeaderTable)
{
    const QString at = QStringLiteral("http://192.168.1.20:49494/description.xml");
    struct Case {
        const char* what;
        QByteArray datagram;
        const char* sender;
        QString location; // empty: dropped
        QString usn;
    };
    const Case cases[] = {
        { "renderer's answer", answer(at), "192.168.1.20", at, "uuid:5e1f::urn:x" },
        { "Location", "HTTP/1.1 200 OK\r\nLocation: " + at.toUtf8() + "\r\nUsn: uuid:a\r\n\r\n", "192.168.1.20", at,
            "uuid:a" },
        { "location, LF only", "HTTP/1.1 200 OK\nlocation:" + at.toUtf8() + "\nusn:uuid:b\n", "192.168.1.20", at,
            "uuid:b" },
        { "leading blanks", "HTTP/1.1 200 OK\r\n   LOCATION :  " + at.toUtf8() + "  \r\n\t USN: uuid:c \r\n",
            "192.168.1.20", at, "uuid:c" },
        { "later line replaces earlier",
            "HTTP/1.1 200 OK\r\nLOCATION: http://192.168.1.20:1/old.xml\r\nUSN: uuid:old\r\nLOCATION: " + at.toUtf8()
                + "\r\nUSN: uuid:new\r\n",
            "192.168.1.20", at, "uuid:new" },
        { "status and other headers ignored", "NOTIFY * HTTP/1.1\r\n:LOCATION: x\r\nLOCATION: " + at.toUtf8() + "\r\n",
            "192.168.1.20", at, "" },
        { "IPv4-mapped sender", answer(at), "::ffff:192.168.1.20", at, "uuid:5e1f::urn:x" },
        { "loopback", answer("http://127.0.0.1:8080/d.xml"), "127.0.0.1", "http://127.0.0.1:8080/d.xml",
            "uuid:5e1f::urn:x" },
        { "LOCATION on another machine", answer("http://192.168.1.21:49494/description.xml"), "192.168.1.20", {}, {} },
        { "LOCATION names a host", answer("http://tv.local:49494/description.xml"), "192.168.1.20", {}, {} },
        { "public sender", answer("http://8.8.8.8/d.xml"), "8.8.8.8", {}, {} },
        { "IPv6 sender", answer("http://[fe80::1]/d.xml"), "fe80::1", {}, {} },
        { "no LOCATION", "HTTP/1.1 200 OK\r\nUSN: uuid:a\r\n\r\n", "192.168.1.20", {}, {} },
        { "empty LOCATION", "HTTP/1.1 200 OK\r\nLOCATION:\r\n\r\n", "192.168.1.20", {}, {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto read = CastDiscovery::parseSsdpAnswer(c.datagram, QHostAddress(QString::fromLatin1(c.sender)));
        if (c.location.isEmpty()) {
            EXPECT_FALSE(read.has_value());
            continue;
        }
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(read->location, QUrl(c.location));
        EXPECT_EQ(read->usn, c.usn);
    }
}

TEST(CastDiscoverySsdp, OneFetchPerMinutePerLocation)
{
    LoopbackHttpServer server;
    ASSERT_TRUE(server.isListening());
    server.answer("/description.xml", 200, description(rendererLike("http://127.0.0.1:%P/"), server.port()));
    const QString location = server.url("/description.xml").toString();
    Registry r;

    r.discovery.receiveSsdp(answer(location), kLoopback);
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.discovery.device("dlna:uuid:5e1f") != nullptr; }, kWaitMs));
    EXPECT_EQ(r.changed.size(), 1);
    EXPECT_EQ(r.discovery.descriptionFetches().value(location), r.now);
    const qint64 first = r.now;

    // Ten seconds later: no fetch, only a fresher renderer, and nothing to announce.
    r.now += 10000;
    r.discovery.receiveSsdp(answer(location), kLoopback);
    EXPECT_EQ(r.discovery.device("dlna:uuid:5e1f")->lastSeenMs, r.now);
    EXPECT_EQ(r.discovery.descriptionFetches().value(location), first);

    // From another sender it counts for nothing.
    r.discovery.receiveSsdp(answer(location), QHostAddress(QStringLiteral("127.0.0.2")));
    EXPECT_EQ(r.discovery.device("dlna:uuid:5e1f")->lastSeenMs, r.now);

    // A minute after the first fetch the description is read again; the server then counts two requests, so
    // the answer at ten seconds fetched nothing.
    r.now = first + 60000;
    r.discovery.receiveSsdp(answer(location), kLoopback);
    EXPECT_EQ(r.discovery.descriptionFetches().value(location), r.now);
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.requests().size() >= 2; }, kWaitMs));
    QTest::qWait(100);
    EXPECT_EQ(server.requests().size(), 2);
    EXPECT_EQ(r.changed.size(), 1);
    EXPECT_EQ(r.discovery.devices().size(), 1);
}

TEST(CastDiscoverySsdp, FetchTableKeepsTheNewest)
{
    // Nothing listens on the port: every fetch fails at once, which holds its LOCATION back all the same.
    const quint16 port = closedPort();
    Registry r;
    auto location = [port](int i) { return QStringLiteral("http://127.0.0.1:%1/d%2.xml").arg(port).arg(i); };
    for (int i = 0; i <= CastDiscovery::kMaxFetchEntries; ++i) {
        r.discovery.receiveSsdp(answer(location(i)), kLoopback);
        ++r.now;
    }
    const auto& fetches = r.discovery.descriptionFetches();
    EXPECT_EQ(fetches.size(), CastDiscovery::kMaxFetchEntries);
    EXPECT_FALSE(fetches.contains(location(0)));
    EXPECT_TRUE(fetches.contains(location(1)));
    EXPECT_TRUE(fetches.contains(location(CastDiscovery::kMaxFetchEntries)));
    // The one let go is fetched again when it answers, and the oldest left makes room.
    r.discovery.receiveSsdp(answer(location(0)), kLoopback);
    EXPECT_EQ(fetches.value(location(0)), r.now);
    EXPECT_FALSE(fetches.contains(location(1)));
    EXPECT_EQ(fetches.size(), CastDiscovery::kMaxFetchEntries);
    EXPECT_EQ(r.failed.size(), 0) << "discovered renderers never report";
}

TEST(CastDiscoverySsdp, DescriptionTable)
{
    LoopbackHttpServer server;
    ASSERT_TRUE(server.isListening());
    const QString friendly = QStringLiteral("<friendlyName>Lounge TV</friendlyName>");
    const QString udn = QStringLiteral("<UDN>uuid:tv-1</UDN>");
    const QString named
        = friendly + QStringLiteral("<manufacturer>Acme</manufacturer><modelName>Screen 2</modelName>") + udn;
    const QString rc = service("RenderingControl", QStringLiteral("/rc"));
    struct Case {
        const char* what;
        QString path;
        QString xml;
        QString usn;
        bool manual;
        QString id; // empty: rejected
        QString name;
        QString model;
        QString avTransport;
        QString renderingControl;
    };
    const Case cases[] = {
        { "URLBase with relative and rooted control URLs", "/a/desc.xml",
            root(QStringLiteral("<URLBase>http://127.0.0.1:%P/base/</URLBase>")
                + device(named, service("AVTransport", "ctl/avt") + rc)),
            {}, true, "dlna:uuid:tv-1", "Lounge TV", "Acme Screen 2", "http://127.0.0.1:%P/base/ctl/avt",
            "http://127.0.0.1:%P/rc" },
        { "relative to the description without URLBase", "/b/desc.xml",
            root(device(named, service("AVTransport", "avt") + service("RenderingControl", "../rc"))), {}, true,
            "dlna:uuid:tv-1", "Lounge TV", "Acme Screen 2", "http://127.0.0.1:%P/b/avt", "http://127.0.0.1:%P/rc" },
        { "URLBase after the device, as renderers write it", "/c/desc.xml",
            rendererLike(QStringLiteral("http://127.0.0.1:%P/other/")), {}, true, "dlna:uuid:5e1f", "KvrTest",
            "Ivo Clarysse, Henner Zeller gmediarender", "http://127.0.0.1:%P/upnp/control/rendertransport1",
            "http://127.0.0.1:%P/upnp/control/rendercontrol1" },
        { "absolute control URL on another local port", "/d/desc.xml",
            root(device(named, service("AVTransport", "http://127.0.0.1:1234/avt"))), {}, true, "dlna:uuid:tv-1",
            "Lounge TV", "Acme Screen 2", "http://127.0.0.1:1234/avt", {} },
        { "embedded renderer: root's name and UDN, last AVTransport wins", "/e/desc.xml",
            root(device(friendly + udn, service("AVTransport", "/first"),
                device(QStringLiteral("<friendlyName>Inner</friendlyName><manufacturer>Inner Co</manufacturer>"
                                      "<UDN>uuid:inner</UDN>"),
                    service("AVTransport", "/inner/avt") + rc))),
            {}, true, "dlna:uuid:tv-1", "Lounge TV", "Inner Co", "http://127.0.0.1:%P/inner/avt",
            "http://127.0.0.1:%P/rc" },
        { "no UDN: USN before ::", "/f/desc.xml", root(device(friendly, service("AVTransport", "/avt"))),
            "uuid:f00::urn:schemas-upnp-org:device:MediaRenderer:1", false, "dlna:uuid:f00", "Lounge TV", {},
            "http://127.0.0.1:%P/avt", {} },
        { "no UDN: whole USN without ::", "/g/desc.xml", root(device(friendly, service("AVTransport", "/avt"))),
            "uuid:g00", false, "dlna:uuid:g00", "Lounge TV", {}, "http://127.0.0.1:%P/avt", {} },
        { "no UDN, no USN: the description URL", "/h/desc.xml", root(device(friendly, service("AVTransport", "/avt"))),
            {}, true, "dlna:http://127.0.0.1:%P/h/desc.xml", "Lounge TV", {}, "http://127.0.0.1:%P/avt", {} },
        { "no friendlyName, manufacturer only", "/i/desc.xml",
            root(device(QStringLiteral("<manufacturer> Acme </manufacturer>") + udn, service("AVTransport", "/avt"))),
            {}, true, "dlna:uuid:tv-1", "127.0.0.1", "Acme", "http://127.0.0.1:%P/avt", {} },
        { "model name only", "/j/desc.xml",
            root(device(QStringLiteral("<modelName>Screen 2</modelName>") + udn, service("AVTransport", "/avt"))), {},
            true, "dlna:uuid:tv-1", "127.0.0.1", "Screen 2", "http://127.0.0.1:%P/avt", {} },
        { "XML error after the services: what was read counts", "/k/desc.xml",
            root(device(named, service("AVTransport", "/avt"))).replace("</root>", "<oops></root>"), {}, true,
            "dlna:uuid:tv-1", "Lounge TV", "Acme Screen 2", "http://127.0.0.1:%P/avt", {} },
        { "ConnectionManager and RenderingControl only", "/l/desc.xml",
            root(device(named, service("ConnectionManager", "/cm") + rc)), {}, true, {}, {}, {}, {}, {} },
        { "cut off before its AVTransport service", "/m/desc.xml",
            cutBefore(root(device(named, rc + service("AVTransport", "/avt"))), "AVTransport"), {}, true, {}, {}, {},
            {}, {} },
        { "AVTransport on a public address", "/n/desc.xml",
            root(device(named, service("AVTransport", "http://203.0.113.9/avt") + rc)), {}, true, {}, {}, {}, {}, {} },
        { "URLBase on a public address", "/o/desc.xml",
            root(QStringLiteral("<URLBase>http://203.0.113.9:80/</URLBase>")
                + device(named, service("AVTransport", "/avt"))),
            {}, true, {}, {}, {}, {}, {} },
        { "AVTransport behind a host name", "/p/desc.xml",
            root(device(named, service("AVTransport", "http://localhost:%P/avt"))), {}, true, {}, {}, {}, {}, {} },
        { "AVTransport over https", "/q/desc.xml",
            root(device(named, service("AVTransport", "https://127.0.0.1:%P/avt"))), {}, true, {}, {}, {}, {}, {} },
        { "a public AVTransport does not replace a local one", "/r/desc.xml",
            root(device(named, service("AVTransport", "/avt") + service("AVTransport", "http://203.0.113.9/avt"))), {},
            true, "dlna:uuid:tv-1", "Lounge TV", "Acme Screen 2", "http://127.0.0.1:%P/avt", {} },
    };
    const auto port = QString::number(server.port());
    auto withPort = [&](QString text) { return text.replace(QLatin1String("%P"), port); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.answer(c.path.toUtf8(), 200, withPort(c.xml).toUtf8());
        Registry r;
        const QUrl url = server.url(c.path);
        r.discovery.fetchDescription(url, c.usn, c.manual);
        if (c.id.isEmpty()) {
            ASSERT_TRUE(r.settle(0, 0));
            EXPECT_EQ(r.lastFailure(),
                QStringLiteral("%1 is not a DLNA media renderer (no AVTransport service)").arg(url.toString()));
            EXPECT_TRUE(r.discovery.devices().isEmpty());
            continue;
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !r.discovery.devices().isEmpty(); }, kWaitMs))
            << r.lastFailure().toStdString();
        ASSERT_EQ(r.discovery.devices().size(), 1);
        const CastDevice d = r.discovery.devices().first();
        EXPECT_EQ(d.id, withPort(c.id));
        EXPECT_EQ(d.type, 2);
        EXPECT_EQ(d.name, c.name);
        EXPECT_EQ(d.model, c.model);
        EXPECT_EQ(d.address, kLoopback);
        EXPECT_EQ(d.port, server.port());
        EXPECT_EQ(d.avTransportUrl, QUrl(withPort(c.avTransport)));
        EXPECT_EQ(d.renderingControlUrl, QUrl(withPort(c.renderingControl)));
        EXPECT_EQ(d.descriptionUrl, url);
        EXPECT_EQ(d.manual, c.manual);
        EXPECT_EQ(d.lastSeenMs, r.now);
        EXPECT_EQ(r.failed.size(), 0);
    }
    // Each description was fetched once, with a plain GET.
    EXPECT_EQ(server.requests().size(), qsizetype(std::size(cases)));
    for (const auto& request : server.requests())
        EXPECT_EQ(request.method, "GET");

    // A description URL without a port is on port 80; nothing is fetched to learn that.
    const auto port80 = CastDiscovery::readDescription(
        root(device(named, service("AVTransport", "/avt"))).toUtf8(), QUrl("http://192.168.1.20/desc.xml"), {}, false);
    ASSERT_TRUE(port80.has_value());
    EXPECT_EQ(port80->port, 80);
    EXPECT_EQ(port80->address, QHostAddress(QStringLiteral("192.168.1.20")));
    EXPECT_EQ(port80->avTransportUrl, QUrl("http://192.168.1.20/avt"));
}

TEST(CastDiscoverySsdp, ManualRendererFailures)
{
    LoopbackHttpServer server;
    ASSERT_TRUE(server.isListening());
    const QString refused = QStringLiteral("Enter the renderer's description URL on your local network");
    const QString noAnswer = QStringLiteral("No DLNA renderer answered at %1 (");
    const QString notRenderer = QStringLiteral("%1 is not a DLNA media renderer (no AVTransport service)");
    server.answer("/services.xml", 200,
        root(device(QStringLiteral("<UDN>uuid:x</UDN>"),
                 service("ConnectionManager", "/cm") + service("RenderingControl", "/rc")))
            .toUtf8());
    server.redirect("/moved.xml", 302, "/services.xml");
    server.redirect("/moved-page.xml", 301, "/services.xml", "Moved Permanently. Go to /services.xml");
    server.answer("/huge.xml", 200, QByteArray(2 << 20, ' '));
    server.answer("/empty.xml", 200, {});
    server.hang("/silent.xml");

    struct Case {
        const char* what;
        QString text;
        QString message; // %1: the URL fetched; a message ending in "(" is the start of the text
    };
    const QString closed = QStringLiteral("http://127.0.0.1:%1/description.xml").arg(closedPort());
    const Case cases[] = {
        { "host name", QStringLiteral("http://tv.local:49494/description.xml"), refused },
        { "host name without scheme", QStringLiteral("example-tv:49152/desc.xml"), refused },
        { "public address", QStringLiteral("http://8.8.8.8/description.xml"), refused },
        { "empty", QStringLiteral("  "), refused },
        { "closed port", closed, noAnswer },
        { "not found", server.url("/absent.xml").toString(), noAnswer },
        { "empty body", server.url("/empty.xml").toString(), noAnswer },
        { "redirect without body", server.url("/moved.xml").toString(), noAnswer },
        { "2 MiB description", server.url("/huge.xml").toString(), noAnswer },
        { "silent server: the transfer times out", server.url("/silent.xml").toString(), noAnswer },
        { "no AVTransport service", server.url("/services.xml").toString(), notRenderer },
        { "redirect with a page", server.url("/moved-page.xml").toString(), notRenderer },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Registry r;
        r.discovery.addManual(2, c.text);
        ASSERT_TRUE(r.settle(0, 0));
        ASSERT_EQ(r.failed.size(), 1);
        EXPECT_EQ(r.changed.size(), 0);
        const QString url = QUrl::fromUserInput(c.text.trimmed()).toString();
        const QString expected = c.message.contains(QLatin1String("%1")) ? c.message.arg(url) : c.message;
        if (expected.endsWith(QLatin1Char('('))) {
            EXPECT_TRUE(r.lastFailure().startsWith(expected)) << r.lastFailure().toStdString();
            EXPECT_TRUE(r.lastFailure().endsWith(QLatin1Char(')'))) << r.lastFailure().toStdString();
            EXPECT_GT(r.lastFailure().size(), expected.size() + 1) << "the reason is given";
        } else {
            EXPECT_EQ(r.lastFailure(), expected);
        }
    }
    // A peer that sends more than 1 MiB without a length and never closes fails for its size, not as a stall.
    QTcpServer endless;
    ASSERT_TRUE(endless.listen(kLoopback));
    QObject::connect(&endless, &QTcpServer::newConnection, [&endless] {
        QTcpSocket* socket = endless.nextPendingConnection();
        socket->write(
            "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: close\r\n\r\n<root>" + QByteArray(2 << 20, ' '));
    });
    {
        Registry r;
        const QString url = QStringLiteral("http://127.0.0.1:%1/description.xml").arg(endless.serverPort());
        r.discovery.addManual(2, url);
        ASSERT_TRUE(r.settle(0, 0));
        EXPECT_EQ(r.lastFailure(),
            QStringLiteral("No DLNA renderer answered at %1 (the description is larger than 1 MiB)").arg(url));
    }

    // Redirects were not followed: the description they point at was asked for by its own case only.
    qsizetype services = 0;
    for (const auto& request : server.requests())
        services += request.path == "/services.xml";
    EXPECT_EQ(services, 1);
}

TEST(CastDiscoverySsdp, ManualRenderersWithoutUdnAreKeptApart)
{
    LoopbackHttpServer server;
    ASSERT_TRUE(server.isListening());
    const QByteArray xml
        = root(device(QStringLiteral("<friendlyName>Speaker</friendlyName>"), service("AVTransport", "/avt"))).toUtf8();
    server.answer("/one.xml", 200, xml);
    server.answer("/two.xml", 200, xml);
    Registry r;
    r.discovery.addManual(2, server.url("/one.xml").toString());
    r.discovery.addManual(2, server.url("/two.xml").toString());
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.discovery.manualDevices().size() == 2; }, kWaitMs))
        << r.lastFailure().toStdString();
    for (const char* path : { "/one.xml", "/two.xml" }) {
        const QUrl url = server.url(QString::fromLatin1(path));
        const CastDevice* found = r.discovery.device(QStringLiteral("dlna:") + url.toString());
        ASSERT_NE(found, nullptr) << path;
        EXPECT_EQ(found->descriptionUrl, url);
        EXPECT_TRUE(found->manual);
    }
    EXPECT_EQ(r.changed.size(), 2);
}

TEST(CastDiscoverySsdp, RestoredRenderersAreListedAtOnce)
{
    LoopbackHttpServer server;
    ASSERT_TRUE(server.isListening());
    server.answer("/up.xml", 200, description(rendererLike("http://127.0.0.1:%P/"), server.port()));

    CastDevice down;
    down.id = QStringLiteral("dlna:uuid:off");
    down.type = 2;
    down.name = QStringLiteral("Bedroom TV");
    down.address = kLoopback;
    down.descriptionUrl = QUrl(QStringLiteral("http://127.0.0.1:%1/description.xml").arg(closedPort()));
    down.port = quint16(down.descriptionUrl.port());
    // Stored under an id the renderer no longer has: its description replaces the stand-in.
    CastDevice up;
    up.id = QStringLiteral("dlna:uuid:old");
    up.type = 2;
    up.name = QStringLiteral("Old name");
    up.address = kLoopback;
    up.port = server.port();
    up.descriptionUrl = server.url("/up.xml");

    Registry r;
    r.discovery.restoreManual({ down, up });
    // Both are listed before anything answered.
    for (const CastDevice& stored : { down, up }) {
        SCOPED_TRACE(stored.id.toStdString());
        const CastDevice* found = r.discovery.device(stored.id);
        ASSERT_NE(found, nullptr);
        EXPECT_TRUE(found->manual);
        EXPECT_EQ(found->name, stored.name);
        EXPECT_EQ(found->address, stored.address);
        EXPECT_EQ(found->port, stored.port);
        EXPECT_EQ(found->descriptionUrl, stored.descriptionUrl);
    }

    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return r.failed.size() == 1 && r.discovery.device("dlna:uuid:5e1f") != nullptr; }, kWaitMs));
    EXPECT_TRUE(r.lastFailure().startsWith(
        QStringLiteral("No DLNA renderer answered at %1 (").arg(down.descriptionUrl.toString())));
    EXPECT_EQ(r.discovery.device("dlna:uuid:old"), nullptr);
    const CastDevice refreshed = *r.discovery.device("dlna:uuid:5e1f");
    EXPECT_EQ(refreshed.name, "KvrTest");
    EXPECT_TRUE(refreshed.manual);
    EXPECT_EQ(refreshed.avTransportUrl, server.url("/upnp/control/rendertransport1"));

    // Another receiver turns up: what the session stores next still holds the renderer that is off.
    CastDevice other;
    other.id = QStringLiteral("chromecast:abc");
    other.name = QStringLiteral("Den");
    other.address = QHostAddress(QStringLiteral("192.168.1.40"));
    other.port = 8009;
    r.discovery.upsertDevice(other);
    QStringList manualIds;
    for (const CastDevice& d : r.discovery.manualDevices())
        manualIds << d.id;
    manualIds.sort();
    EXPECT_EQ(manualIds, QStringList({ "dlna:uuid:5e1f", "dlna:uuid:off" }));
}

TEST(CastDiscoverySsdp, ManualRendererFoundBySearchStaysManual)
{
    LoopbackHttpServer server;
    ASSERT_TRUE(server.isListening());
    server.answer("/description.xml", 200, description(rendererLike("http://127.0.0.1:%P/"), server.port()));
    const QUrl url = server.url("/description.xml");
    Registry r;
    r.discovery.addManual(2, url.toString());
    ASSERT_TRUE(r.settle(0, 0));
    ASSERT_NE(r.discovery.device("dlna:uuid:5e1f"), nullptr) << r.lastFailure().toStdString();

    r.now += 1000;
    r.discovery.receiveSsdp(answer(url.toString()), kLoopback);
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.requests().size() == 2; }, kWaitMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.discovery.device("dlna:uuid:5e1f")->lastSeenMs == r.now; }, kWaitMs));
    EXPECT_TRUE(r.discovery.device("dlna:uuid:5e1f")->manual);
    EXPECT_EQ(r.discovery.devices().size(), 1);
    EXPECT_EQ(r.changed.size(), 1);
}
