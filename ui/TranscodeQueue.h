#pragma once

#include <QObject>
#include <QVariantList>

namespace kvr::ui {

// The persistent conversion queue ("Converter" in QML): jobs run on worker threads and survive a restart in
// the queue file.
class TranscodeQueue : public QObject {
    Q_OBJECT
    Q_PROPERTY(QVariantList jobs READ jobs NOTIFY jobsChanged)
    Q_PROPERTY(int running READ running NOTIFY jobsChanged)
    Q_PROPERTY(int pending READ pending NOTIFY jobsChanged)
    Q_PROPERTY(bool paused READ paused WRITE setPaused NOTIFY settingsChanged)

public:
    explicit TranscodeQueue(QObject* parent = nullptr);
    ~TranscodeQueue() override;

    // Raises the cancellation of every running job when cancelRunning is set, joins every worker, turns jobs
    // still running back into pending ones and saves the queue file.
    void shutdown(bool cancelRunning);

    QVariantList jobs() const;
    int running() const;
    int pending() const;
    bool paused() const { return paused_; }
    // A changed value is stored ("convert/paused"): a paused queue stays paused in the next run.
    void setPaused(bool paused);

public slots:
    // Cancels a pending or running job; jobs in other states are left alone.
    void cancel(int id);

signals:
    void jobsChanged();
    void settingsChanged();
    // After the job's final state is set and the queue saved; message is the output's file name on success,
    // otherwise the job's error text.
    void jobFinished(int id, bool ok, const QString& message);

private:
    bool paused_ = false;
};

} // namespace kvr::ui
