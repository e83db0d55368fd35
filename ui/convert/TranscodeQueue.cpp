#include "ui/convert/TranscodeQueue.h"

#include "engine/convert/MediaProbe.h"
#include "engine/convert/Transcoder.h"
#include "ui/convert/TranscodeSettings.h"
#include "ui/PostedCall.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <mutex>
#include <system_error>

namespace kvr::ui {

namespace {

const QString kPausedKey = QStringLiteral("convert/paused");
const QString kConcurrencyKey = QStringLiteral("convert/concurrency");
const QString kKeepPartialKey = QStringLiteral("convert/keepPartial");
const QString kPatternKey = QStringLiteral("convert/pattern");
const QString kLastKey = QStringLiteral("convert/last");

const QString kPending = QStringLiteral("pending");
const QString kRunning = QStringLiteral("running");
const QString kDone = QStringLiteral("done");
const QString kFailed = QStringLiteral("failed");
const QString kCancelled = QStringLiteral("cancelled");

bool samePath(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QStringList toStringList(const std::vector<std::string>& names)
{
    QStringList list;
    list.reserve(static_cast<qsizetype>(names.size()));
    for (const std::string& name : names)
        list.append(QString::fromStdString(name));
    return list;
}

QString trackLabel(const engine::TrackInfo& track)
{
    QString label = QString::fromStdString(track.title);
    if (!track.language.empty()) {
        if (!label.isEmpty())
            label += QStringLiteral(" · ");
        label += QString::fromStdString(track.language);
    }
    if (label.isEmpty())
        label = TranscodeQueue::tr("Track %1").arg(track.streamIndex);
    return label + QStringLiteral("  (%1)").arg(QString::fromStdString(track.codec));
}

// folder/base<insert>.suffix, from the parts of path.
QString withInsert(const QString& path, const QString& insert)
{
    const QFileInfo info(path);
    return QDir::toNativeSeparators(
        info.absolutePath() + QLatin1Char('/') + info.completeBaseName() + insert + QLatin1Char('.') + info.suffix());
}

// Deletes what a failed or cancelled conversion left at path. Only a regular file goes: a link or a device
// there was never the conversion's own to take away.
void removePartialOutput(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info { };
    if (::lstat(name.constData(), &info) == 0 && S_ISREG(info.st_mode))
        ::unlink(name.constData());
}

} // namespace

TranscodeQueue::TranscodeQueue(QObject* parent)
    : QObject(parent)
    , filenamePattern_(QLatin1String(kDefaultFilenamePattern))
{
    paused_ = settingsStore_.value(kPausedKey, false).toBool();
    concurrency_ = std::clamp(settingsStore_.value(kConcurrencyKey, 1).toInt(), 1, 4);
    keepPartial_ = settingsStore_.value(kKeepPartialKey, false).toBool();
    filenamePattern_ = settingsStore_.value(kPatternKey, filenamePattern_).toString();
    lastSettings_ = settingsStore_.value(kLastKey).toMap();

    changeTimer_.setInterval(500);
    changeTimer_.setSingleShot(true);
    // A coarse timer may fire a little early; progress must never be announced more than twice a second.
    changeTimer_.setTimerType(Qt::PreciseTimer);
    connect(&changeTimer_, &QTimer::timeout, this, &TranscodeQueue::jobsChanged);

    loadQueue();
    // Pending jobs start once the event loop runs, not while the application is still being built.
    QTimer::singleShot(0, this, &TranscodeQueue::schedule);
}

TranscodeQueue::~TranscodeQueue()
{
    shutdown(true);
    // The probe cannot be cut short; its answer, posted to this object, is dropped with it.
    if (capabilitiesWorker_.joinable())
        capabilitiesWorker_.join();
}

void TranscodeQueue::shutdown(bool cancelRunning)
{
    if (cancelRunning) {
        for (Job& job : jobList_) {
            if (job.state == kRunning && job.cancel)
                job.cancel->exchange(true);
        }
    }
    for (auto& [id, worker] : workers_) {
        if (worker.joinable())
            worker.join();
    }
    workers_.clear();
    for (Job& job : jobList_) {
        if (job.state != kRunning)
            continue;
        job.state = kPending;
        if (!keepPartial_ && job.leftPartial && job.leftPartial->load())
            removePartialOutput(job.output);
        job.leftPartial.reset();
    }
    saveQueue();
}

QVariantList TranscodeQueue::jobs() const
{
    QVariantList list;
    list.reserve(static_cast<qsizetype>(jobList_.size()));
    for (const Job& job : jobList_) {
        const QString summary = QStringLiteral("%1 · %2 / %3")
                                    .arg(job.settings.value(QStringLiteral("container")).toString().toUpper(),
                                        job.settings.value(QStringLiteral("videoCodec")).toString(),
                                        job.settings.value(QStringLiteral("audioCodec")).toString());
        list.append(QVariantMap {
            { QStringLiteral("id"), job.id },
            { QStringLiteral("input"), job.input },
            { QStringLiteral("output"), job.output },
            { QStringLiteral("name"), QFileInfo(job.output).fileName() },
            { QStringLiteral("state"), job.state },
            { QStringLiteral("progress"), job.progress },
            { QStringLiteral("speed"), job.speed },
            { QStringLiteral("eta"), job.eta },
            { QStringLiteral("fps"), job.fps },
            { QStringLiteral("bytes"), job.bytes },
            { QStringLiteral("pass"), job.pass },
            { QStringLiteral("passes"), job.passes },
            { QStringLiteral("error"), job.error },
            { QStringLiteral("summary"), summary },
        });
    }
    return list;
}

QVariantMap TranscodeQueue::capabilities() const
{
    probeCapabilities();
    return capabilities_;
}

void TranscodeQueue::probeCapabilities() const
{
    if (capabilitiesWorker_.joinable() || !capabilities_.isEmpty())
        return;
    // The engine's first answer runs its test encodes and holds the caller until they end (a dialog opened on
    // the GUI thread froze for their length); later answers are the stored record. Const: the first read of
    // the property starts it.
    auto* queue = const_cast<TranscodeQueue*>(this);
    const auto publish = [queue](const engine::TranscodeCapabilities& caps) {
        queue->capabilities_ = {
            { QStringLiteral("video"), toStringList(caps.videoCodecs) },
            { QStringLiteral("audio"), toStringList(caps.audioCodecs) },
            { QStringLiteral("containers"), toStringList(caps.containers) },
            { QStringLiteral("hardware"), toStringList(caps.hardwareEncoders) },
        };
        emit queue->capabilitiesChanged();
    };
    try {
        capabilitiesWorker_ = std::thread([queue, publish] {
            pthread_setname_np(pthread_self(), "kvr-caps-wait");
            try {
                engine::TranscodeCapabilities caps = engine::Transcoder::capabilities();
                postCall(queue, [publish, caps = std::move(caps)] { publish(caps); });
            } catch (...) {
                // Only memory can run out here (the probe keeps its own failures); the lists then stay empty.
            }
        });
    } catch (const std::system_error&) {
        // No thread to be had: the answer is waited for here, as it always was.
        publish(engine::Transcoder::capabilities());
    }
}

int TranscodeQueue::running() const
{
    return static_cast<int>(
        std::count_if(jobList_.begin(), jobList_.end(), [](const Job& job) { return job.state == kRunning; }));
}

int TranscodeQueue::pending() const
{
    return static_cast<int>(
        std::count_if(jobList_.begin(), jobList_.end(), [](const Job& job) { return job.state == kPending; }));
}

void TranscodeQueue::setPaused(bool paused)
{
    if (paused == paused_)
        return;
    paused_ = paused;
    settingsStore_.setValue(kPausedKey, paused);
    emit settingsChanged();
    if (!paused)
        schedule();
}

void TranscodeQueue::setConcurrency(int concurrency)
{
    concurrency = std::clamp(concurrency, 1, 4);
    if (concurrency == concurrency_)
        return;
    concurrency_ = concurrency;
    settingsStore_.setValue(kConcurrencyKey, concurrency);
    emit settingsChanged();
    schedule();
}

void TranscodeQueue::setKeepPartial(bool keepPartial)
{
    if (keepPartial == keepPartial_)
        return;
    keepPartial_ = keepPartial;
    settingsStore_.setValue(kKeepPartialKey, keepPartial);
    emit settingsChanged();
}

void TranscodeQueue::setFilenamePattern(const QString& pattern)
{
    QString value = pattern.trimmed();
    if (value.isEmpty())
        value = QLatin1String(kDefaultFilenamePattern);
    if (value == filenamePattern_)
        return;
    filenamePattern_ = value;
    settingsStore_.setValue(kPatternKey, value);
    emit settingsChanged();
}

int TranscodeQueue::addJobs(const QStringList& inputs, const QVariantMap& settings)
{
    lastSettings_ = settings;
    settingsStore_.setValue(kLastKey, settings);
    emit settingsChanged();

    const QString collision = settings.value(QStringLiteral("collision"), QStringLiteral("rename")).toString();
    int added = 0;
    for (const QString& text : inputs) {
        const QString input = QDir::toNativeSeparators(localPathOf(text));
        QString output = plannedOutput(input, settings);
        // Never write over the input itself, whatever the pattern says.
        if (samePath(QFileInfo(output).absoluteFilePath(), QFileInfo(input).absoluteFilePath()))
            output = withInsert(output, QStringLiteral("_converted"));
        if (outputTaken(output)) {
            if (collision == QLatin1String("skip"))
                continue;
            if (collision == QLatin1String("rename")) {
                // The parts come from the first taken name, so numbers never nest.
                const QString taken = output;
                for (int n = 2;; ++n) {
                    output = withInsert(taken, QStringLiteral(" (%1)").arg(n));
                    if (!outputTaken(output))
                        break;
                }
            }
        }
        Job job;
        job.id = freshId();
        job.input = input;
        job.output = output;
        job.settings = settings;
        jobList_.push_back(std::move(job));
        ++added;
    }
    saveQueue();
    emit jobsChanged();
    schedule();
    return added;
}

QString TranscodeQueue::plannedOutput(const QString& input, const QVariantMap& settings) const
{
    const QFileInfo inputInfo(localPathOf(input));
    const QString container = settings.value(QStringLiteral("container"), QStringLiteral("mp4")).toString();
    QString folder = localPathOf(settings.value(QStringLiteral("destination")).toString());
    if (folder.isEmpty())
        folder = inputInfo.absolutePath();

    QString format = settings.value(QStringLiteral("videoCodec")).toString();
    if (format == QLatin1String("none"))
        format = settings.value(QStringLiteral("audioCodec")).toString();
    QString name = filenamePattern_;
    name.replace(QLatin1String("{name}"), inputInfo.completeBaseName());
    name.replace(QLatin1String("{format}"), format);
    name.replace(QLatin1String("{quality}"), qualityWord(settings.value(QStringLiteral("quality"), 2).toInt()));
    name.replace(QLatin1String("{ext}"), extensionForContainer(container));
    if (!name.contains(QLatin1Char('.')))
        name += QLatin1Char('.') + extensionForContainer(container);
    return QDir::toNativeSeparators(QFileInfo(QDir(folder), name).absoluteFilePath());
}

QVariantMap TranscodeQueue::probe(const QString& input) const
{
    const QString path = QDir::toNativeSeparators(localPathOf(input));
    const engine::MediaInfo info = engine::probeMedia(QFile::encodeName(path).toStdString());
    QVariantList audio;
    QVariantList subtitles;
    bool hasVideo = false;
    for (const engine::TrackInfo& track : info.tracks) {
        if (track.kind != 1 && track.kind != 2) {
            hasVideo = true;
            continue;
        }
        const QVariantMap entry {
            { QStringLiteral("id"), track.streamIndex },
            { QStringLiteral("label"), trackLabel(track) },
            { QStringLiteral("bitmap"), track.bitmap },
        };
        (track.kind == 1 ? audio : subtitles).append(entry);
    }
    return {
        { QStringLiteral("ok"), !info.tracks.empty() },
        { QStringLiteral("durationUs"), static_cast<qint64>(info.durationUs) },
        { QStringLiteral("hasVideo"), hasVideo },
        { QStringLiteral("audio"), audio },
        { QStringLiteral("subtitles"), subtitles },
    };
}

QString TranscodeQueue::checkCodecs(const QString& container, const QString& video, const QString& audio) const
{
    return QString::fromStdString(
        engine::Transcoder::validate(container.toStdString(), video.toStdString(), audio.toStdString()));
}

void TranscodeQueue::cancel(int id)
{
    Job* job = findJob(id);
    if (!job)
        return;
    if (job->state == kRunning && job->cancel) {
        // The worker reports the end; until then the job stays running.
        job->cancel->exchange(true);
        return;
    }
    if (job->state != kPending)
        return;
    job->state = kCancelled;
    job->error = tr("Cancelled");
    saveQueue();
    emit jobsChanged();
}

void TranscodeQueue::retry(int id)
{
    Job* job = findJob(id);
    if (!job || job->state == kRunning || job->state == kPending)
        return;
    job->state = kPending;
    job->progress = 0;
    job->error.clear();
    saveQueue();
    schedule();
}

void TranscodeQueue::remove(int id)
{
    Job* job = findJob(id);
    if (!job)
        return;
    if (job->state == kRunning) {
        cancel(id);
        return;
    }
    jobList_.erase(jobList_.begin() + (job - jobList_.data()));
    saveQueue();
    emit jobsChanged();
}

void TranscodeQueue::move(int id, int delta)
{
    Job* job = findJob(id);
    if (!job)
        return;
    const qint64 from = job - jobList_.data();
    const qint64 to = std::clamp<qint64>(from + delta, 0, static_cast<qint64>(jobList_.size()) - 1);
    if (to == from)
        return;
    Job moved = std::move(*job);
    jobList_.erase(jobList_.begin() + from);
    jobList_.insert(jobList_.begin() + to, std::move(moved));
    saveQueue();
    emit jobsChanged();
}

void TranscodeQueue::clearFinished()
{
    std::erase_if(jobList_, [](const Job& job) { return job.state == kDone || job.state == kCancelled; });
    saveQueue();
    emit jobsChanged();
}

void TranscodeQueue::openOutputFolder(int id)
{
    const Job* job = findJob(id);
    if (!job)
        return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(job->output).absolutePath()));
}

QVariantMap TranscodeQueue::jobSettings(int id) const
{
    const Job* job = findJob(id);
    if (!job)
        return {};
    QVariantMap settings = job->settings;
    settings.insert(QStringLiteral("input"), job->input);
    return settings;
}

TranscodeQueue::Job* TranscodeQueue::findJob(int id)
{
    auto it = std::find_if(jobList_.begin(), jobList_.end(), [id](const Job& job) { return job.id == id; });
    return it == jobList_.end() ? nullptr : &*it;
}

const TranscodeQueue::Job* TranscodeQueue::findJob(int id) const
{
    return const_cast<TranscodeQueue*>(this)->findJob(id);
}

bool TranscodeQueue::outputTaken(const QString& path) const
{
    if (QFileInfo::exists(path))
        return true;
    return std::any_of(jobList_.begin(), jobList_.end(), [&path](const Job& job) {
        return (job.state == kPending || job.state == kRunning) && samePath(job.output, path);
    });
}

void TranscodeQueue::schedule()
{
    // A thread that cannot be made fails its job; those are reported once the walk is over, so that a slot of
    // jobFinished never sees the list half walked.
    std::vector<std::pair<int, QString>> failed;
    if (!paused_) {
        int count = running();
        for (size_t i = 0; i < jobList_.size() && count < concurrency_; ++i) {
            Job& job = jobList_[i];
            if (job.state != kPending)
                continue;
            // Two muxers writing one file corrupt it: the job waits for the other, and nothing behind it may
            // overtake it.
            const bool outputBusy = std::any_of(jobList_.begin(), jobList_.end(),
                [&job](const Job& other) { return other.state == kRunning && samePath(other.output, job.output); });
            if (outputBusy)
                break;
            if (start(job))
                ++count;
            else
                failed.emplace_back(job.id, job.error);
        }
    }
    if (!failed.empty())
        saveQueue();
    emit jobsChanged();
    for (const auto& [id, error] : failed)
        emit jobFinished(id, false, error);
}

bool TranscodeQueue::start(Job& job)
{
    job.state = kRunning;
    job.progress = 0;
    job.error.clear();
    job.cancel = std::make_shared<std::atomic<bool>>(false);
    job.leftPartial = std::make_shared<std::atomic<bool>>(false);
    // An unusable folder shows as the conversion's own failure to open the output.
    QDir().mkpath(QFileInfo(job.output).absolutePath());
    engine::TranscodeOptions options = toTranscodeOptions(job.input, job.output, job.settings);

    const auto previous = workers_.find(job.id);
    if (previous != workers_.end()) {
        if (previous->second.joinable())
            previous->second.join();
        workers_.erase(previous);
    }
    try {
        // The thread gets its own copies: a reference into jobList_ dangles once the list grows.
        workers_.emplace(job.id,
            std::thread(&TranscodeQueue::runWorker, this, job.id, std::move(options), job.cancel, job.leftPartial));
    } catch (const std::system_error& e) {
        job.state = kFailed;
        job.error = QStringLiteral("thread: ") + QString::fromLocal8Bit(e.what());
        job.cancel.reset();
        job.leftPartial.reset();
        return false;
    }
    return true;
}

void TranscodeQueue::runWorker(TranscodeQueue* queue, int id, engine::TranscodeOptions options,
    std::shared_ptr<std::atomic<bool>> cancel, std::shared_ptr<std::atomic<bool>> leftPartial)
{
    pthread_setname_np(pthread_self(), "kvr-convert");
    // Only posts reach the queue from here; everything the GUI thread applies is a copy.
    engine::TranscodeResult result;
    try {
        const engine::TranscodeProgressCallback progress = [queue, id](const engine::TranscodeProgress& report) {
            postCall(queue, [queue, id, report] { queue->applyProgress(id, report); });
        };
        result = engine::Transcoder::transcode(options, &progress, cancel.get());
    } catch (const std::exception& e) {
        result = {};
        result.message = std::string("convert: ") + e.what();
    } catch (...) {
        result = {};
        result.message = "convert: unknown error";
    }
    leftPartial->store(!result.ok && result.outputOpened);
    try {
        postCall(queue, [queue, id, result, cancel] {
            queue->onJobFinished(
                id, result.ok, result.cancelled, QString::fromStdString(result.message), result.outputOpened, cancel);
        });
    } catch (...) {
        // Out of memory while posting: the job stays "running" until shutdown, but the process lives.
    }
}

void TranscodeQueue::applyProgress(int id, const engine::TranscodeProgress& report)
{
    Job* job = findJob(id);
    if (!job || job->state != kRunning)
        return;
    job->progress = report.fraction;
    job->speed = report.speed;
    job->eta = report.etaSeconds;
    job->fps = report.rate;
    job->bytes = report.bytes;
    job->pass = report.pass;
    job->passes = report.passes;
    if (!changeTimer_.isActive())
        changeTimer_.start();
}

void TranscodeQueue::onJobFinished(int id, bool ok, bool cancelled, const QString& message, bool outputOpened,
    const std::shared_ptr<std::atomic<bool>>& flag)
{
    Job* job = findJob(id);
    // shutdown already took this run back (the job is pending again, or running anew): its end changes nothing.
    if (job && (job->state != kRunning || job->cancel != flag))
        return;
    const auto worker = workers_.find(id);
    if (worker != workers_.end()) {
        // The thread has posted its end, so this join is short.
        if (worker->second.joinable())
            worker->second.join();
        workers_.erase(worker);
    }
    if (!job) {
        schedule();
        return;
    }
    if (ok) {
        job->state = kDone;
        job->progress = 1.0;
        job->eta = 0;
    } else {
        if (cancelled) {
            job->state = kCancelled;
            job->error = tr("Cancelled");
        } else {
            job->state = kFailed;
            job->error = message;
        }
        // Only a file this run created or truncated is deleted: before that, the file there is the user's, or
        // the good result of an earlier run.
        if (!keepPartial_ && outputOpened)
            removePartialOutput(job->output);
    }
    job->cancel.reset();
    job->leftPartial.reset();
    const QString said = ok ? QFileInfo(job->output).fileName() : job->error;
    saveQueue();
    emit jobFinished(id, ok, said);
    schedule();
}

} // namespace kvr::ui
