// The request line and headers of an HTTP request head, as the loopback test servers read them.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>

namespace kvr::test {

struct RequestHead {
    QByteArray method;
    QByteArray path; // with its query
    QMap<QByteArray, QByteArray> headers; // names in lower case
};

// `head` is everything before the blank line that ends it.
inline RequestHead parseRequestHead(const QByteArray& head)
{
    RequestHead parsed;
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    parsed.method = first.value(0);
    parsed.path = first.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            parsed.headers[lines[i].left(colon).trimmed().toLower()] = lines[i].mid(colon + 1).trimmed();
    }
    return parsed;
}

} // namespace kvr::test
