#pragma once

#include "ui/cast/CastDevice.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace kvr::ui::cast {

// The receivers on the local network: the ones discovery hears and the ones the user enters by hand.
// Discovered receivers that fall silent are aged out; manual ones stay until removed. GUI thread only.
class CastDiscovery : public QObject {
    Q_OBJECT

public:
    // What a typed-in Chromecast or AirPlay entry says: the address and port to probe, or why it is refused.
    struct ManualEntry {
        QHostAddress address;
        quint16 port = 0;
        // Empty when the entry can be probed.
        QString error;
    };

    explicit CastDiscovery(QObject* parent = nullptr);
    ~CastDiscovery() override;

    // All receivers, sorted by name without regard to case.
    QList<CastDevice> devices() const;
    // The stored record, or null. Copy it at once: any later change of the table may move it.
    const CastDevice* device(const QString& id) const;
    // The receivers the user added, in table order.
    QList<CastDevice> manualDevices() const;

    // Adds a receiver the user typed in: "address" or "address:port". The outcome arrives later, as
    // devicesChanged or manualFailed.
    void addManual(int type, const QString& text);
    // Removes the receiver with this id, manual or not.
    void removeManual(const QString& id);
    // Puts back the manual receivers the session stored, without contacting them.
    void restoreManual(const QList<CastDevice>& devices);

    // Inserts or refreshes a receiver; announces only changes the user can see (name, address, port).
    void upsertDevice(CastDevice device);
    // Drops discovered receivers unheard for longer than the time to live.
    void pruneStale();

    // Private ranges, link-local and loopback (IPv4 or IPv6) count as the local network.
    static bool isLocalAddress(const QHostAddress& address);
    // Reads a Chromecast (type 0) or AirPlay (any other non-DLNA type) entry without touching the network.
    static ManualEntry parseManualEntry(int type, const QString& text);

    int timeToLive() const { return timeToLiveSeconds_; }
    void setTimeToLive(int seconds) { timeToLiveSeconds_ = seconds; }

    // For tests: the wall clock, the ageing check's interval and how long a manual probe may take.
    void setClock(std::function<qint64()> clock);
    void setPruneInterval(int ms);
    void setProbeTimeout(int ms) { probeTimeoutMs_ = ms; }

signals:
    void devicesChanged();
    void manualFailed(const QString& message);

private:
    void probe(int type, const QHostAddress& address, quint16 port);

    QHash<QString, CastDevice> devices_;
    QTimer pruneTimer_;
    std::function<qint64()> clock_;
    int timeToLiveSeconds_ = 300;
    int probeTimeoutMs_ = 4000;
};

} // namespace kvr::ui::cast
