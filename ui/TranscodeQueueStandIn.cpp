#include "ui/TranscodeQueue.h"

#include <QSettings>

// This build converts only from the command line: the queue holds no jobs, runs no workers and keeps no file,
// so shutting it down has nothing to stop or save and nothing ever finishes. Only the paused flag is kept.

namespace kvr::ui {

namespace {

const QString kPausedKey = QStringLiteral("convert/paused");

} // namespace

TranscodeQueue::TranscodeQueue(QObject* parent)
    : QObject(parent)
    , paused_(QSettings().value(kPausedKey, false).toBool())
{
}

TranscodeQueue::~TranscodeQueue() = default;

void TranscodeQueue::shutdown(bool) { }

QVariantList TranscodeQueue::jobs() const
{
    return {};
}

int TranscodeQueue::running() const
{
    return 0;
}

int TranscodeQueue::pending() const
{
    return 0;
}

void TranscodeQueue::setPaused(bool paused)
{
    if (paused == paused_)
        return;
    paused_ = paused;
    QSettings().setValue(kPausedKey, paused);
    emit settingsChanged();
}

void TranscodeQueue::cancel(int) { }

} // namespace kvr::ui
