#include "ui/cast/ByteRange.h"

#include <algorithm>

namespace kvr::ui::cast {

ByteRange resolveByteRange(const QByteArray& header, qint64 size, bool growing, qint64 written)
{
    ByteRange range;
    range.lastByte = size >= 1 ? size - 1 : -1;
    const ByteRange whole = range;

    static const QByteArray unit = QByteArrayLiteral("bytes=");
    if (!header.startsWith(unit))
        return whole;
    const QByteArray ranges = header.mid(unit.size());
    const qsizetype comma = ranges.indexOf(',');
    const QByteArray first = comma < 0 ? ranges : ranges.left(comma);
    const qsizetype dash = first.indexOf('-');
    if (dash < 0)
        return whole;
    const QByteArray a = first.left(dash);
    const QByteArray b = first.mid(dash + 1);

    if (a.isEmpty() && !b.isEmpty() && size >= 1) {
        // Suffix form: the last b bytes.
        range.start = std::max<qint64>(size - b.toLongLong(), 0);
        range.lastByte = size - 1;
    } else {
        range.start = a.toLongLong();
        if (!b.isEmpty()) {
            const qint64 end = b.toLongLong();
            // An end before the start makes the range invalid, and nothing can be announced of an empty
            // resource: either way the header is ignored rather than answered with a negative or false length.
            if ((end >= 0 && end < range.start) || size == 0)
                return whole;
            range.lastByte = end;
        }
        if (size >= 1 && (range.lastByte < 0 || range.lastByte > size - 1))
            range.lastByte = size - 1;
    }

    const bool unfinished = growing && size < 0;
    const qint64 available = std::max<qint64>(growing ? written : size, 0);
    if (range.start > 0) {
        if (range.start >= available) {
            if (!unfinished) {
                range.unsatisfiable = true;
                return range;
            }
            range.waits = true;
        }
        range.partial = true;
    } else {
        range.partial = size >= 1 && range.lastByte < size - 1;
    }
    return range;
}

} // namespace kvr::ui::cast
