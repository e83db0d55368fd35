#pragma once

#include "ui/cast/CastDevice.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QNetworkInterface>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <QNetworkAccessManager>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QNetworkReply;
class QUdpSocket;

namespace kvr::ui::cast {

// The receivers on the local network: the ones discovery hears and the ones the user enters by hand.
// Discovered receivers that fall silent are aged out; manual ones stay until removed. GUI thread only.
//
// Discovery sends multicast on every usable interface. KESTRUNE_CAST_DISCOVERY=off in the environment
// switches it off: no socket is opened and nothing is sent, while manual receivers keep working.
class CastDiscovery : public QObject {
    Q_OBJECT

public:
    // A DNS name as its labels. Kept as labels, never as dotted text: an instance label may hold dots.
    using DnsName = QStringList;

    // One mDNS service instance being assembled from the records heard about it.
    struct PendingService {
        // The instance name as received.
        DnsName name;
        // The service name the instance belongs to, lower case; empty until known.
        QString serviceType;
        // Host name key (lower case) of the SRV target.
        QString target;
        quint16 port = 0;
        // Keys lower case, values as received.
        QHash<QString, QString> txt;
        // A sender that spoke about the instance.
        QHostAddress address;
        // Wall-clock milliseconds at which a record about the instance was last read.
        qint64 lastHeardMs = 0;
    };

    // A host name's IPv4 address from an A record.
    struct HostAddress {
        QHostAddress address;
        qint64 lastHeardMs = 0;
    };

    // Upper bound of each mDNS working table, so no peer on the network can grow it without end.
    static constexpr int kMaxTableEntries = 512;
    // The most of one mDNS datagram that is read.
    static constexpr int kMaxDatagramBytes = 9000;

    // What a typed-in Chromecast or AirPlay entry says: the address and port to probe, or why it is refused.
    struct ManualEntry {
        QHostAddress address;
        quint16 port = 0;
        // Empty when the entry can be probed.
        QString error;
    };

    // What one SSDP answer says, once its sender and LOCATION passed the checks.
    struct SsdpAnswer {
        QUrl location;
        QString usn;
    };

    // The most of one SSDP answer that is read.
    static constexpr int kMaxSsdpBytes = 4096;
    // A description larger than this is no renderer's: the fetch is abandoned.
    static constexpr qint64 kMaxDescriptionBytes = 1 << 20;
    // Upper bound of the description fetch table, so no peer can grow it without end.
    static constexpr int kMaxFetchEntries = 256;

    explicit CastDiscovery(QObject* parent = nullptr);
    ~CastDiscovery() override;

    // Opens the sockets when none are open, sends a burst of queries now and two more on the query timer.
    void start();
    // While on, a burst goes out every query interval without end; on also starts as start() does.
    void rescan(bool on);
    // False when KESTRUNE_CAST_DISCOVERY is "off".
    static bool discoveryAllowed();

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
    // Puts back the manual receivers the session stored at once; a DLNA renderer's description is fetched
    // again and refreshes it when it answers.
    void restoreManual(const QList<CastDevice>& devices);

    // Inserts or refreshes a receiver; announces only changes the user can see (name, address, port).
    void upsertDevice(CastDevice device);
    // Drops discovered receivers, and the mDNS records, unheard for longer than the time to live.
    void pruneStale();

    // Private ranges, link-local and loopback (IPv4 or IPv6) count as the local network.
    static bool isLocalAddress(const QHostAddress& address);
    // Interfaces that are up, running, multicast-capable and have an IPv4 address, in system order.
    static QList<QNetworkInterface> usableInterfaces();

    // mDNS wire format.
    // One query datagram asking for records of type qtype for every name, without compression.
    static QByteArray buildQuery(const QList<DnsName>& names, quint16 qtype, quint16 id);
    // Reads one possibly compressed name at position; on success position moves past it (past the first
    // pointer when there is one).
    static bool readDnsName(const QByteArray& message, int& position, DnsName& name);
    // The text form of a name used as a table key: labels joined with ".", a "." or "\\" inside a label
    // escaped with a backslash.
    static QString nameKey(const DnsName& name);
    // Sends one query for these names on every mDNS socket to the mDNS group.
    void sendQuery(const QList<DnsName>& names, quint16 qtype);
    // Takes one received datagram: reads its first kMaxDatagramBytes bytes when the sender is local.
    void receiveMdns(const QByteArray& datagram, const QHostAddress& sender);
    // Reads one datagram into the working tables and hands complete instances it spoke about to upsertDevice.
    void parseMdns(const QByteArray& message, const QHostAddress& sender);

    // SSDP and UPnP device descriptions.
    // The M-SEARCH for media renderers, with this system's user agent.
    static QByteArray ssdpSearchDatagram();
    // Sends the M-SEARCH on every SSDP socket to the SSDP group.
    void sendSsdpSearch();
    // Reads the headers of one answer; nothing unless the sender is local and LOCATION names the sender.
    static std::optional<SsdpAnswer> parseSsdpAnswer(const QByteArray& datagram, const QHostAddress& sender);
    // Takes one answer: fetches its description at most once a minute per LOCATION; in between an answer only
    // marks the renderers of that description as heard.
    void receiveSsdp(const QByteArray& datagram, const QHostAddress& sender);
    // Fetches a UPnP device description; a renderer comes of it, or for a manual fetch a manualFailed.
    void fetchDescription(const QUrl& url, const QString& usn, bool manual);
    // The renderer a description describes, or nothing when it offers no usable AVTransport service.
    static std::optional<CastDevice> readDescription(
        const QByteArray& body, const QUrl& url, const QString& usn, bool manual);
    // A control URL the player may send commands to: http, to a literal address on the local network.
    static bool isLocalControlUrl(const QUrl& url);
    // LOCATION text to the wall-clock milliseconds at which its last fetch began.
    const QHash<QString, qint64>& descriptionFetches() const { return fetches_; }

    const QHash<QString, PendingService>& pendingServices() const { return pending_; }
    const QHash<QString, HostAddress>& hostAddresses() const { return hosts_; }

    // Reads a Chromecast (type 0) or AirPlay (any other non-DLNA type) entry without touching the network.
    static ManualEntry parseManualEntry(int type, const QString& text);

    int timeToLive() const { return timeToLiveSeconds_; }
    void setTimeToLive(int seconds) { timeToLiveSeconds_ = seconds; }

    // For tests: the wall clock, the ageing check's and the query bursts' intervals, how long a manual probe
    // may take, and a look at every mDNS query datagram as it is sent.
    void setClock(std::function<qint64()> clock);
    void setPruneInterval(int ms);
    void setQueryInterval(int ms) { queryTimer_.setInterval(ms); }
    void setProbeTimeout(int ms) { probeTimeoutMs_ = ms; }
    void setQueryObserver(std::function<void(const QByteArray&)> observer) { queryObserver_ = std::move(observer); }
    int openSocketCount() const { return int(mdnsSockets_.size() + ssdpSockets_.size()); }
    bool queryTimerActive() const { return queryTimer_.isActive(); }

signals:
    void devicesChanged();
    void manualFailed(const QString& message);

private:
    void probe(int type, const QHostAddress& address, quint16 port);
    void openSockets();
    void sendBurst();
    void queryTick();
    void readMdns(QUdpSocket* socket);
    void readSsdp(QUdpSocket* socket);
    void onDescriptionReply(QNetworkReply* reply, const QUrl& url, const QString& usn, bool manual);
    // Stores a record; true when the user can see a change (new, or another name, address or port).
    bool storeDevice(CastDevice device);
    PendingService& pendingEntry(const DnsName& name, qint64 now);
    // The steps of parseMdns. readRecords reads the answers into the working tables, noting in touched what
    // they spoke about; false when a record cannot be read (what came before stays, nothing is assembled).
    struct MdnsRecord;
    struct MdnsTouched;
    bool readRecords(const QByteArray& message, int position, int records, const QHostAddress& sender, qint64 now,
        MdnsTouched& touched);
    void readPtrRecord(const QByteArray& message, const MdnsRecord& record, MdnsTouched& touched);
    void readSrvRecord(const QByteArray& message, const MdnsRecord& record, MdnsTouched& touched);
    void readTxtRecord(const QByteArray& message, const MdnsRecord& record, MdnsTouched& touched);
    void readARecord(const QByteArray& message, const MdnsRecord& record, MdnsTouched& touched);
    // Marks the instances whose host's address arrived as heard of, and touched.
    void touchAddressedInstances(MdnsTouched& touched, qint64 now);
    // Hands each complete touched instance to upsertDevice; returns the announced ones still incomplete.
    QList<DnsName> assembleTouched(const MdnsTouched& touched);
    void pruneWorkingTables(qint64 cutoff);

    QHash<QString, CastDevice> devices_;
    // mDNS working tables: instances by name key (case kept), host addresses by lower-case name key.
    QHash<QString, PendingService> pending_;
    QHash<QString, HostAddress> hosts_;
    QHash<QString, qint64> fetches_;
    QNetworkAccessManager network_;
    // Owned here, without a Qt parent.
    std::vector<std::unique_ptr<QUdpSocket>> mdnsSockets_;
    std::vector<std::unique_ptr<QUdpSocket>> ssdpSockets_;
    QTimer queryTimer_;
    int burstsLeft_ = 0;
    bool continuous_ = false;
    bool switchedOffLogged_ = false;
    std::function<void(const QByteArray&)> queryObserver_;
    QTimer pruneTimer_;
    std::function<qint64()> clock_;
    int timeToLiveSeconds_ = 300;
    int probeTimeoutMs_ = 4000;
};

} // namespace kvr::ui::cast
