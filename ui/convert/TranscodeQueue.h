#pragma once

#include <QByteArray>
#include <QObject>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>

#include <atomic>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace kvr::engine {
struct TranscodeOptions;
struct TranscodeProgress;
} // namespace kvr::engine

namespace kvr::ui {

// The persistent conversion queue ("Converter" in QML): jobs run on worker threads and survive a restart in
// the queue file. Everything here runs on the GUI thread.
class TranscodeQueue : public QObject {
    Q_OBJECT
    Q_PROPERTY(QVariantList jobs READ jobs NOTIFY jobsChanged)
    Q_PROPERTY(QVariantMap capabilities READ capabilities NOTIFY capabilitiesChanged)
    Q_PROPERTY(int running READ running NOTIFY jobsChanged)
    Q_PROPERTY(int pending READ pending NOTIFY jobsChanged)
    Q_PROPERTY(bool paused READ paused WRITE setPaused NOTIFY settingsChanged)
    Q_PROPERTY(int concurrency READ concurrency WRITE setConcurrency NOTIFY settingsChanged)
    Q_PROPERTY(bool keepPartial READ keepPartial WRITE setKeepPartial NOTIFY settingsChanged)
    Q_PROPERTY(QString filenamePattern READ filenamePattern WRITE setFilenamePattern NOTIFY settingsChanged)
    Q_PROPERTY(QVariantMap lastSettings READ lastSettings NOTIFY settingsChanged)

public:
    struct Job {
        int id = 0;
        QString input; // native separators
        QString output; // native separators
        QVariantMap settings;
        QString state = QStringLiteral("pending"); // "pending", "running", "done", "failed", "cancelled"
        double progress = 0;
        double speed = 0;
        double eta = -1;
        double fps = 0;
        qint64 bytes = 0;
        int pass = 1;
        int passes = 1;
        QString error;
        // Made when the job starts and shared with its worker thread.
        std::shared_ptr<std::atomic<bool>> cancel;
        // Set by the worker once its conversion has returned with a failure after creating or truncating the
        // output: shutdown, which never sees the posted end, deletes that partial file by it.
        std::shared_ptr<std::atomic<bool>> leftPartial;
    };

    explicit TranscodeQueue(QObject* parent = nullptr);
    ~TranscodeQueue() override;

    // Raises the cancellation of every running job when cancelRunning is set, joins every worker, turns jobs
    // still running back into pending ones (deleting, unless keepPartial is set, what a cancelled run left: the
    // job starts again from the beginning) and saves the queue file.
    void shutdown(bool cancelRunning);

    QVariantList jobs() const;
    // What can be written: the lists "video", "audio", "containers" and "hardware". Empty until the engine's
    // capability probe (test encodes, up to seconds) has answered on a worker thread; capabilitiesChanged
    // announces the lists. The first read starts the probe.
    QVariantMap capabilities() const;
    int running() const;
    int pending() const;
    bool paused() const { return paused_; }
    int concurrency() const { return concurrency_; }
    bool keepPartial() const { return keepPartial_; }
    QString filenamePattern() const { return filenamePattern_; }
    QVariantMap lastSettings() const { return lastSettings_; }

    // A changed value is stored under "convert/" and announced; an unchanged one does nothing.
    void setPaused(bool paused);
    void setConcurrency(int concurrency); // held to 1 .. 4
    void setKeepPartial(bool keepPartial);
    void setFilenamePattern(const QString& pattern); // trimmed; blank gives the default

public slots:
    // Queues one job per input ("file:" URLs or paths) and returns how many were added.
    int addJobs(const QStringList& inputs, const QVariantMap& settings);
    // The output path a job for this input would get, before any collision is settled.
    QString plannedOutput(const QString& input, const QVariantMap& settings) const;
    // Duration and tracks of a local file, read on the calling thread.
    QVariantMap probe(const QString& input) const;
    // Empty when the container can hold the codecs, else the sentence to show.
    QString checkCodecs(const QString& container, const QString& video, const QString& audio) const;
    void cancel(int id);
    void retry(int id);
    void remove(int id);
    void move(int id, int delta);
    void clearFinished();
    void openOutputFolder(int id);
    QVariantMap jobSettings(int id) const;

signals:
    void jobsChanged();
    void settingsChanged();
    void capabilitiesChanged();
    // After the job's final state is set and the queue saved; message is the output's file name on success,
    // otherwise the job's error text.
    void jobFinished(int id, bool ok, const QString& message);

private:
    // Starts the capability probe on its worker unless it has started already.
    void probeCapabilities() const;
    Job* findJob(int id);
    const Job* findJob(int id) const;
    // True when a file is there or a pending or running job writes it.
    bool outputTaken(const QString& path) const;
    // Starts, in queue order and up to the concurrency, the pending jobs; announces the list in any case.
    void schedule();
    // Turns a pending job into a running one on a worker thread of its own; false (the job then failed) when
    // the thread cannot be made.
    bool start(Job& job);
    // The worker's body: converts and posts the outcome back. Nothing but the queue's address is used here.
    static void runWorker(TranscodeQueue* queue, int id, engine::TranscodeOptions options,
        std::shared_ptr<std::atomic<bool>> cancel, std::shared_ptr<std::atomic<bool>> leftPartial);
    void applyProgress(int id, const engine::TranscodeProgress& report);
    // The end of one run of a job, on the GUI thread. `flag` tells that run from a later one of the same job;
    // outputOpened says the conversion created or truncated the file at the output, so a partial file is its own.
    void onJobFinished(int id, bool ok, bool cancelled, const QString& message, bool outputOpened,
        const std::shared_ptr<std::atomic<bool>>& flag);

    QString queueFilePath() const;
    // An id no job or worker holds: the next in turn, or once those have run out, the lowest free one.
    int freshId();
    void loadQueue();
    void saveQueue() const;

    std::vector<Job> jobList_;
    // Each started job's worker, keyed by job id, until its end has been handled.
    std::map<int, std::thread> workers_;
    int nextId_ = 1;
    bool paused_ = false;
    int concurrency_ = 1;
    bool keepPartial_ = false;
    QString filenamePattern_;
    QVariantMap lastSettings_;
    // The queue file as last read or written, so an unchanged queue is not written again.
    mutable QByteArray savedQueue_;
    QSettings settingsStore_;
    // Coalesces progress reports into one jobsChanged per 500 ms.
    QTimer changeTimer_;
    // The probe's answer as QML reads it, and its worker (joinable from its start until this object goes).
    QVariantMap capabilities_;
    mutable std::thread capabilitiesWorker_;
};

} // namespace kvr::ui
