// The media server on real interfaces: the choice of the local address and the peer rule, against a peer in a
// second namespace (server-peer.py). Run only through scripts/netns-run.sh (ctest: CastServerNetns.*);
// anywhere else the case skips, since it changes the addresses of the interfaces it sees.
#include "tests/support/TestSupport.h"
#include "ui/cast/CastServer.h"

#include <QNetworkInterface>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

using kvr::ui::cast::CastServer;

namespace {

constexpr int kWaitMs = 30000;

#define REQUIRE_NETNS()                                                                                                \
    if (kvr::test::netnsPeer().empty())                                                                                \
    GTEST_SKIP() << "runs only inside the network namespace harness (scripts/netns-run.sh)"

// One command to the peer's control port, one line back; the event loop keeps running meanwhile.
QByteArray ask(QTcpSocket& control, const QByteArray& command)
{
    control.write(command + '\n');
    if (!QTest::qWaitFor([&] { return control.canReadLine(); }, kWaitMs))
        return "no answer";
    return control.readLine().trimmed();
}

// The last IPv4 entry in enumeration order within 10.201.0.0/24.
QHostAddress lastEnumeratedInPeerNetwork()
{
    QHostAddress last;
    for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry& entry : iface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol
                && entry.ip().isInSubnet(QHostAddress(QStringLiteral("10.201.0.0")), 24))
                last = entry.ip();
        }
    }
    return last;
}

} // namespace

TEST(CastServerNetns, AddressChoiceAndPeerRule)
{
    REQUIRE_NETNS();
    ASSERT_EQ(kvr::test::runCommand("ip addr add 10.201.0.3/24 dev kvr-veth-a"), 0);
    ASSERT_EQ(kvr::test::runCommand("ip addr add 203.0.113.1/24 dev kvr-veth-a"), 0);

    CastServer server;
    QSignalSpy logged(&server, &CastServer::requestServed);
    QString error;
    ASSERT_TRUE(server.start(QHostAddress(QStringLiteral("10.201.0.2")), &error)) << error.toStdString();
    EXPECT_EQ(server.listenAddress(), QHostAddress(QStringLiteral("10.201.0.3")))
        << "the secondary address is enumerated last";
    EXPECT_EQ(server.listenAddress(), lastEnumeratedInPeerNetwork());
    const quint16 firstPort = server.port();
    const QUrl before = server.publishFile(QStringLiteral("/films/a.mp4"), QString());
    EXPECT_EQ(before.host(), "10.201.0.3");

    ASSERT_TRUE(server.start(QHostAddress(QStringLiteral("203.0.113.2")), &error)) << error.toStdString();
    EXPECT_EQ(server.listenAddress(), QHostAddress(QStringLiteral("203.0.113.1")));
    EXPECT_NE(server.port(), 0);

    // The URL published before the move reaches nothing any more.
    QTcpSocket stale;
    stale.connectToHost(QHostAddress(before.host()), quint16(before.port()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return stale.error() == QAbstractSocket::ConnectionRefusedError; }, kWaitMs))
        << "old port " << firstPort << ": " << stale.errorString().toStdString();

    QTcpSocket control;
    control.connectToHost(QString::fromStdString(kvr::test::netnsPeer()), 7301);
    ASSERT_TRUE(QTest::qWaitFor([&] { return control.state() == QAbstractSocket::ConnectedState; }, kWaitMs));
    const QByteArray target = "203.0.113.1 " + QByteArray::number(server.port());

    // A peer outside the local networks: cut off at once, not one byte, no log line.
    ASSERT_EQ(ask(control, "connect outside 203.0.113.2 " + target), "connected outside");
    QByteArray outside;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            outside = ask(control, "state outside");
            return outside != "open";
        },
        kWaitMs));
    EXPECT_TRUE(outside == "closed 0" || outside == "reset 0") << outside.toStdString();
    EXPECT_EQ(server.connectionCount(), 0);

    // A local peer: accepted, and the connection stays open.
    ASSERT_EQ(ask(control, "connect local 10.201.0.2 " + target), "connected local");
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.connectionCount() == 1; }, kWaitMs));
    EXPECT_EQ(server.connectionSockets().first()->peerAddress(), QHostAddress(QStringLiteral("10.201.0.2")));
    EXPECT_EQ(ask(control, "state local"), "open");
    EXPECT_EQ(ask(control, "state outside"), outside) << "the refused client stays refused";
    EXPECT_EQ(server.connectionCount(), 1);
    EXPECT_EQ(logged.count(), 0);
}
