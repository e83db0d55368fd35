// The queue file: the jobs in queue order as one compact JSON array, so they survive a restart.
#include "ui/convert/TranscodeQueue.h"

#include "engine/Logging.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <climits>
#include <set>

namespace kvr::ui {

namespace {

// Ids run from 1 up to one below the largest int, so that the id after any of them is still an int.
constexpr int kLastId = INT_MAX - 1;

} // namespace

int TranscodeQueue::freshId()
{
    auto taken = [this](int id) {
        if (workers_.count(id) > 0)
            return true;
        return std::any_of(jobList_.begin(), jobList_.end(), [id](const Job& job) { return job.id == id; });
    };
    if (nextId_ >= 1 && nextId_ <= kLastId && !taken(nextId_))
        return nextId_++;
    // Only a queue file with ids near the end gets here; the queue is short, so a walk from 1 is cheap.
    int id = 1;
    while (id < kLastId && taken(id))
        ++id;
    return id;
}

QString TranscodeQueue::queueFilePath() const
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(folder);
    return folder + QStringLiteral("/transcode_queue.json");
}

void TranscodeQueue::loadQueue()
{
    QFile file(queueFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return;
    savedQueue_ = file.readAll();
    const QJsonArray array = QJsonDocument::fromJson(savedQueue_).array();
    for (const QJsonValue& value : array) {
        const QJsonObject object = value.toObject();
        Job job;
        job.id = object.value(QLatin1String("id")).toInt(0);
        job.input = object.value(QLatin1String("input")).toString();
        job.output = object.value(QLatin1String("output")).toString();
        job.settings = object.value(QLatin1String("settings")).toObject().toVariantMap();
        job.state = object.value(QLatin1String("state")).toString();
        if (job.state == QLatin1String("running"))
            job.state = QStringLiteral("pending");
        job.progress = job.state == QLatin1String("done") ? 1.0 : 0.0;
        job.error = object.value(QLatin1String("error")).toString();
        if (job.id >= 1 && job.id <= kLastId)
            nextId_ = std::max(nextId_, job.id + 1);
        jobList_.push_back(std::move(job));
    }
    // Two jobs of one id would share one worker slot and one end report, an id of 0 or below cannot be told
    // from none, and one too large leaves no room for the next: such ids get fresh ones after all the others.
    std::set<int> seen;
    int renumbered = 0;
    for (Job& job : jobList_) {
        if (job.id <= 0 || job.id > kLastId || !seen.insert(job.id).second) {
            // A placeholder first, so that the job's old id does not count as taken, nor the first free one as
            // free when a later job holds it.
            job.id = 0;
            job.id = freshId();
            seen.insert(job.id);
            ++renumbered;
        }
    }
    if (renumbered > 0)
        engine::logWarning("TranscodeQueue: {} jobs of the queue file had no id of their own; renumbered", renumbered);
}

void TranscodeQueue::saveQueue() const
{
    QJsonArray array;
    for (const Job& job : jobList_) {
        // A job cut short runs again from the start next time.
        const QString state = job.state == QLatin1String("running") ? QStringLiteral("pending") : job.state;
        array.append(QJsonObject {
            { QStringLiteral("error"), job.error },
            { QStringLiteral("id"), job.id },
            { QStringLiteral("input"), job.input },
            { QStringLiteral("output"), job.output },
            { QStringLiteral("settings"), QJsonObject::fromVariantMap(job.settings) },
            { QStringLiteral("state"), state },
        });
    }
    // Each write waits for the disk; the queue is saved at every change and again at quit, when mostly nothing
    // changed since.
    const QByteArray bytes = QJsonDocument(array).toJson(QJsonDocument::Compact);
    if (bytes == savedQueue_ && QFile::exists(queueFilePath()))
        return;
    QSaveFile file(queueFilePath());
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(bytes);
    if (file.commit())
        savedQueue_ = bytes;
}

} // namespace kvr::ui
