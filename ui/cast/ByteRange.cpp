#include "ui/cast/ByteRange.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace kvr::ui::cast {

namespace {

// A decimal number of the header; nothing when the text is not one or does not fit.
std::optional<qint64> decimal(const QByteArray& text)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

} // namespace

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
        // Suffix form: the last b bytes. A length that is negative or no number is no range at all; the
        // comparison comes first, so that no length can make the subtraction overflow.
        const std::optional<qint64> length = decimal(b);
        if (!length || *length < 0)
            return whole;
        range.start = *length >= size ? 0 : size - *length;
        range.lastByte = size - 1;
    } else {
        range.start = std::max<qint64>(decimal(a).value_or(0), 0);
        if (!b.isEmpty()) {
            // An end that is no number reads as 0; one past what a size can be is the end of the resource.
            const qint64 end = std::min(decimal(b).value_or(0), std::numeric_limits<qint64>::max() - 1);
            // An end before the start makes the range invalid, and nothing can be announced of an empty
            // resource: either way the header is ignored rather than answered with a negative or false length.
            if ((end >= 0 && end < range.start) || size == 0)
                return whole;
            range.lastByte = std::max<qint64>(end, -1);
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
