#include "ui/cast/CastDiscovery.h"

#include <QDateTime>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QSet>
#include <QSysInfo>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QXmlStreamReader>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <memory>

namespace kvr::ui::cast {

namespace {

constexpr int kPruneIntervalMs = 30000;
constexpr int kQueryIntervalMs = 3000;
constexpr quint16 kMdnsPort = 5353;
constexpr int kMdnsTtl = 255;
constexpr int kSsdpTtl = 4;
constexpr quint16 kSsdpPort = 1900;
constexpr qint64 kFetchIntervalMs = 60000;
constexpr int kTransferTimeoutMs = 4000;

constexpr quint16 kTypeA = 1;
constexpr quint16 kTypePtr = 12;
constexpr quint16 kTypeTxt = 16;
constexpr quint16 kTypeSrv = 33;

const CastDiscovery::DnsName& castService()
{
    static const CastDiscovery::DnsName name { QStringLiteral("_googlecast"), QStringLiteral("_tcp"),
        QStringLiteral("local") };
    return name;
}

const CastDiscovery::DnsName& airPlayService()
{
    static const CastDiscovery::DnsName name { QStringLiteral("_airplay"), QStringLiteral("_tcp"),
        QStringLiteral("local") };
    return name;
}

const QHostAddress& mdnsGroup()
{
    static const QHostAddress group(QStringLiteral("224.0.0.251"));
    return group;
}

const QHostAddress& ssdpGroup()
{
    static const QHostAddress group(QStringLiteral("239.255.255.250"));
    return group;
}

quint16 read16(const QByteArray& message, int position)
{
    return quint16((quint8(message[position]) << 8) | quint8(message[position + 1]));
}

void append16(QByteArray& out, quint16 value)
{
    out.append(char(value >> 8));
    out.append(char(value & 0xFF));
}

CastDiscovery::DnsName lowerCase(const CastDiscovery::DnsName& name)
{
    CastDiscovery::DnsName lower;
    lower.reserve(name.size());
    for (const QString& label : name)
        lower.append(label.toLower());
    return lower;
}

// The service an instance belongs to, by the last labels of its lower-case name; empty for neither.
QString serviceOf(const CastDiscovery::DnsName& lowerName)
{
    for (const CastDiscovery::DnsName* service : { &castService(), &airPlayService() }) {
        const qsizetype n = service->size();
        if (lowerName.size() > n && lowerName.mid(lowerName.size() - n) == *service)
            return service->join(QLatin1Char('.'));
    }
    return {};
}

// Makes room for one more entry by dropping the one heard longest ago.
template <typename Table> void makeRoom(Table& table)
{
    if (table.size() < CastDiscovery::kMaxTableEntries)
        return;
    auto oldest = table.begin();
    for (auto it = table.begin(); it != table.end(); ++it)
        if (it->lastHeardMs < oldest->lastHeardMs)
            oldest = it;
    table.erase(oldest);
}

// Moves position past the datagram's questions; false when one cannot be read.
bool skipQuestions(const QByteArray& message, int questions, int& position)
{
    CastDiscovery::DnsName name;
    for (int i = 0; i < questions; ++i) {
        if (!CastDiscovery::readDnsName(message, position, name) || position + 4 > int(message.size()))
            return false;
        position += 4;
    }
    return true;
}

// The receiver an instance with its port and TXT record describes, without its address.
CastDevice serviceDevice(const CastDiscovery::PendingService& entry)
{
    const QString label = entry.name.value(0);
    CastDevice device;
    if (entry.serviceType == castService().join(QLatin1Char('.'))) {
        device.type = 0;
        device.id = QStringLiteral("chromecast:") + entry.txt.value(QStringLiteral("id"), label);
        device.name = entry.txt.value(QStringLiteral("fn"), label);
        device.model = entry.txt.value(QStringLiteral("md"));
    } else {
        device.type = 1;
        device.id = QStringLiteral("airplay:") + entry.txt.value(QStringLiteral("deviceid"), label);
        device.name = label;
        device.model = entry.txt.value(QStringLiteral("model"));
    }
    device.port = entry.port;
    return device;
}

} // namespace

CastDiscovery::CastDiscovery(QObject* parent)
    : QObject(parent)
    , clock_([] { return QDateTime::currentMSecsSinceEpoch(); })
{
    queryTimer_.setInterval(kQueryIntervalMs);
    connect(&queryTimer_, &QTimer::timeout, this, &CastDiscovery::queryTick);
    pruneTimer_.setInterval(kPruneIntervalMs);
    connect(&pruneTimer_, &QTimer::timeout, this, &CastDiscovery::pruneStale);
    pruneTimer_.start();
    network_.setTransferTimeout(kTransferTimeoutMs);
    // Renderers sit on the local network: a proxy from the environment could not reach them, and would learn
    // every description address the LAN announces.
    network_.setProxy(QNetworkProxy::NoProxy);
}

CastDiscovery::~CastDiscovery()
{
    queryTimer_.stop();
    pruneTimer_.stop();
    // Probe sockets are children and go with the registry; none of their signals may reach a half-destroyed
    // registry.
    for (QTcpSocket* socket : findChildren<QTcpSocket*>(QString(), Qt::FindDirectChildrenOnly))
        socket->disconnect(this);
    for (const auto& socket : mdnsSockets_)
        socket->disconnect(this);
    for (const auto& socket : ssdpSockets_)
        socket->disconnect(this);
    // Fetches still open end with the manager, reporting nothing.
    for (QNetworkReply* reply : network_.findChildren<QNetworkReply*>())
        reply->disconnect(this);
    mdnsSockets_.clear();
    ssdpSockets_.clear();
}

bool CastDiscovery::discoveryAllowed()
{
    return qgetenv("KESTRUNE_CAST_DISCOVERY").trimmed().toLower() != "off";
}

void CastDiscovery::start()
{
    if (!discoveryAllowed()) {
        if (!switchedOffLogged_)
            spdlog::info("CastDiscovery: discovery switched off (KESTRUNE_CAST_DISCOVERY=off), nothing is sent");
        switchedOffLogged_ = true;
        return;
    }
    openSockets();
    sendBurst();
    burstsLeft_ = 2;
    if (!queryTimer_.isActive())
        queryTimer_.start();
}

void CastDiscovery::rescan(bool on)
{
    continuous_ = on;
    if (on)
        start();
}

void CastDiscovery::queryTick()
{
    sendBurst();
    if (continuous_)
        return;
    if (--burstsLeft_ <= 0)
        queryTimer_.stop();
}

void CastDiscovery::sendBurst()
{
    sendQuery({ castService(), airPlayService() }, kTypePtr);
    sendSsdpSearch();
}

QList<QNetworkInterface> CastDiscovery::usableInterfaces()
{
    QList<QNetworkInterface> usable;
    const auto wanted = QNetworkInterface::IsUp | QNetworkInterface::IsRunning | QNetworkInterface::CanMulticast;
    for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces()) {
        if ((iface.flags() & wanted) != wanted)
            continue;
        const auto entries = iface.addressEntries();
        const bool hasIpv4 = std::any_of(entries.begin(), entries.end(),
            [](const QNetworkAddressEntry& e) { return e.ip().protocol() == QAbstractSocket::IPv4Protocol; });
        if (hasIpv4)
            usable.append(iface);
    }
    return usable;
}

void CastDiscovery::openSockets()
{
    if (!mdnsSockets_.empty() || !ssdpSockets_.empty())
        return;
    for (const QNetworkInterface& iface : usableInterfaces()) {
        QHostAddress ipv4;
        for (const QNetworkAddressEntry& entry : iface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol) {
                ipv4 = entry.ip();
                break;
            }
        }
        if (ipv4.isLoopback())
            continue;
        // No group is joined and no well-known port is taken: answers come back by unicast to the socket that
        // asked, so only the interface's own address and an ephemeral port are bound.
        auto open
            = [&](int ttl, void (CastDiscovery::*reader)(QUdpSocket*), std::vector<std::unique_ptr<QUdpSocket>>& list) {
                  auto socket = std::make_unique<QUdpSocket>();
                  if (!socket->bind(ipv4, 0)) {
                      spdlog::warn("CastDiscovery: cannot bind a socket on {} ({}): {}", iface.name().toStdString(),
                          ipv4.toString().toStdString(), socket->errorString().toStdString());
                      return;
                  }
                  socket->setMulticastInterface(iface);
                  socket->setSocketOption(QAbstractSocket::MulticastTtlOption, ttl);
                  QUdpSocket* raw = socket.get();
                  connect(raw, &QUdpSocket::readyRead, this, [this, raw, reader] { (this->*reader)(raw); });
                  list.push_back(std::move(socket));
              };
        open(kMdnsTtl, &CastDiscovery::readMdns, mdnsSockets_);
        open(kSsdpTtl, &CastDiscovery::readSsdp, ssdpSockets_);
    }
    spdlog::info("CastDiscovery: {} mDNS and {} SSDP socket(s) open", mdnsSockets_.size(), ssdpSockets_.size());
}

QByteArray CastDiscovery::buildQuery(const QList<DnsName>& names, quint16 qtype, quint16 id)
{
    QByteArray out;
    out.reserve(12 + 64 * names.size());
    append16(out, id);
    append16(out, 0);
    append16(out, quint16(names.size()));
    append16(out, 0);
    append16(out, 0);
    append16(out, 0);
    for (const DnsName& name : names) {
        for (const QString& label : name) {
            const QByteArray bytes = label.toUtf8().left(63);
            if (bytes.isEmpty())
                continue;
            out.append(char(bytes.size()));
            out.append(bytes);
        }
        out.append('\0');
        append16(out, qtype);
        append16(out, 1);
    }
    return out;
}

void CastDiscovery::sendQuery(const QList<DnsName>& names, quint16 qtype)
{
    const auto id = quint16(QRandomGenerator::global()->bounded(1, 65535));
    const QByteArray datagram = buildQuery(names, qtype, id);
    if (queryObserver_)
        queryObserver_(datagram);
    // Each write's result is ignored: an interface that went away costs one burst, and the next one retries.
    for (const auto& socket : mdnsSockets_)
        socket->writeDatagram(datagram, mdnsGroup(), kMdnsPort);
}

bool CastDiscovery::readDnsName(const QByteArray& message, int& position, DnsName& name)
{
    name.clear();
    const int size = int(message.size());
    int at = position;
    int next = -1;
    // A name has at most 63 labels; the step limit also ends pointer loops.
    for (int step = 0; step < 64; ++step) {
        if (at < 0 || at >= size)
            return false;
        const int length = quint8(message[at]);
        if (length == 0) {
            position = next >= 0 ? next : at + 1;
            return true;
        }
        if (length < 192) {
            if (at + 1 + length > size)
                return false;
            name.append(QString::fromUtf8(message.constData() + at + 1, length));
            at += 1 + length;
            continue;
        }
        if (at + 1 >= size)
            return false;
        if (next < 0)
            next = at + 2;
        at = ((length << 8) & 0x3FFF) | quint8(message[at + 1]);
    }
    return false;
}

QString CastDiscovery::nameKey(const DnsName& name)
{
    QStringList escaped;
    escaped.reserve(name.size());
    for (QString label : name)
        escaped.append(
            label.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('.'), QLatin1String("\\.")));
    return escaped.join(QLatin1Char('.'));
}

void CastDiscovery::readMdns(QUdpSocket* socket)
{
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram(kMaxDatagramBytes);
        if (!datagram.isValid())
            break;
        receiveMdns(datagram.data(), datagram.senderAddress());
    }
}

void CastDiscovery::readSsdp(QUdpSocket* socket)
{
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram(kMaxSsdpBytes);
        if (!datagram.isValid())
            break;
        receiveSsdp(datagram.data(), datagram.senderAddress());
    }
}

QByteArray CastDiscovery::ssdpSearchDatagram()
{
    // The user agent names the system we run on, not the one the protocol's examples assume.
    return QByteArrayLiteral("M-SEARCH * HTTP/1.1\r\n"
                             "HOST: 239.255.255.250:1900\r\n"
                             "MAN: \"ssdp:discover\"\r\n"
                             "MX: 2\r\n"
                             "ST: urn:schemas-upnp-org:device:MediaRenderer:1\r\n"
                             "USER-AGENT: Linux/")
        + QSysInfo::kernelVersion().toLatin1() + QByteArrayLiteral(" UPnP/1.1 KestruneMediaPlayer/1.0\r\n\r\n");
}

void CastDiscovery::sendSsdpSearch()
{
    if (ssdpSockets_.empty())
        return;
    const QByteArray datagram = ssdpSearchDatagram();
    // As with mDNS, a failed write costs one burst and the next one retries.
    for (const auto& socket : ssdpSockets_)
        socket->writeDatagram(datagram, ssdpGroup(), kSsdpPort);
}

std::optional<CastDiscovery::SsdpAnswer> CastDiscovery::parseSsdpAnswer(
    const QByteArray& datagram, const QHostAddress& sender)
{
    bool isIpv4 = false;
    const quint32 ipv4 = sender.toIPv4Address(&isIpv4);
    const QHostAddress from(isIpv4 ? ipv4 : 0u);
    if (!isLocalAddress(from))
        return std::nullopt;
    SsdpAnswer answer;
    for (const QByteArray& line : datagram.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toUpper();
        if (name == "LOCATION")
            answer.location = QUrl(QString::fromUtf8(line.mid(colon + 1).trimmed()));
        else if (name == "USN")
            answer.usn = QString::fromUtf8(line.mid(colon + 1).trimmed());
    }
    // Only a renderer describing itself is believed: a LOCATION on another machine, or behind a host name,
    // would let any sender point the player anywhere.
    if (!answer.location.isValid() || QHostAddress(answer.location.host()) != from)
        return std::nullopt;
    return answer;
}

void CastDiscovery::receiveSsdp(const QByteArray& datagram, const QHostAddress& sender)
{
    const std::optional<SsdpAnswer> answer = parseSsdpAnswer(datagram.left(kMaxSsdpBytes), sender);
    if (!answer)
        return;
    const qint64 now = clock_();
    const QString key = answer->location.toString();
    auto it = fetches_.find(key);
    if (it == fetches_.end() || now - *it >= kFetchIntervalMs) {
        if (it == fetches_.end() && fetches_.size() >= kMaxFetchEntries) {
            auto oldest = fetches_.begin();
            for (auto entry = fetches_.begin(); entry != fetches_.end(); ++entry)
                if (*entry < *oldest)
                    oldest = entry;
            fetches_.erase(oldest);
        }
        // Stored before the fetch: a failing one also waits its minute.
        fetches_.insert(key, now);
        fetchDescription(answer->location, answer->usn, false);
        return;
    }
    for (CastDevice& device : devices_)
        if (device.descriptionUrl == answer->location)
            device.lastSeenMs = now;
}

void CastDiscovery::fetchDescription(const QUrl& url, const QString& usn, bool manual)
{
    QNetworkRequest request(url);
    // A redirect could lead anywhere; its answer is final.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply* reply = network_.get(request);
    // A description is a few kilobytes; a peer streaming without end must not fill the memory.
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64 total) {
        if (received > kMaxDescriptionBytes || total > kMaxDescriptionBytes) {
            reply->setProperty("kvrTooLarge", true);
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this,
        [this, reply, url, usn, manual] { onDescriptionReply(reply, url, usn, manual); });
}

void CastDiscovery::onDescriptionReply(QNetworkReply* reply, const QUrl& url, const QString& usn, bool manual)
{
    reply->deleteLater();
    bool tooLarge = reply->property("kvrTooLarge").toBool();
    QByteArray body;
    if (!tooLarge) {
        body = reply->read(kMaxDescriptionBytes + 1);
        tooLarge = body.size() > kMaxDescriptionBytes;
    }
    if (tooLarge || reply->error() != QNetworkReply::NoError || body.isEmpty()) {
        if (!manual)
            return;
        QString why;
        if (tooLarge)
            why = tr("the description is larger than 1 MiB");
        else if (reply->error() != QNetworkReply::NoError)
            why = reply->errorString();
        else if (const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
                 !target.isEmpty())
            why = tr("redirected to %1").arg(url.resolved(target).toString());
        else
            why = tr("empty answer");
        emit manualFailed(tr("No DLNA renderer answered at %1 (%2)").arg(url.toString(), why));
        return;
    }
    const std::optional<CastDevice> device = readDescription(body, url, usn, manual);
    if (!device) {
        if (manual)
            emit manualFailed(tr("%1 is not a DLNA media renderer (no AVTransport service)").arg(url.toString()));
        return;
    }
    // A manual renderer restored from the settings stands in until its description answers; the answer
    // replaces it, even when the renderer now goes by another id.
    bool replaced = false;
    if (manual) {
        replaced = devices_.removeIf([&](const QHash<QString, CastDevice>::iterator& it) {
            return it->manual && it->descriptionUrl == url && it->id != device->id;
        }) > 0;
    }
    if (storeDevice(*device) || replaced)
        emit devicesChanged();
}

bool CastDiscovery::isLocalControlUrl(const QUrl& url)
{
    if (!url.isValid() || url.scheme() != QLatin1String("http"))
        return false;
    const QHostAddress host(url.host());
    return !host.isNull() && isLocalAddress(host);
}

std::optional<CastDevice> CastDiscovery::readDescription(
    const QByteArray& body, const QUrl& url, const QString& usn, bool manual)
{
    struct Service {
        QString type;
        QString control;
    };
    QUrl base = url;
    QString friendlyName, modelName, manufacturer, udn;
    QString serviceType, controlUrl;
    QList<Service> services;
    QXmlStreamReader xml(body);
    // What was read up to an XML error still counts.
    while (!xml.atEnd() && !xml.hasError()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::EndElement) {
            if (xml.name() == QLatin1String("service")) {
                services.append({ serviceType, controlUrl });
                serviceType.clear();
                controlUrl.clear();
            }
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        const QStringView name = xml.name();
        auto text = [&xml] { return xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed(); };
        auto first = [&](QString& value) {
            const QString read = text();
            if (value.isEmpty())
                value = read;
        };
        if (name == QLatin1String("URLBase"))
            base = QUrl(text());
        else if (name == QLatin1String("friendlyName"))
            first(friendlyName);
        else if (name == QLatin1String("modelName"))
            first(modelName);
        else if (name == QLatin1String("manufacturer"))
            first(manufacturer);
        else if (name == QLatin1String("UDN"))
            first(udn);
        else if (name == QLatin1String("serviceType"))
            serviceType = text();
        else if (name == QLatin1String("controlURL"))
            controlUrl = text();
    }

    // Control URLs are resolved once the whole document is read: renderers also put URLBase after the device.
    // A service whose control URL leaves the local network counts as absent, so no description can make the
    // player send commands to some other host.
    QUrl avTransport, renderingControl;
    for (const Service& service : services) {
        const QUrl resolved = base.resolved(QUrl(service.control));
        if (!isLocalControlUrl(resolved))
            continue;
        if (service.type.contains(QLatin1String(":AVTransport:")))
            avTransport = resolved;
        else if (service.type.contains(QLatin1String(":RenderingControl:")))
            renderingControl = resolved;
    }
    if (!avTransport.isValid())
        return std::nullopt;

    CastDevice device;
    device.type = 2;
    // Without a UDN or USN the description URL keeps two such renderers apart.
    QString key = udn;
    if (key.isEmpty())
        key = usn.section(QLatin1String("::"), 0, 0);
    if (key.isEmpty())
        key = url.toString();
    device.id = QStringLiteral("dlna:") + key;
    device.name = friendlyName.isEmpty() ? url.host() : friendlyName;
    device.model = (manufacturer + QLatin1Char(' ') + modelName).trimmed();
    device.address = QHostAddress(url.host());
    device.port = quint16(url.port(80));
    device.avTransportUrl = avTransport;
    device.renderingControlUrl = renderingControl;
    device.descriptionUrl = url;
    device.manual = manual;
    return device;
}

void CastDiscovery::receiveMdns(const QByteArray& datagram, const QHostAddress& sender)
{
    bool isIpv4 = false;
    const quint32 ipv4 = sender.toIPv4Address(&isIpv4);
    const QHostAddress from = isIpv4 ? QHostAddress(ipv4) : sender;
    if (!isLocalAddress(from))
        return;
    parseMdns(datagram.left(kMaxDatagramBytes), from);
}

// One resource record of a datagram: its owner name, type and where its data lies.
struct CastDiscovery::MdnsRecord {
    QHostAddress sender;
    qint64 now = 0;
    DnsName name;
    DnsName lowerOwner;
    quint16 type = 0;
    int data = 0;
    int length = 0;
};

// The instances one datagram spoke about, in the order it did, those among them a PTR announced, and the hosts
// whose address it gave.
struct CastDiscovery::MdnsTouched {
    QStringList order;
    QSet<QString> seen;
    QSet<QString> announced;
    QSet<QString> addressedHosts;

    void touch(const QString& key)
    {
        if (!seen.contains(key)) {
            seen.insert(key);
            order.append(key);
        }
    }
};

CastDiscovery::PendingService& CastDiscovery::pendingEntry(const DnsName& name, qint64 now)
{
    const QString key = nameKey(name);
    auto it = pending_.find(key);
    if (it == pending_.end()) {
        makeRoom(pending_);
        it = pending_.insert(key, PendingService {});
        it->name = name;
    }
    it->lastHeardMs = now;
    return *it;
}

void CastDiscovery::parseMdns(const QByteArray& message, const QHostAddress& sender)
{
    if (message.size() < 12)
        return;
    const int records = read16(message, 6) + read16(message, 8) + read16(message, 10);
    int position = 12;
    if (!skipQuestions(message, read16(message, 4), position))
        return;

    const qint64 now = clock_();
    MdnsTouched touched;
    if (!readRecords(message, position, records, sender, now, touched))
        return;
    touchAddressedInstances(touched, now);
    const QList<DnsName> followUp = assembleTouched(touched);
    if (!followUp.isEmpty()) {
        sendQuery(followUp, kTypeSrv);
        sendQuery(followUp, kTypeTxt);
    }
}

bool CastDiscovery::readRecords(
    const QByteArray& message, int position, int records, const QHostAddress& sender, qint64 now, MdnsTouched& touched)
{
    const int size = int(message.size());
    MdnsRecord record;
    record.sender = sender;
    record.now = now;
    for (int i = 0; i < records; ++i) {
        // A record that cannot be read ends the walk: what came before stays, nothing is assembled.
        if (!readDnsName(message, position, record.name) || position + 10 > size)
            return false;
        record.type = read16(message, position);
        record.length = read16(message, position + 8);
        record.data = position + 10;
        if (record.data + record.length > size)
            return false;
        position = record.data + record.length;
        record.lowerOwner = lowerCase(record.name);

        if (record.type == kTypePtr)
            readPtrRecord(message, record, touched);
        else if (record.type == kTypeSrv && record.length > 6)
            readSrvRecord(message, record, touched);
        else if (record.type == kTypeTxt)
            readTxtRecord(message, record, touched);
        else if (record.type == kTypeA && record.length == 4)
            readARecord(message, record, touched);
    }
    return true;
}

void CastDiscovery::readPtrRecord(const QByteArray& message, const MdnsRecord& record, MdnsTouched& touched)
{
    const DnsName& lowerOwner = record.lowerOwner;
    const QString service
        = lowerOwner == castService() || lowerOwner == airPlayService() ? lowerOwner.join(QLatin1Char('.')) : QString();
    int at = record.data;
    DnsName instance;
    if (service.isEmpty() || !readDnsName(message, at, instance))
        return;
    PendingService& entry = pendingEntry(instance, record.now);
    entry.serviceType = service;
    entry.address = record.sender;
    const QString key = nameKey(instance);
    touched.touch(key);
    touched.announced.insert(key);
}

void CastDiscovery::readSrvRecord(const QByteArray& message, const MdnsRecord& record, MdnsTouched& touched)
{
    int at = record.data + 6;
    DnsName host;
    if (!readDnsName(message, at, host))
        return;
    PendingService& entry = pendingEntry(record.name, record.now);
    entry.port = read16(message, record.data + 4);
    entry.target = nameKey(lowerCase(host));
    if (entry.address.isNull())
        entry.address = record.sender;
    touched.touch(nameKey(record.name));
}

void CastDiscovery::readTxtRecord(const QByteArray& message, const MdnsRecord& record, MdnsTouched& touched)
{
    PendingService& entry = pendingEntry(record.name, record.now);
    const int end = record.data + record.length;
    for (int at = record.data; at < end;) {
        const int declared = quint8(message[at]);
        ++at;
        const int taken = std::min(declared, end - at);
        const QString text = QString::fromUtf8(message.constData() + at, taken);
        at += taken;
        const qsizetype equals = text.indexOf(QLatin1Char('='));
        if (equals >= 1)
            entry.txt.insert(text.left(equals).toLower(), text.mid(equals + 1));
    }
    if (entry.address.isNull())
        entry.address = record.sender;
    touched.touch(nameKey(record.name));
}

void CastDiscovery::readARecord(const QByteArray& message, const MdnsRecord& record, MdnsTouched& touched)
{
    const int data = record.data;
    const QString key = nameKey(record.lowerOwner);
    auto it = hosts_.find(key);
    if (it == hosts_.end()) {
        makeRoom(hosts_);
        it = hosts_.insert(key, HostAddress {});
    }
    it->address = QHostAddress(quint32((quint8(message[data]) << 24) | (quint8(message[data + 1]) << 16)
        | (quint8(message[data + 2]) << 8) | quint8(message[data + 3])));
    it->lastHeardMs = record.now;
    touched.addressedHosts.insert(key);
}

void CastDiscovery::touchAddressedInstances(MdnsTouched& touched, qint64 now)
{
    // An instance whose host's address arrived was heard of too.
    if (touched.addressedHosts.isEmpty())
        return;
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (!it->target.isEmpty() && touched.addressedHosts.contains(it->target)) {
            it->lastHeardMs = now;
            touched.touch(it.key());
        }
    }
}

QList<CastDiscovery::DnsName> CastDiscovery::assembleTouched(const MdnsTouched& touched)
{
    QList<DnsName> followUp;
    for (const QString& key : touched.order) {
        auto it = pending_.find(key);
        if (it == pending_.end())
            continue;
        if (it->serviceType.isEmpty())
            it->serviceType = serviceOf(lowerCase(it->name));
        if (it->serviceType.isEmpty())
            continue;
        // A copy: upsertDevice announces, and whoever listens may change the tables.
        const PendingService entry = *it;
        if (entry.port == 0 || entry.txt.isEmpty()) {
            if (touched.announced.contains(key))
                followUp.append(entry.name);
            continue;
        }
        CastDevice device = serviceDevice(entry);
        const auto host = hosts_.constFind(entry.target);
        device.address = host != hosts_.cend() ? host->address : entry.address;
        // A local sender may still name any address in its answer; the control connection would go there.
        if (device.address.isNull() || !isLocalAddress(device.address))
            continue;
        upsertDevice(device);
    }
    return followUp;
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
    if (storeDevice(std::move(device)))
        emit devicesChanged();
}

bool CastDiscovery::storeDevice(CastDevice device)
{
    device.lastSeenMs = clock_();
    auto it = devices_.find(device.id);
    if (it == devices_.end()) {
        devices_.insert(device.id, device);
        return true;
    }
    device.manual = device.manual || it->manual;
    const bool visible = device.name != it->name || device.address != it->address || device.port != it->port;
    *it = device;
    return visible;
}

void CastDiscovery::pruneStale()
{
    const qint64 cutoff = clock_() - qint64(timeToLiveSeconds_) * 1000;
    pruneWorkingTables(cutoff);
    const auto removed = devices_.removeIf(
        [cutoff](const QHash<QString, CastDevice>::iterator& it) { return !it->manual && it->lastSeenMs < cutoff; });
    if (removed > 0)
        emit devicesChanged();
}

void CastDiscovery::pruneWorkingTables(qint64 cutoff)
{
    // What no peer repeated within the time to live is forgotten, so a silent receiver cannot be rebuilt from
    // old records.
    pending_.removeIf(
        [cutoff](const QHash<QString, PendingService>::iterator& it) { return it->lastHeardMs < cutoff; });
    hosts_.removeIf([cutoff](const QHash<QString, HostAddress>::iterator& it) { return it->lastHeardMs < cutoff; });
}

void CastDiscovery::removeManual(const QString& id)
{
    if (devices_.remove(id))
        emit devicesChanged();
}

void CastDiscovery::restoreManual(const QList<CastDevice>& devices)
{
    for (CastDevice device : devices) {
        device.manual = true;
        // Listed at once, so a renderer that is off at start-up is neither hidden nor dropped from the settings
        // by the next change; its fresh description refreshes it when it answers.
        upsertDevice(device);
        const QHostAddress host(device.descriptionUrl.host());
        if (device.type == 2 && device.descriptionUrl.isValid() && !host.isNull() && isLocalAddress(host))
            fetchDescription(device.descriptionUrl, QString(), true);
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
        fetchDescription(url, QString(), true);
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
            = airPlay ? tr("AirPlay at %1").arg(address.toString()) : tr("Chromecast at %1").arg(address.toString());
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
