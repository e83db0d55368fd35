#pragma once

#include <QObject>

namespace kvr::ui {

// The persistent conversion queue ("Converter" in QML): jobs run on worker threads and survive a restart in
// the queue file.
class TranscodeQueue : public QObject {
    Q_OBJECT

public:
    explicit TranscodeQueue(QObject* parent = nullptr);
    ~TranscodeQueue() override;

    // Raises the cancellation of every running job when cancelRunning is set, joins every worker, turns jobs
    // still running back into pending ones and saves the queue file.
    void shutdown(bool cancelRunning);
};

} // namespace kvr::ui
