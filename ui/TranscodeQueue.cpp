#include "ui/TranscodeQueue.h"

#include "engine/MediaProbe.h"
#include "engine/Transcoder.h"
#include "ui/TranscodeSettings.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <algorithm>

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
    connect(&changeTimer_, &QTimer::timeout, this, &TranscodeQueue::jobsChanged);

    loadQueue();
    // Pending jobs start once the event loop runs, not while the application is still being built.
    QTimer::singleShot(0, this, &TranscodeQueue::schedule);
}

TranscodeQueue::~TranscodeQueue()
{
    shutdown(true);
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
        if (job.state == kRunning)
            job.state = kPending;
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
    const engine::TranscodeCapabilities& caps = engine::Transcoder::capabilities();
    return {
        { QStringLiteral("video"), toStringList(caps.videoCodecs) },
        { QStringLiteral("audio"), toStringList(caps.audioCodecs) },
        { QStringLiteral("containers"), toStringList(caps.containers) },
        { QStringLiteral("hardware"), toStringList(caps.hardwareEncoders) },
    };
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
        job.id = nextId_++;
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
    // Starting jobs belongs to the job runner; until then the list is only announced.
    emit jobsChanged();
}

} // namespace kvr::ui
