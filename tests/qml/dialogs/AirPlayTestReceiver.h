#pragma once

#include "tests/ui/cast/AirPlayReceiver.h"

#include <QObject>
#include <QString>

namespace kvr::test {

// The AirPlay test receiver for QML ("AirPlayTestReceiver" in "Kestrune.Test"): listens on 127.0.0.1 from
// its creation, answers as a receiver at rest, and can be told to drop the connection of a path instead.
class AirPlayTestReceiver : public QObject {
    Q_OBJECT
    Q_PROPERTY(int port READ port CONSTANT)

public:
    explicit AirPlayTestReceiver(QObject* parent = nullptr)
        : QObject(parent)
    {
    }

    int port() const { return receiver_.port(); }

    // How many requests for path (without its query) the receiver has had.
    Q_INVOKABLE int requestCount(const QString& path) const { return int(receiver_.requestsTo(path.toUtf8()).size()); }
    // Requests for path are dropped without an answer from now on (drop true), or answered again.
    Q_INVOKABLE void dropRequests(const QString& path, bool drop)
    {
        if (drop)
            receiver_.set(path.toUtf8(), AirPlayReceiver::Override { 0, false, true, 0 });
        else
            receiver_.clear(path.toUtf8());
    }

private:
    AirPlayReceiver receiver_;
};

} // namespace kvr::test
