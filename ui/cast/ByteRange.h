#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace kvr::ui::cast {

// What a "Range" request header asks of a resource, as the media server answers it.
struct ByteRange {
    qint64 start = 0;
    // Last byte to send; -1 means up to the end (an unknown or empty size).
    qint64 lastByte = -1;
    // Answered 206 rather than 200.
    bool partial = false;
    // Answered 416: the start lies at or past the end of a resource whose size is final.
    bool unsatisfiable = false;
    // An unfinished growing file that does not hold the first byte yet: the body waits for it.
    bool waits = false;
};

// Resolves the value of a Range header (empty when there is none). size is the final size, or -1 while a
// growing file is unfinished; written is what a growing file holds so far (ignored for other resources).
// Only the first range of a list counts. A range whose end lies before its start, and a range with an end on
// an empty resource, are ignored: the whole resource is sent.
ByteRange resolveByteRange(const QByteArray& header, qint64 size, bool growing, qint64 written);

} // namespace kvr::ui::cast
