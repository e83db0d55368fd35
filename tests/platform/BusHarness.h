#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

namespace kvr::test {

// Every process of these tests runs on a session bus of its own (started before main), so parallel test
// processes never compete for the player's bus name or see each other's signals.
bool privateBusRunning();

// True in the child process of runCurrentTestWithoutBus.
bool withoutBus();

// Runs the current test again in a child process that has no session bus. Returns true in the parent after
// checking that the child passed; false in the child, which then does the test's work.
bool runCurrentTestWithoutBus();

// Processes events until done() holds or the time is up.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// Turns a dictionary as it comes off the bus (a{sv}, possibly still marshalled) into a map; values keep the
// types the bus gave them (an object path stays a QDBusObjectPath, a list of strings becomes a QStringList).
QVariantMap busMap(const QVariant& value);

// A second connection to the session bus, as a shell or a dock would use it.
class BusClient : public QObject {
    Q_OBJECT

public:
    BusClient();
    ~BusClient() override;

    QDBusConnection bus() const;
    // Waits for the reply with the event loop running: the called service may live in this very thread.
    QDBusMessage call(const QString& service, const QString& path, const QString& interface, const QString& method,
        const QVariantList& arguments = {});
    QVariant property(const QString& service, const QString& path, const QString& interface, const QString& name);
    QVariantMap properties(const QString& service, const QString& path, const QString& interface);
    bool isRegistered(const QString& service) const;

    // Records every such signal, from any sender and path.
    void listen(const QString& interface, const QString& signalName);
    bool waitForSignals(qsizetype count, int timeoutMs = 5000);
    QList<QDBusMessage> received;

public slots:
    void record(const QDBusMessage& message);

private:
    QString name;
};

} // namespace kvr::test
