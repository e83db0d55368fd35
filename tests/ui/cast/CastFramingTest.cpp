#include "tests/ui/GTestQtPrinters.h"
#include "ui/cast/CastFraming.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>
#include <vector>

using kvr::ui::cast::CastMessage;
using kvr::ui::cast::cutFrames;
using kvr::ui::cast::decodeMessage;
using kvr::ui::cast::encodeMessage;
using kvr::ui::cast::sendMessage;

namespace {

constexpr int kWaitMs = 20000;
const QString kHeartbeat = QStringLiteral("urn:x-cast:com.google.cast.tp.heartbeat");
const QString kMedia = QStringLiteral("urn:x-cast:com.google.cast.media");

// The test's own protocol-buffers writer, so that the codec is never checked against itself.
QByteArray raw(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

QByteArray varint(quint64 value)
{
    QByteArray out;
    do {
        const int low = int(value & 0x7F);
        value >>= 7;
        out.append(static_cast<char>(value ? low | 0x80 : low));
    } while (value);
    return out;
}

QByteArray field(int tag, const QByteArray& bytes)
{
    return raw({ tag }) + varint(quint64(bytes.size())) + bytes;
}

QByteArray body(
    const QByteArray& source, const QByteArray& destination, const QByteArray& space, const QByteArray& payload)
{
    return raw({ 0x08, 0x00 }) + field(0x12, source) + field(0x1A, destination) + field(0x22, space)
        + raw({ 0x28, 0x00 }) + field(0x32, payload);
}

QByteArray frame(const QByteArray& bodyBytes)
{
    const auto n = quint32(bodyBytes.size());
    return raw({ int(n >> 24), int((n >> 16) & 0xFF), int((n >> 8) & 0xFF), int(n & 0xFF) }) + bodyBytes;
}

// A well-formed frame of that body size exactly, whose JSON object says which it is.
QByteArray frameOfSize(qsizetype size, const QByteArray& type)
{
    const QByteArray head = "{\"type\":\"" + type + "\",\"pad\":\"";
    QByteArray payload = head + "\"}";
    while (true) {
        const qsizetype now = body("sender-1", "receiver-0", kMedia.toUtf8(), payload).size();
        if (now == size)
            return frame(body("sender-1", "receiver-0", kMedia.toUtf8(), payload));
        payload = head + QByteArray(payload.size() - head.size() - 2 + (size - now), 'a') + "\"}";
    }
}

struct Received {
    QString nameSpace;
    QString sourceId;
    QJsonObject object;
};

// Collects what the frame cutter hands on and what it reports as lost.
struct Cutter {
    QByteArray buffer;
    std::vector<Received> received;
    QStringList lost;

    void read(const QByteArray& bytes)
    {
        buffer += bytes;
        cutFrames(
            buffer,
            [this](const QString& space, const QString& source, const QJsonObject& object) {
                received.push_back({ space, source, object });
            },
            [this](const QString& reason) { lost << reason; });
    }
};

// protoc --decode_raw's fields in order, strings unescaped from its C escapes.
std::vector<std::pair<int, QByteArray>> decodeRaw(const QByteArray& bodyBytes, QString& error)
{
    std::vector<std::pair<int, QByteArray>> fields;
    const QString protoc = QStandardPaths::findExecutable("protoc");
    if (protoc.isEmpty()) {
        error = "protoc not found: scripts/setup.sh installs protobuf-compiler";
        return fields;
    }
    QProcess process;
    process.start(protoc, { "--decode_raw" });
    if (!process.waitForStarted(kWaitMs)) {
        error = "protoc did not start";
        return fields;
    }
    process.write(bodyBytes);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        error = "protoc failed: " + QString::fromUtf8(process.readAllStandardError());
        return fields;
    }
    for (const QByteArray& line : process.readAllStandardOutput().split('\n')) {
        if (line.isEmpty())
            continue;
        const qsizetype colon = line.indexOf(": ");
        QByteArray value = line.mid(colon + 2);
        if (value.startsWith('"') && value.endsWith('"')) {
            QByteArray text;
            for (qsizetype i = 1; i + 1 < value.size(); ++i) {
                if (value[i] != '\\') {
                    text.append(value[i]);
                } else if (value[i + 1] >= '0' && value[i + 1] <= '7') {
                    text.append(static_cast<char>(value.mid(i + 1, 3).toInt(nullptr, 8)));
                    i += 3;
                } else {
                    const char c = value[++i];
                    text.append(c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c);
                }
            }
            value = text;
        }
        fields.emplace_back(line.left(colon).toInt(), value);
    }
    return fields;
}

} // namespace

TEST(ChromecastControllerFraming, EncodesTheFieldsInOrder)
{
    // A heartbeat from a 13-byte sender id, byte by byte.
    const QByteArray ping = encodeMessage("sender-123456", "receiver-0", kHeartbeat, "{\"type\":\"PING\"}");
    const QByteArray expected = raw({ 0, 0, 0, 89, 0x08, 0x00, 0x12, 0x0D }) + "sender-123456" + raw({ 0x1A, 0x0A })
        + "receiver-0" + raw({ 0x22, 0x27 }) + "urn:x-cast:com.google.cast.tp.heartbeat"
        + raw({ 0x28, 0x00, 0x32, 0x0F }) + "{\"type\":\"PING\"}";
    EXPECT_EQ(ping.size(), 4 + 89);
    EXPECT_EQ(ping.toHex(' '), expected.toHex(' '));

    // An empty destination is still written, as a zero length.
    const QByteArray empty = encodeMessage("sender-123456", "", kHeartbeat, "{}");
    const QByteArray expectedEmpty = raw({ 0, 0, 0, 0x42, 0x08, 0x00, 0x12, 0x0D }) + "sender-123456"
        + raw({ 0x1A, 0x00, 0x22, 0x27 }) + kHeartbeat.toUtf8() + raw({ 0x28, 0x00, 0x32, 0x02 }) + "{}";
    EXPECT_EQ(empty.toHex(' '), expectedEmpty.toHex(' '));
}

// protoc reads the bodies, so a fault in the encoder cannot hide behind the project's own decoder.
TEST(ChromecastControllerFraming, ProtocReadsTheEncodedBody)
{
    struct Case {
        const char* what;
        QString source;
        QString destination;
        QString space;
        QByteArray payload;
    };
    const QByteArray head = "{\"type\":\"LOAD\",\"pad\":\"";
    const QByteArray longPayload = head + QByteArray(300 - head.size() - 2, 'x') + "\"}";
    ASSERT_EQ(longPayload.size(), 300);
    const Case cases[] = {
        { "a heartbeat", "sender-123456", "receiver-0", kHeartbeat, "{\"type\":\"PING\"}" },
        { "a payload of 300 bytes", "sender-999998", "web-42", kMedia, longPayload },
        { "texts counted in UTF-8 bytes", QString::fromUtf8("sender-\xc3\xa9\xc3\xa9"),
            QString::fromUtf8("r\xc3\xa9\x63\x65pteur"), kMedia,
            QByteArray("{\"title\":\"Caf\xc3\xa9 \\\"live\\\"\"}") },
        { "an empty destination and payload", "sender-100000", "", kHeartbeat, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QByteArray frameBytes = encodeMessage(c.source, c.destination, c.space, c.payload);
        ASSERT_GE(frameBytes.size(), 4);
        const QByteArray bodyBytes = frameBytes.mid(4);
        EXPECT_EQ(frameBytes.left(4), frame(bodyBytes).left(4)) << "the prefix is the body's length";

        QString error;
        const auto fields = decodeRaw(bodyBytes, error);
        ASSERT_TRUE(error.isEmpty()) << error.toStdString();
        const std::vector<std::pair<int, QByteArray>> expected {
            { 1, "0" },
            { 2, c.source.toUtf8() },
            { 3, c.destination.toUtf8() },
            { 4, c.space.toUtf8() },
            { 5, "0" },
            { 6, c.payload },
        };
        EXPECT_EQ(fields, expected);
    }
    // 300 takes two bytes as a varint: 0xAC 0x02.
    const QByteArray longFrame = encodeMessage("sender-999998", "web-42", kMedia, longPayload);
    EXPECT_EQ(longFrame.mid(longFrame.size() - 300 - 3, 3).toHex(' '), "32 ac 02");
}

TEST(ChromecastControllerFraming, DecoderTable)
{
    const QByteArray json = "{\"type\":\"PING\"}";
    const QByteArray tenByteZero = raw({ 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00 });
    const QByteArray tenByteMax = raw({ 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01 });
    const QByteArray elevenBytes = raw({ 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x00 });
    struct Case {
        const char* what;
        QByteArray body;
        bool ok;
        CastMessage expected;
    };
    const CastMessage all { "sender-1", "receiver-0", kHeartbeat, json };
    const Case cases[] = {
        { "the order the encoder writes", body("sender-1", "receiver-0", kHeartbeat.toUtf8(), json), true, all },
        { "fields in another order",
            field(0x32, json) + raw({ 0x28, 0x00 }) + field(0x22, kHeartbeat.toUtf8()) + field(0x1A, "receiver-0")
                + raw({ 0x08, 0x00 }) + field(0x12, "sender-1"),
            true, all },
        { "a binary payload, field 7, is skipped",
            body("sender-1", "receiver-0", kHeartbeat.toUtf8(), json) + field(0x3A, raw({ 0x00, 0xFF, 0x32, 0x02 })),
            true, all },
        { "unknown varint and length-delimited fields are skipped",
            raw({ 0x48 }) + varint(300) + field(0x7A, "ignored") + raw({ 0x80, 0x01 }) + varint(7)
                + body("sender-1", "receiver-0", kHeartbeat.toUtf8(), json) + raw({ 0xA2, 0x01, 0x01 }) + "x",
            true, all },
        { "a fixed 64-bit field",
            body("sender-1", "receiver-0", kHeartbeat.toUtf8(), json) + raw({ 0x41 }) + QByteArray(8, '\1'), false,
            {} },
        { "a fixed 32-bit field", raw({ 0x45, 1, 2, 3, 4 }) + body("sender-1", "receiver-0", kHeartbeat.toUtf8(), json),
            false, {} },
        { "a group start", raw({ 0x43 }) + body("sender-1", "receiver-0", kHeartbeat.toUtf8(), json), false, {} },
        { "a group end", raw({ 0x44 }) + body("sender-1", "receiver-0", kHeartbeat.toUtf8(), json), false, {} },
        { "a value varint of 10 bytes", raw({ 0x08 }) + tenByteMax + field(0x12, "sender-1"), true,
            { "sender-1", {}, {}, {} } },
        { "a tag varint of 10 bytes", raw({ 0x92 }) + tenByteZero.mid(1) + varint(8) + "sender-1", true,
            { "sender-1", {}, {}, {} } },
        { "a length varint of 10 bytes", raw({ 0x12, 0x88 }) + tenByteZero.mid(1) + "sender-1", true,
            { "sender-1", {}, {}, {} } },
        { "a value varint whose tenth byte goes on", raw({ 0x08 }) + elevenBytes + field(0x12, "sender-1"), false, {} },
        { "a tag varint whose tenth byte goes on", elevenBytes + field(0x12, "sender-1"), false, {} },
        { "a body that ends inside a value varint", field(0x12, "sender-1") + raw({ 0x08, 0x80 }), false, {} },
        { "a body that ends inside a tag", field(0x12, "sender-1") + raw({ 0x92 }), false, {} },
        { "a body that ends inside a length", field(0x12, "sender-1") + raw({ 0x32 }), false, {} },
        { "a length past the end", raw({ 0x12, 0x05 }) + "abcd", false, {} },
        { "a length negative as 32 bits", raw({ 0x12 }) + varint(0xFFFFFFFFu) + "abcd", false, {} },
        { "a length of 2^31", raw({ 0x12 }) + varint(0x80000000u) + "abcd", false, {} },
        { "a length whose low 32 bits would fit", raw({ 0x12 }) + varint(0x100000002ull) + "ab", false, {} },
        { "a length past the end of an unknown field", field(0x12, "sender-1") + raw({ 0x7A, 0x09 }) + "short", false,
            {} },
        { "an empty body", QByteArray(), true, {} },
        { "a field twice keeps the last",
            field(0x12, "first") + body("sender-1", "receiver-0", kHeartbeat.toUtf8(), "{}") + field(0x12, "last")
                + field(0x32, json) + field(0x1A, ""),
            true, { "last", "", kHeartbeat, json } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CastMessage message { "untouched", "untouched", "untouched", "untouched" };
        const bool ok = decodeMessage(c.body, message);
        ASSERT_EQ(ok, c.ok);
        const CastMessage& want
            = c.ok ? c.expected : CastMessage { "untouched", "untouched", "untouched", "untouched" };
        EXPECT_EQ(message.sourceId, want.sourceId);
        EXPECT_EQ(message.destinationId, want.destinationId);
        EXPECT_EQ(message.nameSpace, want.nameSpace);
        EXPECT_EQ(message.payload, want.payload);
    }
}

TEST(ChromecastControllerFraming, FrameSplitOverReadsIsHandledWhenComplete)
{
    const QByteArray whole = frame(body("sender-0", "sender-123456", kHeartbeat.toUtf8(), "{\"type\":\"PING\"}"));
    Cutter cutter;
    cutter.read(whole.left(2));
    EXPECT_TRUE(cutter.received.empty());
    cutter.read(whole.mid(2, 30));
    EXPECT_TRUE(cutter.received.empty());
    EXPECT_EQ(cutter.buffer, whole.left(32)) << "an incomplete frame waits in the buffer";
    cutter.read(whole.mid(32));
    ASSERT_EQ(cutter.received.size(), 1u);
    EXPECT_EQ(cutter.received[0].nameSpace, kHeartbeat);
    EXPECT_EQ(cutter.received[0].sourceId, "sender-0");
    EXPECT_EQ(cutter.received[0].object.value("type").toString(), "PING");
    EXPECT_TRUE(cutter.buffer.isEmpty());
    EXPECT_TRUE(cutter.lost.isEmpty());
}

TEST(ChromecastControllerFraming, FramesInOneReadAreHandledInOrder)
{
    QByteArray bytes;
    for (const char* type : { "ONE", "TWO", "THREE" })
        bytes += frame(body("receiver-0", "sender-1", kMedia.toUtf8(), QByteArray("{\"type\":\"") + type + "\"}"));
    const QByteArray fourth = frame(body("receiver-0", "sender-1", kMedia.toUtf8(), "{\"type\":\"FOUR\"}"));
    Cutter cutter;
    cutter.read(bytes + fourth.left(9));
    ASSERT_EQ(cutter.received.size(), 3u);
    EXPECT_EQ(cutter.received[0].object.value("type").toString(), "ONE");
    EXPECT_EQ(cutter.received[1].object.value("type").toString(), "TWO");
    EXPECT_EQ(cutter.received[2].object.value("type").toString(), "THREE");
    EXPECT_EQ(cutter.buffer, fourth.left(9));
    cutter.read(fourth.mid(9));
    ASSERT_EQ(cutter.received.size(), 4u);
    EXPECT_EQ(cutter.received[3].object.value("type").toString(), "FOUR");
}

// A lost connection empties the buffer from inside the handler; the frames behind it belong to the old stream.
TEST(ChromecastControllerFraming, HandlerMayEmptyTheBuffer)
{
    QByteArray bytes;
    for (const char* type : { "ONE", "TWO" })
        bytes += frame(body("receiver-0", "sender-1", kMedia.toUtf8(), QByteArray("{\"type\":\"") + type + "\"}"));
    QByteArray buffer = bytes;
    int handled = 0;
    cutFrames(
        buffer,
        [&](const QString&, const QString&, const QJsonObject&) {
            ++handled;
            buffer.clear();
        },
        [](const QString&) { ADD_FAILURE() << "no loss"; });
    EXPECT_EQ(handled, 1);
    EXPECT_TRUE(buffer.isEmpty());
}

TEST(ChromecastControllerFraming, BodyAboveOneMebibyteLosesTheStreamOnce)
{
    Cutter cutter;
    const QByteArray largest = frameOfSize(1'048'576, "LARGEST");
    ASSERT_EQ(largest.size(), 4 + 1'048'576);
    cutter.read(largest.left(700'000));
    cutter.read(largest.mid(700'000));
    ASSERT_EQ(cutter.received.size(), 1u);
    EXPECT_EQ(cutter.received[0].object.value("type").toString(), "LARGEST");
    EXPECT_TRUE(cutter.lost.isEmpty());

    // The oversized frame arrives with a good one behind it: nothing of that read can be trusted.
    const QByteArray tooLarge = frameOfSize(1'048'577, "TOO_LARGE");
    ASSERT_EQ(tooLarge.size(), 4 + 1'048'577);
    const QByteArray good = frame(body("receiver-0", "sender-1", kMedia.toUtf8(), "{\"type\":\"AFTER\"}"));
    cutter.read(tooLarge.left(64'000) + good);
    EXPECT_EQ(cutter.lost, QStringList { "bad message from the receiver" });
    EXPECT_EQ(cutter.received.size(), 1u);
    EXPECT_TRUE(cutter.buffer.isEmpty());

    // The next connection's stream is read from its own first byte, not behind the old length prefix.
    cutter.read(good);
    ASSERT_EQ(cutter.received.size(), 2u);
    EXPECT_EQ(cutter.received[1].object.value("type").toString(), "AFTER");
    EXPECT_EQ(cutter.lost.size(), 1);

    // The prefix alone is enough to tell.
    cutter.read(raw({ 0xFF, 0xFF, 0xFF, 0xFF }));
    EXPECT_EQ(cutter.lost.size(), 2);
    EXPECT_TRUE(cutter.buffer.isEmpty());
}

TEST(ChromecastControllerFraming, UndecodableBodyIsDroppedAndTheNextFrameHandled)
{
    Cutter cutter;
    cutter.read(frame(raw({ 0x41 }) + QByteArray(8, 'x')) + frame(raw({ 0x12, 0x7F }) + "short")
        + frame(body("receiver-0", "sender-1", kMedia.toUtf8(), "{\"type\":\"NEXT\"}")));
    ASSERT_EQ(cutter.received.size(), 1u);
    EXPECT_EQ(cutter.received[0].object.value("type").toString(), "NEXT");
    EXPECT_TRUE(cutter.lost.isEmpty());
    EXPECT_TRUE(cutter.buffer.isEmpty());
}

TEST(ChromecastControllerFraming, PayloadThatIsNotAnObjectArrivesEmpty)
{
    const QByteArray payloads[] = { "", "[{\"type\":\"PING\"}]", "\"PING\"", "42", "null", "not json",
        "{\"type\":\"PING\"", "{\"type\":\"PING\"} trailing" };
    for (const QByteArray& payload : payloads) {
        SCOPED_TRACE(payload.toStdString());
        Cutter cutter;
        cutter.read(frame(body("receiver-0", "sender-1", kHeartbeat.toUtf8(), payload)));
        ASSERT_EQ(cutter.received.size(), 1u);
        EXPECT_EQ(cutter.received[0].nameSpace, kHeartbeat);
        EXPECT_EQ(cutter.received[0].sourceId, "receiver-0");
        EXPECT_TRUE(cutter.received[0].object.isEmpty());
    }
    // A zero-length body is a message with nothing in it.
    Cutter cutter;
    cutter.read(raw({ 0, 0, 0, 0 }));
    ASSERT_EQ(cutter.received.size(), 1u);
    EXPECT_TRUE(cutter.received[0].nameSpace.isEmpty());
    EXPECT_TRUE(cutter.received[0].sourceId.isEmpty());
    EXPECT_TRUE(cutter.received[0].object.isEmpty());
}

TEST(ChromecastControllerFraming, SendWritesCompactJsonOnlyWhileConnected)
{
    QJsonObject volume;
    volume["level"] = 0.5;
    QJsonObject object;
    object["type"] = "SET_VOLUME";
    object["requestId"] = 3;
    object["volume"] = volume;
    const QByteArray expected = frame(body("sender-123456", "receiver-0", "urn:x-cast:com.google.cast.receiver",
        "{\"requestId\":3,\"type\":\"SET_VOLUME\",\"volume\":{\"level\":0.5}}"));

    QTcpSocket socket;
    EXPECT_FALSE(sendMessage(socket, "sender-123456", "urn:x-cast:com.google.cast.receiver", "receiver-0", object));
    EXPECT_EQ(socket.bytesToWrite(), 0);

    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
    ASSERT_TRUE(socket.waitForConnected(kWaitMs));
    ASSERT_TRUE(server.waitForNewConnection(kWaitMs));
    QTcpSocket* peer = server.nextPendingConnection();
    ASSERT_NE(peer, nullptr);

    EXPECT_TRUE(sendMessage(socket, "sender-123456", "urn:x-cast:com.google.cast.receiver", "receiver-0", object));
    QByteArray got;
    QDeadlineTimer deadline(kWaitMs);
    while (got.size() < expected.size() && !deadline.hasExpired()) {
        socket.waitForBytesWritten(50);
        peer->waitForReadyRead(50);
        got += peer->readAll();
    }
    EXPECT_EQ(got.toHex(' '), expected.toHex(' '));

    socket.abort();
    EXPECT_FALSE(sendMessage(socket, "sender-123456", "urn:x-cast:com.google.cast.receiver", "receiver-0", object));
    EXPECT_EQ(socket.bytesToWrite(), 0);
}
