#include "tests/platform/BusHarness.h"
#include "tests/support/PrivateSessionBus.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kvr::test {
namespace {

const char* const childMarker = "KVR_NO_BUS_CHILD";

// Started during static initialisation: libdbus reads the session bus address once per process, so it must
// be in the environment before Qt or anything else first touches the bus.
struct OwnBus {
    PrivateSessionBus bus;
    bool running = false;
    OwnBus()
    {
        if (!std::getenv(childMarker))
            running = bus.start();
    }
};

OwnBus privateBus;

} // namespace

bool privateBusRunning()
{
    return privateBus.running;
}

bool withoutBus()
{
    return std::getenv(childMarker) != nullptr;
}

bool runCurrentTestWithoutBus()
{
    if (withoutBus())
        return false;
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    QProcess child;
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(childMarker), QStringLiteral("1"));
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
        { QStringLiteral("--gtest_filter=%1.%2").arg(info->test_suite_name(), info->name()) });
    const bool finished = child.waitForFinished(30000);
    const QString output = QString::fromLocal8Bit(child.readAll());
    EXPECT_TRUE(finished) << "the child hangs without a bus";
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("[  PASSED  ] 1 test."))) << output.toStdString();
    return true;
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

QVariantMap busMap(const QVariant& value)
{
    if (value.metaType() == QMetaType::fromType<QDBusVariant>())
        return busMap(value.value<QDBusVariant>().variant());
    if (value.metaType() != QMetaType::fromType<QDBusArgument>())
        return value.toMap();
    const auto argument = value.value<QDBusArgument>();
    QVariantMap map;
    argument.beginMap();
    while (!argument.atEnd()) {
        QString key;
        QDBusVariant entry;
        argument.beginMapEntry();
        argument >> key >> entry;
        argument.endMapEntry();
        map.insert(key, entry.variant());
    }
    argument.endMap();
    return map;
}

BusClient::BusClient()
{
    static std::atomic<int> clients { 0 };
    name = QStringLiteral("kvr-test-client-%1").arg(++clients);
    QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
}

BusClient::~BusClient()
{
    QDBusConnection::disconnectFromBus(name);
}

QDBusConnection BusClient::bus() const
{
    return QDBusConnection(name);
}

QDBusMessage BusClient::call(const QString& service, const QString& path, const QString& interface,
    const QString& method, const QVariantList& arguments)
{
    auto message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    QDBusPendingCall pending = bus().asyncCall(message, 5000);
    waitUntil([&] { return pending.isFinished(); }, 10000);
    return pending.reply();
}

QVariant BusClient::property(const QString& service, const QString& path, const QString& interface, const QString& name)
{
    const auto reply = call(
        service, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"), { interface, name });
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

QVariantMap BusClient::properties(const QString& service, const QString& path, const QString& interface)
{
    const auto reply = call(
        service, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"), { interface });
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return busMap(reply.arguments().constFirst());
}

bool BusClient::isRegistered(const QString& service) const
{
    return bus().interface()->isServiceRegistered(service).value();
}

void BusClient::listen(const QString& interface, const QString& signalName)
{
    const bool connected = bus().connect(QString(), QString(), interface, signalName, this, SLOT(record(QDBusMessage)));
    EXPECT_TRUE(connected) << signalName.toStdString();
    // The match rule reaches the bus daemon asynchronously; a round trip makes sure it is in place.
    isRegistered(QStringLiteral("org.freedesktop.DBus"));
}

bool BusClient::waitForSignals(qsizetype count, int timeoutMs)
{
    return waitUntil([&] { return received.size() >= count; }, timeoutMs);
}

void BusClient::record(const QDBusMessage& message)
{
    received.append(message);
}

} // namespace kvr::test
