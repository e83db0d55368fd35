#include "ui/cast/CastDiscovery.h"

#include <QDateTime>
#include <QTcpSocket>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <memory>

namespace kvr::ui::cast {

namespace {

constexpr int kPruneIntervalMs = 30000;

} // namespace

CastDiscovery::CastDiscovery(QObject* parent)
    : QObject(parent)
    , clock_([] { return QDateTime::currentMSecsSinceEpoch(); })
{
    pruneTimer_.setInterval(kPruneIntervalMs);
    connect(&pruneTimer_, &QTimer::timeout, this, &CastDiscovery::pruneStale);
    pruneTimer_.start();
}

CastDiscovery::~CastDiscovery()
{
    // Probe sockets are children and go with the registry; none of their signals may reach a half-destroyed
    // registry.
    for (QTcpSocket* socket : findChildren<QTcpSocket*>(QString(), Qt::FindDirectChildrenOnly))
        socket->disconnect(this);
}

QList<CastDevice> CastDiscovery::devices() const
{
    QList<CastDevice> list = devices_.values();
    std::sort(list.begin(), list.end(), [](const CastDevice& a, const CastDevice& b) {
        return QString::compare(a.name, b.name, Qt::CaseInsensitive) < 0;
    });
    return list;
}

const CastDevice* CastDiscovery::device(const QString& id) const
{
    auto it = devices_.constFind(id);
    return it == devices_.cend() ? nullptr : &*it;
}

QList<CastDevice> CastDiscovery::manualDevices() const
{
    QList<CastDevice> list;
    for (const CastDevice& d : devices_)
        if (d.manual)
            list.append(d);
    return list;
}

void CastDiscovery::upsertDevice(CastDevice device)
{
    device.lastSeenMs = clock_();
    auto it = devices_.find(device.id);
    if (it == devices_.end()) {
        devices_.insert(device.id, device);
        emit devicesChanged();
        return;
    }
    device.manual = device.manual || it->manual;
    const bool visible = device.name != it->name || device.address != it->address || device.port != it->port;
    *it = device;
    if (visible)
        emit devicesChanged();
}

void CastDiscovery::pruneStale()
{
    const qint64 cutoff = clock_() - qint64(timeToLiveSeconds_) * 1000;
    const auto removed = devices_.removeIf(
        [cutoff](const QHash<QString, CastDevice>::iterator& it) { return !it->manual && it->lastSeenMs < cutoff; });
    if (removed > 0)
        emit devicesChanged();
}

void CastDiscovery::removeManual(const QString& id)
{
    if (devices_.remove(id))
        emit devicesChanged();
}

void CastDiscovery::restoreManual(const QList<CastDevice>& devices)
{
    // A stored DLNA renderer is meant to be rebuilt from a fresh description; until that fetch exists it
    // comes back as stored, like the others, so nothing the user added is lost.
    for (CastDevice device : devices) {
        device.manual = true;
        upsertDevice(device);
    }
}

void CastDiscovery::setClock(std::function<qint64()> clock)
{
    clock_ = std::move(clock);
}

void CastDiscovery::setPruneInterval(int ms)
{
    pruneTimer_.setInterval(ms);
}

bool CastDiscovery::isLocalAddress(const QHostAddress& address)
{
    static const std::pair<QHostAddress, int> kSubnets[] = {
        { QHostAddress(QStringLiteral("10.0.0.0")), 8 },
        { QHostAddress(QStringLiteral("172.16.0.0")), 12 },
        { QHostAddress(QStringLiteral("192.168.0.0")), 16 },
        { QHostAddress(QStringLiteral("169.254.0.0")), 16 },
    };
    for (const auto& [subnet, bits] : kSubnets)
        if (address.isInSubnet(subnet, bits))
            return true;
    return address.isLoopback();
}

CastDiscovery::ManualEntry CastDiscovery::parseManualEntry(int type, const QString& text)
{
    const QString entry = text.trimmed();
    ManualEntry result;
    QString host = entry;
    quint16 port = type == 0 ? 8009 : 7000;
    const qsizetype colon = entry.indexOf(QLatin1Char(':'));
    if (colon >= 0) {
        host = entry.left(colon);
        bool isNumber = false;
        const uint value = entry.section(QLatin1Char(':'), 1, 1).toUInt(&isNumber, 10);
        // Text that is not a number probes port 0 (and fails visibly); a number too large for a port would
        // otherwise wrap round to some other receiver's port.
        if (isNumber && value > 65535) {
            result.error = tr("Enter an IP address on your local network");
            return result;
        }
        port = isNumber ? quint16(value) : 0;
    }
    const QHostAddress address(host);
    if (address.isNull() || !isLocalAddress(address)) {
        result.error = tr("Enter an IP address on your local network");
        return result;
    }
    result.address = address;
    result.port = port;
    return result;
}

void CastDiscovery::addManual(int type, const QString& text)
{
    if (type == 2) {
        const QUrl url = QUrl::fromUserInput(text.trimmed());
        const QHostAddress host(url.host());
        if (!url.isValid() || host.isNull() || !isLocalAddress(host)) {
            emit manualFailed(tr("Enter the renderer's description URL on your local network"));
            return;
        }
        // Renderers are built from their description, which this build does not fetch yet.
        spdlog::warn("CastDiscovery: manual renderer {} not added: description fetch unavailable",
            url.toDisplayString().toStdString());
        return;
    }
    const ManualEntry entry = parseManualEntry(type, text);
    if (!entry.error.isEmpty()) {
        emit manualFailed(entry.error);
        return;
    }
    probe(type, entry.address, entry.port);
}

void CastDiscovery::probe(int type, const QHostAddress& address, quint16 port)
{
    auto* socket = new QTcpSocket(this);
    // Whichever of connected, error and time-out comes first decides; the socket may still report more
    // (the peer closing, the abort) before it is deleted, and that must not turn a success into a failure.
    auto decided = std::make_shared<bool>(false);
    auto finish = [this, socket, decided] {
        *decided = true;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    };
    auto fail = [this, address, port] {
        emit manualFailed(tr("Nothing answered at %1:%2").arg(address.toString()).arg(port));
    };
    connect(socket, &QTcpSocket::connected, this, [this, type, address, port, finish, decided] {
        if (*decided)
            return;
        finish();
        const bool airPlay = type != 0;
        CastDevice device;
        device.type = airPlay ? 1 : 0;
        device.id
            = QStringLiteral("%1:manual-%2:%3").arg(castDeviceTypeText(device.type), address.toString()).arg(port);
        device.name
            = airPlay ? tr("AirPlay at %1").arg(address.toString()) : tr("Cast receiver at %1").arg(address.toString());
        device.address = address;
        device.port = port;
        device.manual = true;
        upsertDevice(device);
    });
    connect(socket, &QTcpSocket::errorOccurred, this, [finish, fail, decided] {
        if (*decided)
            return;
        finish();
        fail();
    });
    // Tied to the socket, so a socket already gone takes its time-out with it.
    QTimer::singleShot(probeTimeoutMs_, socket, [finish, fail, decided] {
        if (*decided)
            return;
        finish();
        fail();
    });
    socket->connectToHost(address, port, QIODevice::ReadWrite);
}

} // namespace kvr::ui::cast
