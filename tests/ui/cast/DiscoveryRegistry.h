// The receiver registry under test, with a wall clock the test sets and its two signals recorded.
#pragma once

#include "ui/cast/CastDiscovery.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

namespace kvr::test {

struct DiscoveryRegistry {
    ui::cast::CastDiscovery discovery;
    qint64 now = 1'700'000'000'000;
    QSignalSpy changed { &discovery, &ui::cast::CastDiscovery::devicesChanged };
    QSignalSpy failed { &discovery, &ui::cast::CastDiscovery::manualFailed };

    DiscoveryRegistry()
    {
        discovery.setClock([this] { return now; });
    }

    int probeSockets() const { return discovery.findChildren<QTcpSocket*>().size(); }
    QString lastFailure() const { return failed.isEmpty() ? QString() : failed.last().at(0).toString(); }

    // Waits for the outcome of one more manual fetch or add.
    bool settle(qsizetype changedBefore, qsizetype failedBefore, int waitMs = 20000)
    {
        return QTest::qWaitFor([&] { return changed.size() > changedBefore || failed.size() > failedBefore; }, waitMs);
    }
};

} // namespace kvr::test
