#include "ui/TranscodeQueue.h"

// This build converts only from the command line: the queue holds no jobs, runs no workers and keeps no file,
// so shutting it down has nothing to stop or save.

namespace kvr::ui {

TranscodeQueue::TranscodeQueue(QObject* parent)
    : QObject(parent)
{
}

TranscodeQueue::~TranscodeQueue() = default;

void TranscodeQueue::shutdown(bool) { }

} // namespace kvr::ui
