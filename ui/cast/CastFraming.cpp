#include "ui/cast/CastFraming.h"

#include <QAbstractSocket>
#include <QCoreApplication>
#include <QJsonDocument>

#include <spdlog/spdlog.h>

namespace kvr::ui::cast {

namespace {

// A varint holds at most 64 bits: ten bytes, the last with its high bit clear.
constexpr int kMaxVarintBytes = 10;

void appendVarint(QByteArray& out, quint64 value)
{
    while (value >= 0x80) {
        out.append(static_cast<char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.append(static_cast<char>(value));
}

void appendText(QByteArray& out, char tag, const QByteArray& bytes)
{
    out.append(tag);
    appendVarint(out, static_cast<quint64>(bytes.size()));
    out.append(bytes);
}

bool readVarint(const QByteArray& body, qsizetype& pos, quint64& value)
{
    value = 0;
    for (int i = 0; i < kMaxVarintBytes; ++i) {
        if (pos >= body.size())
            return false;
        const auto byte = static_cast<quint8>(body[pos++]);
        value |= static_cast<quint64>(byte & 0x7F) << (7 * i);
        if (!(byte & 0x80))
            return true;
    }
    return false;
}

} // namespace

QByteArray encodeMessage(
    const QString& sourceId, const QString& destinationId, const QString& nameSpace, const QByteArray& payload)
{
    const QByteArray source = sourceId.toUtf8();
    const QByteArray destination = destinationId.toUtf8();
    const QByteArray space = nameSpace.toUtf8();
    QByteArray frame;
    frame.reserve(4 + 2 + 3 * 6 + source.size() + destination.size() + space.size() + 2 + 6 + payload.size());
    frame.append(4, '\0');
    // Protocol version 0, then the ids and the namespace.
    frame.append('\x08');
    frame.append('\x00');
    appendText(frame, '\x12', source);
    appendText(frame, '\x1A', destination);
    appendText(frame, '\x22', space);
    // Payload type 0: a text payload.
    frame.append('\x28');
    frame.append('\x00');
    appendText(frame, '\x32', payload);
    const auto length = static_cast<quint32>(frame.size() - 4);
    frame[0] = static_cast<char>(length >> 24);
    frame[1] = static_cast<char>(length >> 16);
    frame[2] = static_cast<char>(length >> 8);
    frame[3] = static_cast<char>(length);
    return frame;
}

bool decodeMessage(const QByteArray& body, CastMessage& message)
{
    CastMessage decoded;
    qsizetype pos = 0;
    while (pos < body.size()) {
        quint64 tag = 0;
        if (!readVarint(body, pos, tag))
            return false;
        const quint64 wireType = tag & 7;
        const quint64 field = tag >> 3;
        quint64 value = 0;
        if (wireType == 0) {
            if (!readVarint(body, pos, value))
                return false;
            continue;
        }
        if (wireType != 2)
            return false;
        if (!readVarint(body, pos, value))
            return false;
        // Compared in 64 bits: a length that does not fit in the rest of the body fails, whatever its top bits.
        if (value > static_cast<quint64>(body.size() - pos))
            return false;
        const auto length = static_cast<qsizetype>(value);
        switch (field) {
        case 2:
            decoded.sourceId = QString::fromUtf8(body.constData() + pos, length);
            break;
        case 3:
            decoded.destinationId = QString::fromUtf8(body.constData() + pos, length);
            break;
        case 4:
            decoded.nameSpace = QString::fromUtf8(body.constData() + pos, length);
            break;
        case 6:
            decoded.payload = body.mid(pos, length);
            break;
        default:
            break;
        }
        pos += length;
    }
    message = std::move(decoded);
    return true;
}

bool sendMessage(QAbstractSocket& socket, const QString& sourceId, const QString& nameSpace,
    const QString& destinationId, const QJsonObject& object)
{
    if (socket.state() != QAbstractSocket::ConnectedState)
        return false;
    const QByteArray payload = QJsonDocument(object).toJson(QJsonDocument::Compact);
    const QByteArray frame = encodeMessage(sourceId, destinationId, nameSpace, payload);
    return socket.write(frame) == frame.size();
}

void cutFrames(QByteArray& buffer, const CastMessageHandler& handle, const CastStreamLost& lost)
{
    while (buffer.size() >= 4) {
        const auto* p = reinterpret_cast<const quint8*>(buffer.constData());
        const quint32 length = (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
        if (length > kMaxCastFrameBody) {
            // Nothing after a bad prefix can be trusted to start a frame, and a reconnect must not read it again.
            spdlog::warn("ChromecastController: frame of {} bytes announced, above the limit", length);
            buffer.clear();
            if (lost)
                lost(QCoreApplication::translate(
                    "kvr::ui::cast::ChromecastController", "bad message from the receiver"));
            return;
        }
        if (buffer.size() - 4 < static_cast<qsizetype>(length))
            return;
        // Taken off the buffer before anything is handed on: a handler may empty the buffer (a lost connection).
        const QByteArray body = buffer.mid(4, length);
        buffer.remove(0, 4 + static_cast<qsizetype>(length));
        CastMessage message;
        if (!decodeMessage(body, message)) {
            spdlog::debug("ChromecastController: dropped a frame of {} bytes that does not decode", length);
            continue;
        }
        const QJsonDocument document = QJsonDocument::fromJson(message.payload);
        if (handle)
            handle(message.nameSpace, message.sourceId, document.isObject() ? document.object() : QJsonObject());
    }
}

} // namespace kvr::ui::cast
