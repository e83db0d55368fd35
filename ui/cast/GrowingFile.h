#pragma once

#include <QString>
#include <QtGlobal>

#include <atomic>

namespace kvr::ui::cast {

// A file that a live conversion is still writing, shared between the conversion thread (the one writer) and
// the media server's readers on the GUI thread. No lock: the counters are atomics, and the writer raises
// written with release order only after the bytes it covers are flushed to disk, so a reader that loads it
// with acquire order never serves bytes that are not there yet.
struct GrowingFile {
    // Set once, before the record is shared.
    QString path;
    // Bytes written and flushed so far; only grows. Final size once finished is set.
    std::atomic<qint64> written { 0 };
    // The conversion has ended, whatever the outcome; set after the last byte (and after failed).
    std::atomic<bool> finished { false };
    // The conversion failed (not cancelled), or the file could not be opened.
    std::atomic<bool> failed { false };

    // Writer side: call after the piece of bytes is flushed.
    void addWritten(qint64 bytes) { written.fetch_add(bytes, std::memory_order_release); }
    // Writer side: ends the file; failed, when set, becomes visible no later than finished.
    void finish(bool failure)
    {
        if (failure)
            failed.store(true, std::memory_order_release);
        finished.store(true, std::memory_order_release);
    }

    // Reader side.
    qint64 writtenBytes() const { return written.load(std::memory_order_acquire); }
    bool isFinished() const { return finished.load(std::memory_order_acquire); }
    bool hasFailed() const { return failed.load(std::memory_order_acquire); }
};

} // namespace kvr::ui::cast
