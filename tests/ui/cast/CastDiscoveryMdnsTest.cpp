// The mDNS wire code without sockets: query datagrams, name reading, and answers fed to the parser as bytes.
#include "tests/ui/GTestQtPrinters.h"
#include "ui/cast/CastDiscovery.h"

#include <QSet>
#include <QSignalSpy>

#include <gtest/gtest.h>

using kvr::ui::cast::CastDevice;
using kvr::ui::cast::CastDiscovery;
using DnsName = CastDiscovery::DnsName;

namespace {

const DnsName kCast { "_googlecast", "_tcp", "local" };
const DnsName kAirPlay { "_airplay", "_tcp", "local" };
const QHostAddress kSender(QStringLiteral("192.168.1.77"));

DnsName instance(const QString& label, const DnsName& service)
{
    return DnsName { label } + service;
}

QByteArray u16(int v)
{
    const char bytes[2] = { char((v >> 8) & 0xFF), char(v & 0xFF) };
    return QByteArray(bytes, 2);
}

// An uncompressed name.
QByteArray encode(const DnsName& name)
{
    QByteArray out;
    for (const QString& label : name) {
        const QByteArray bytes = label.toUtf8();
        out.append(char(bytes.size()));
        out.append(bytes);
    }
    out.append('\0');
    return out;
}

// A compression pointer to an offset in the message.
QByteArray pointer(int offset)
{
    return u16(0xC000 | offset);
}

// A DNS message put together record by record; owner names and record data are raw bytes, so a fixture can
// hold pointers, loops and lengths that lie.
struct Message {
    QByteArray bytes = QByteArray(12, '\0');
    int questions = 0;
    int answers = 0;

    int offset() const { return int(bytes.size()); }
    Message& question(const QByteArray& name, int type)
    {
        bytes += name + u16(type) + u16(1);
        ++questions;
        return *this;
    }
    Message& record(const QByteArray& owner, int type, const QByteArray& data, int declaredLength = -1)
    {
        bytes += owner + u16(type) + u16(0x8001) + QByteArray("\0\0\x11\x94", 4)
            + u16(declaredLength >= 0 ? declaredLength : int(data.size())) + data;
        ++answers;
        return *this;
    }
    QByteArray done() const
    {
        QByteArray out = bytes;
        out.replace(0, 2, u16(0));
        out.replace(2, 2, u16(0x8400));
        out.replace(4, 2, u16(questions));
        out.replace(6, 2, u16(answers));
        return out;
    }
};

QByteArray srvData(int port, const QByteArray& host)
{
    return u16(0) + u16(0) + u16(port) + host;
}

QByteArray txtData(const QList<QByteArray>& strings)
{
    QByteArray out;
    for (const QByteArray& s : strings)
        out += char(s.size()) + s;
    return out;
}

QByteArray aData(const char* address)
{
    const quint32 v = QHostAddress(QString::fromLatin1(address)).toIPv4Address();
    return u16(int(v >> 16)) + u16(int(v & 0xFFFF));
}

// A full answer for one Chromecast, compressed as responders send it: PTR, SRV, TXT and the host's A record.
QByteArray castAnswer(const QString& label, const QByteArray& id, const char* hostAddress, int port = 8009)
{
    Message m;
    const int service = m.offset();
    m.record(encode(kCast), 12, encode(instance(label, kCast)));
    const int inst = service + int(encode(kCast).size()) + 10;
    const QByteArray host = encode({ label.toLower().remove(' ') + "-host", "local" });
    m.record(pointer(inst), 33, srvData(port, host));
    m.record(pointer(inst), 16, txtData({ "id=" + id, "fn=" + label.toUtf8() + " Speaker", "md=Chromecast Audio" }));
    m.record(host, 1, aData(hostAddress));
    return m.done();
}

// A registry with its wall clock in the test's hands and every query it sends recorded.
struct Registry {
    CastDiscovery discovery;
    qint64 now = 1'700'000'000'000;
    QList<QByteArray> queries;
    QSignalSpy changed { &discovery, &CastDiscovery::devicesChanged };

    Registry()
    {
        discovery.setClock([this] { return now; });
        discovery.setQueryObserver([this](const QByteArray& datagram) { queries.append(datagram); });
    }
    void feed(const QByteArray& message, const QHostAddress& sender = kSender)
    {
        discovery.receiveMdns(message, sender);
    }
};

// A query's bytes after its random ID.
QByteArray withoutId(const QByteArray& datagram)
{
    return datagram.mid(2);
}

} // namespace

TEST(CastDiscoveryMdns, BurstQueryIsTheSixtyFiveByteDatagram)
{
    const QByteArray expected = QByteArray::fromHex("123400000002000000000000") + "\x0b_googlecast\x04_tcp\x05local"
        + QByteArray("\0\0\x0c\0\x01", 5) + "\x08_airplay\x04_tcp\x05local" + QByteArray("\0\0\x0c\0\x01", 5);
    ASSERT_EQ(expected.size(), 65);
    EXPECT_EQ(CastDiscovery::buildQuery({ kCast, kAirPlay }, 12, 0x1234), expected);

    // What sendQuery puts on the wire: the same bytes under a fresh ID from 1 to 65534.
    Registry r;
    for (int i = 0; i < 20; ++i)
        r.discovery.sendQuery({ kCast, kAirPlay }, 12);
    ASSERT_EQ(r.queries.size(), 20);
    QSet<int> ids;
    for (const QByteArray& q : r.queries) {
        EXPECT_EQ(withoutId(q), withoutId(expected));
        const int id = (quint8(q[0]) << 8) | quint8(q[1]);
        EXPECT_GE(id, 1);
        EXPECT_LE(id, 65534);
        ids.insert(id);
    }
    EXPECT_GT(ids.size(), 1) << "every datagram draws its own ID";
}

TEST(CastDiscoveryMdns, QueryNamesAreWrittenLabelByLabel)
{
    const QString longLabel(70, QLatin1Char('x'));
    const struct {
        const char* what;
        DnsName name;
        QByteArray qname;
    } cases[] = {
        { "label over 63 bytes cut to 63", { longLabel, "local" },
            "\x3f" + QByteArray(63, 'x') + "\x05local" + QByteArray(1, '\0') },
        { "a dot inside a label stays in it", instance("Mr. Smith's TV", kAirPlay),
            "\x0eMr. Smith's TV\x08_airplay\x04_tcp\x05local" + QByteArray(1, '\0') },
        { "empty labels dropped", { "", "a", "", "local" },
            "\x01"
            "a\x05local"
                + QByteArray(1, '\0') },
        { "UTF-8 bytes counted",
            { QString::fromUtf8("K\xc3\xbc"
                                "che"),
                "local" },
            "\x06K\xc3\xbc"
            "che\x05local"
                + QByteArray(1, '\0') },
    };
    for (const auto& c : cases) {
        const QByteArray expected
            = QByteArray::fromHex("000700000001000000000000") + c.qname + QByteArray("\0\x21\0\x01", 4);
        EXPECT_EQ(CastDiscovery::buildQuery({ c.name }, 33, 7), expected) << c.what;
    }
}

TEST(CastDiscoveryMdns, ReadsNamesWithPointersAndRefusesBrokenOnes)
{
    // Offsets: 0 "local", 7 "_tcp" -> pointer to 0, 14 pointer loop to itself, 16 label running past the end.
    QByteArray message = "\x05local" + QByteArray(1, '\0') + "\x04_tcp" + pointer(0) + pointer(14) + "\x09short";
    ASSERT_EQ(message.indexOf("\x04_tcp"), 7);
    QByteArray deep;
    for (int i = 0; i < 63; ++i)
        deep += "\x01x";
    const QByteArray sixtyThree = deep + QByteArray(1, '\0');
    const QByteArray sixtyFour = "\x01x" + sixtyThree;

    const struct {
        const char* what;
        QByteArray message;
        int start;
        bool ok;
        DnsName name;
        int end;
    } cases[] = {
        { "plain name", message, 0, true, { "local" }, 7 },
        { "pointer: position stays after it", message, 7, true, { "_tcp", "local" }, 14 },
        { "pointer loop fails", message, 14, false, {}, 14 },
        { "label past the end fails", message, 16, false, {}, 16 },
        { "reading at the end fails", message, int(message.size()), false, {}, int(message.size()) },
        { "63 labels read", sixtyThree, 0, true, DnsName(63, "x"), int(sixtyThree.size()) },
        { "64 labels fail", sixtyFour, 0, false, {}, 0 },
        { "root name is empty", QByteArray(1, '\0'), 0, true, {}, 1 },
        { "pointer missing its second byte", QByteArray(1, char(0xC0)), 0, false, {}, 0 },
    };
    for (const auto& c : cases) {
        int position = c.start;
        DnsName name;
        EXPECT_EQ(CastDiscovery::readDnsName(c.message, position, name), c.ok) << c.what;
        EXPECT_EQ(position, c.end) << c.what;
        if (c.ok) {
            EXPECT_EQ(name, c.name) << c.what;
        }
    }

    // A dotted label and the same text as two labels are different names.
    EXPECT_EQ(CastDiscovery::nameKey(instance("Mr. Smith's TV", kAirPlay)), "Mr\\. Smith's TV._airplay._tcp.local");
    EXPECT_NE(CastDiscovery::nameKey({ "a.b", "c" }), CastDiscovery::nameKey({ "a", "b", "c" }));
    EXPECT_NE(CastDiscovery::nameKey({ "a\\", "b" }), CastDiscovery::nameKey({ "a\\.b" }));
}

TEST(CastDiscoveryMdns, FullAnswerGivesOneReceiver)
{
    Registry r;
    r.feed(castAnswer("Den", "abc123", "192.168.1.50"));
    EXPECT_EQ(r.changed.count(), 1);
    const CastDevice* d = r.discovery.device("chromecast:abc123");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->type, 0);
    EXPECT_EQ(d->name, "Den Speaker");
    EXPECT_EQ(d->model, "Chromecast Audio");
    EXPECT_EQ(d->port, 8009);
    EXPECT_EQ(d->address, QHostAddress("192.168.1.50")) << "the A record's address, not the sender's";
    EXPECT_FALSE(d->manual);
    EXPECT_EQ(d->lastSeenMs, r.now);
    EXPECT_TRUE(r.queries.isEmpty()) << "a complete answer asks nothing more";

    // The same answer again refreshes without an announcement.
    r.now += 5000;
    r.feed(castAnswer("Den", "abc123", "192.168.1.50"));
    EXPECT_EQ(r.changed.count(), 1);
    EXPECT_EQ(r.discovery.device("chromecast:abc123")->lastSeenMs, r.now);
}

// A local sender may still place a receiver anywhere; choosing it would send the control connection there. Only
// addresses of the local network are taken, as for SSDP.
TEST(CastDiscoveryMdns, AnswersPlacingAReceiverOutsideTheLocalNetworkListNothing)
{
    const struct {
        const char* address;
        bool listed;
    } rows[] = {
        { "8.8.8.8", false },
        { "100.64.0.1", false },
        { "224.0.0.251", false },
        { "0.0.0.0", false },
        { "192.168.7.20", true },
        { "10.1.2.3", true },
        { "172.31.255.1", true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.address);
        Registry r;
        r.feed(castAnswer("Den", "abc123", row.address));
        EXPECT_EQ(r.discovery.devices().size(), row.listed ? 1 : 0);
        EXPECT_EQ(r.changed.count(), row.listed ? 1 : 0);
        if (row.listed) {
            EXPECT_EQ(r.discovery.device("chromecast:abc123")->address, QHostAddress(QString::fromLatin1(row.address)));
        }
    }
}

TEST(CastDiscoveryMdns, PtrOnlyAsksForSrvAndTxtAndCompletesWithTheFullLabel)
{
    Registry r;
    const DnsName tv = instance("Mr. Smith's TV", kAirPlay);
    r.feed(Message().record(encode(kAirPlay), 12, encode(tv)).done());
    EXPECT_EQ(r.changed.count(), 0);
    ASSERT_EQ(r.queries.size(), 2);
    EXPECT_EQ(withoutId(r.queries[0]), withoutId(CastDiscovery::buildQuery({ tv }, 33, 0)));
    EXPECT_EQ(withoutId(r.queries[1]), withoutId(CastDiscovery::buildQuery({ tv }, 16, 0)));

    // The answers, each for the instance alone; the SRV target has no A record, so the sender's address counts.
    r.feed(Message().record(encode(tv), 33, srvData(7000, encode({ "tv", "local" }))).done());
    EXPECT_EQ(r.changed.count(), 0);
    EXPECT_EQ(r.queries.size(), 2) << "only an announcing PTR asks again";
    r.feed(Message().record(encode(tv), 16, txtData({ "deviceid=AA:BB:CC:00:11:22", "model=AppleTV3,2" })).done());
    EXPECT_EQ(r.changed.count(), 1);
    const CastDevice* d = r.discovery.device("airplay:AA:BB:CC:00:11:22");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->type, 1);
    EXPECT_EQ(d->name, "Mr. Smith's TV");
    EXPECT_EQ(d->model, "AppleTV3,2");
    EXPECT_EQ(d->port, 7000);
    EXPECT_EQ(d->address, kSender);
}

TEST(CastDiscoveryMdns, TxtStringsAndFallbacks)
{
    Registry r;
    const DnsName cast = instance("Hall", kCast);
    const DnsName air = instance("Porch", kAirPlay);
    Message m;
    m.record(encode(cast), 33, srvData(8009, encode({ "hall", "local" })));
    m.record(encode(cast), 16, txtData({ "fn=", "=x", "flag", "Md=Hub=2" }));
    m.record(encode(air), 33, srvData(7000, encode({ "porch", "local" })));
    // A string claiming more bytes than the record holds takes what is left.
    m.record(encode(air), 16, txtData({ "a=1" }) + "\x20Model=Cut");
    r.feed(m.done());

    const auto& pending = r.discovery.pendingServices();
    const QHash<QString, QString> castTxt { { "fn", "" }, { "md", "Hub=2" } };
    EXPECT_EQ(pending.value(CastDiscovery::nameKey(cast)).txt, castTxt);
    const QHash<QString, QString> airTxt { { "a", "1" }, { "model", "Cut" } };
    EXPECT_EQ(pending.value(CastDiscovery::nameKey(air)).txt, airTxt);

    // Present but empty is used as is; absent falls back to the instance's label.
    const CastDevice* hall = r.discovery.device("chromecast:Hall");
    ASSERT_NE(hall, nullptr);
    EXPECT_EQ(hall->name, "");
    EXPECT_EQ(hall->model, "Hub=2");
    const CastDevice* porch = r.discovery.device("airplay:Porch");
    ASSERT_NE(porch, nullptr);
    EXPECT_EQ(porch->name, "Porch");
    EXPECT_EQ(porch->model, "Cut");
}

TEST(CastDiscoveryMdns, MalformedDatagramsKeepWhatWasReadAndAssembleNothing)
{
    const DnsName den = instance("Den", kCast);
    const QByteArray srv = srvData(8009, encode({ "den", "local" }));
    const QByteArray txt = txtData({ "id=den1" });

    Message loopInQuestion;
    loopInQuestion.question(pointer(12), 12);
    loopInQuestion.record(encode(den), 33, srv).record(encode(den), 16, txt);

    Message loopInOwner;
    loopInOwner.record(encode(den), 33, srv).record(encode(den), 16, txt);
    loopInOwner.record(pointer(loopInOwner.offset()), 1, aData("192.168.1.9"));

    Message truncatedThird;
    truncatedThird.record(encode(den), 33, srv).record(encode(den), 16, txt);
    truncatedThird.record(encode({ "den", "local" }), 1, aData("192.168.1.9"), 40);

    // Records that end right at the 9000-byte mark are read whole; one byte further and the cut ends the walk.
    auto padded = [&](int end) {
        Message m;
        m.record(encode(den), 33, srv).record(encode(den), 16, txt);
        const int header = int(encode({ "pad" }).size()) + 10;
        m.record(encode({ "pad" }), 10, QByteArray(end - m.offset() - header, 'p'));
        return m.done() + QByteArray(200, 'z');
    };

    const struct {
        const char* what;
        QByteArray datagram;
        const char* sender;
        int pending;
        int devices;
    } cases[] = {
        { "11 bytes", QByteArray(11, '\0'), "192.168.1.77", 0, 0 },
        { "public sender", Message().record(encode(den), 33, srv).record(encode(den), 16, txt).done(), "8.8.8.8", 0,
            0 },
        { "IPv6 sender", Message().record(encode(den), 33, srv).record(encode(den), 16, txt).done(), "fe80::1", 0, 0 },
        { "IPv4-mapped local sender", Message().record(encode(den), 33, srv).record(encode(den), 16, txt).done(),
            "::ffff:192.168.1.77", 1, 1 },
        { "pointer loop in a question drops the datagram", loopInQuestion.done(), "192.168.1.77", 0, 0 },
        { "pointer loop in an owner keeps the records before", loopInOwner.done(), "192.168.1.77", 1, 0 },
        { "truncated third record keeps the first two", truncatedThird.done(), "192.168.1.77", 1, 0 },
        { "records within 9000 bytes", padded(9000), "192.168.1.77", 1, 1 },
        { "record past the 9000-byte cut", padded(9001), "192.168.1.77", 1, 0 },
    };
    for (const auto& c : cases) {
        Registry r;
        r.feed(c.datagram, QHostAddress(QString::fromLatin1(c.sender)));
        EXPECT_EQ(r.discovery.pendingServices().size(), c.pending) << c.what;
        EXPECT_EQ(r.discovery.devices().size(), c.devices) << c.what;
        EXPECT_EQ(r.changed.count(), c.devices) << c.what;
        EXPECT_TRUE(r.queries.isEmpty()) << c.what;
        if (c.pending == 1 && c.devices == 0) {
            // The records read before the bad one complete the receiver with the next good datagram.
            r.feed(Message().record(encode({ "den", "local" }), 1, aData("192.168.1.9")).done());
            const CastDevice* d = r.discovery.device("chromecast:den1");
            ASSERT_NE(d, nullptr) << c.what;
            EXPECT_EQ(d->address, QHostAddress("192.168.1.9")) << c.what;
        }
    }
}

TEST(CastDiscoveryMdns, SilentReceiverAgesOutWhileAnotherKeepsAnswering)
{
    Registry r;
    r.discovery.setTimeToLive(60);
    r.feed(castAnswer("Den", "den1", "192.168.1.50"));
    r.feed(castAnswer("Loft", "loft1", "192.168.1.51"));
    ASSERT_EQ(r.discovery.devices().size(), 2);

    // Only the loft answers from now on, every 5 s; the prune runs every 30 s.
    const qint64 silentSince = r.now;
    qint64 goneAt = 0;
    for (int second = 5; second <= 120 && goneAt == 0; second += 5) {
        r.now = silentSince + second * 1000;
        r.feed(castAnswer("Loft", "loft1", "192.168.1.51"));
        if (second % 30 == 0)
            r.discovery.pruneStale();
        if (r.discovery.device("chromecast:den1") == nullptr)
            goneAt = second;
        ASSERT_NE(r.discovery.device("chromecast:loft1"), nullptr) << "at " << second << " s";
    }
    EXPECT_GT(goneAt, 60);
    EXPECT_LE(goneAt, 90) << "gone within the time to live plus one prune interval";
    EXPECT_FALSE(r.discovery.pendingServices().contains(CastDiscovery::nameKey(instance("Den", kCast))))
        << "its records are forgotten too, so they cannot bring it back";
    EXPECT_FALSE(r.discovery.hostAddresses().contains("den-host.local"));
    EXPECT_EQ(r.discovery.device("chromecast:loft1")->lastSeenMs, r.now);
}

TEST(CastDiscoveryMdns, WorkingTablesStayBounded)
{
    Registry r;
    const int total = CastDiscovery::kMaxTableEntries + 100;
    for (int i = 0; i < total; ++i) {
        r.now += 10;
        const DnsName name = instance(QStringLiteral("R%1").arg(i), kAirPlay);
        r.feed(Message()
                   .record(encode(kAirPlay), 12, encode(name))
                   .record(encode({ QStringLiteral("h%1").arg(i), "local" }), 1, aData("192.168.1.9"))
                   .done());
    }
    const auto& pending = r.discovery.pendingServices();
    EXPECT_EQ(pending.size(), CastDiscovery::kMaxTableEntries);
    EXPECT_EQ(r.discovery.hostAddresses().size(), CastDiscovery::kMaxTableEntries);
    EXPECT_FALSE(pending.contains(CastDiscovery::nameKey(instance("R0", kAirPlay)))) << "oldest out first";
    EXPECT_TRUE(pending.contains(CastDiscovery::nameKey(instance(QStringLiteral("R%1").arg(total - 1), kAirPlay))));
    EXPECT_FALSE(r.discovery.hostAddresses().contains("h99.local"));
    EXPECT_TRUE(r.discovery.hostAddresses().contains(QStringLiteral("h%1.local").arg(total - 1)));
}

TEST(CastDiscoveryMdns, SwitchedOffDiscoveryOpensNothingAndSendsNothing)
{
    const QByteArray saved = qgetenv("KESTRUNE_CAST_DISCOVERY");
    const struct {
        const char* value;
        bool allowed;
    } values[] = { { "off", false }, { "OFF", false }, { " off\n", false }, { "on", true }, { "", true } };
    for (const auto& v : values) {
        qputenv("KESTRUNE_CAST_DISCOVERY", v.value);
        EXPECT_EQ(CastDiscovery::discoveryAllowed(), v.allowed) << v.value;
    }

    qputenv("KESTRUNE_CAST_DISCOVERY", "off");
    Registry r;
    r.discovery.start();
    r.discovery.rescan(true);
    EXPECT_EQ(r.discovery.openSocketCount(), 0);
    EXPECT_FALSE(r.discovery.queryTimerActive());
    EXPECT_TRUE(r.queries.isEmpty());
    qputenv("KESTRUNE_CAST_DISCOVERY", saved.isNull() ? QByteArray("off") : saved);
}

TEST(CastDiscoveryMdns, DamagedAnswersNeverReadOutsideTheDatagram)
{
    // Flipped bytes, cut ends and grown lengths of a real answer, from a fixed seed: under the address
    // sanitizer a read past the datagram fails here.
    Registry r;
    const QByteArray good = castAnswer("Den", "abc123", "192.168.1.50");
    quint32 seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int i = 0; i < 2000; ++i) {
        QByteArray damaged = good;
        const int flips = 1 + int(next() % 4);
        for (int f = 0; f < flips; ++f)
            damaged[int(next() % damaged.size())] = char(next() & 0xFF);
        if (next() % 3 == 0)
            damaged.truncate(int(next() % damaged.size()));
        r.feed(damaged);
    }
    EXPECT_LE(r.discovery.pendingServices().size(), CastDiscovery::kMaxTableEntries);
    EXPECT_LE(r.discovery.hostAddresses().size(), CastDiscovery::kMaxTableEntries);
}
