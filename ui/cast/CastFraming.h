#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>

class QAbstractSocket;

namespace kvr::ui::cast {

// The Cast v2 control channel: each frame is a 4-byte big-endian body length and a CastMessage in the
// protocol-buffers wire encoding, whose payload is a JSON text. The controller's member functions of the same
// names are one line around these, so tests run them on byte arrays without a receiver.

// Largest body a receiver may announce; a longer one means the stream is out of step.
inline constexpr quint32 kMaxCastFrameBody = 0x100000;

// What a frame carries. Fields the body lacks stay empty.
struct CastMessage {
    QString sourceId;
    QString destinationId;
    QString nameSpace;
    QByteArray payload;
};

// One whole frame, length prefix included. All six fields are written, empty texts as zero lengths.
QByteArray encodeMessage(
    const QString& sourceId, const QString& destinationId, const QString& nameSpace, const QByteArray& payload);

// Reads a frame's body. Fields in any order and unknown varint or length-delimited fields are accepted, a
// repeated field keeps its last value; fixed-width or group fields, a varint longer than 10 bytes and a length
// past the end fail. message is written only on success.
bool decodeMessage(const QByteArray& body, CastMessage& message);

// Serialises object as compact JSON and writes it as one frame, but only when the socket is connected;
// otherwise the message is dropped. No queue, no wait for the write. Returns whether it was written.
bool sendMessage(QAbstractSocket& socket, const QString& sourceId, const QString& nameSpace,
    const QString& destinationId, const QJsonObject& object);

using CastMessageHandler
    = std::function<void(const QString& nameSpace, const QString& sourceId, const QJsonObject& object)>;
using CastStreamLost = std::function<void(const QString& reason)>;

// Cuts every whole frame off the front of buffer (bytes read so far, not yet cut) and hands each message on
// in order; a payload that is not a JSON object arrives as an empty object, a body that does not decode is
// dropped. An incomplete frame stays in the buffer for the next read. A body announced above 1 MiB leaves
// the stream unreadable: lost is called once with "bad message from the receiver" and the buffer is emptied,
// so the bytes cannot stand in front of the next connection's stream. The handlers may change the buffer.
void cutFrames(QByteArray& buffer, const CastMessageHandler& handle, const CastStreamLost& lost);

} // namespace kvr::ui::cast
