// The bridge's session facet: attaching the engine, the state hand-over, the 100 ms tick with the end of
// media, the open thread and the transport operations.
#include "ui/bridge/MediaSessionBridge.h"

#include "engine/MediaSession.h"
#include "ui/AddressText.h"
#include "ui/bridge/PlaylistFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <pthread.h>

namespace kvr::ui {

using kvr::engine::PlayerState;

namespace {

constexpr int64_t endOverrunUs = 3'000'000;
constexpr int errorSkipDelayMs = 1500;

} // namespace

MediaSessionBridge::MediaSessionBridge(QObject* parent)
    : QObject(parent)
{
    tickTimer_.setInterval(100);
    tickTimer_.setTimerType(Qt::CoarseTimer);
    connect(&tickTimer_, &QTimer::timeout, this, &MediaSessionBridge::onTickTimer);
    loadPreferences();
}

MediaSessionBridge::~MediaSessionBridge()
{
    cancelPendingOpen();
    if (session_)
        session_->setStateCallback({});
}

void MediaSessionBridge::setSession(kvr::engine::MediaSession* session)
{
    if (session == session_)
        return;
    // The open thread may be reporting through the old callback; it must be gone before the callback is.
    cancelPendingOpen();
    if (session_)
        session_->setStateCallback({});
    session_ = session;
    if (session_) {
        // Engine threads never touch the bridge: they only post the change to the GUI thread. The callback is
        // removed (after the open thread was joined) before the bridge goes away.
        session_->setStateCallback([this](PlayerState s) {
            QMetaObject::invokeMethod(
                this, "onEngineStateChanged", Qt::QueuedConnection, Q_ARG(int, static_cast<int>(s)));
        });
    }
    applySessionPreferences();
    emit sessionChanged();
    emit stateChanged();
    emit volumeChanged();
}

MediaSessionBridge::State MediaSessionBridge::engineState() const
{
    if (!session_)
        return Idle;
    const int s = static_cast<int>(session_->state());
    return s >= Idle && s <= Error ? static_cast<State>(s) : Idle;
}

MediaSessionBridge::State MediaSessionBridge::state() const
{
    if (casting()) {
        const int s = remote_->state();
        return s >= Idle && s <= Error ? static_cast<State>(s) : Idle;
    }
    return engineState();
}

bool MediaSessionBridge::hasMedia() const
{
    // A reopen closes the medium for a moment; the window keeps it (no idle screen, controls stay on).
    return isLoaded(state()) || (reopening_ && !casting() && isLoaded(held_.state));
}

bool MediaSessionBridge::isOpening() const
{
    return state() == Opening;
}

bool MediaSessionBridge::casting() const
{
    return remote_ != nullptr && !remoteOwner_.isNull();
}

bool MediaSessionBridge::hasVideo() const
{
    return videoWidth() > 0 && videoHeight() > 0;
}

int MediaSessionBridge::videoWidth() const
{
    const int value = session_ ? session_->videoWidth() : 0;
    return value == 0 && reopening_ ? held_.videoWidth : value;
}

int MediaSessionBridge::videoHeight() const
{
    const int value = session_ ? session_->videoHeight() : 0;
    return value == 0 && reopening_ ? held_.videoHeight : value;
}

int MediaSessionBridge::displayWidth() const
{
    const int value = session_ ? session_->displayWidth() : 0;
    return value == 0 && reopening_ ? held_.displayWidth : value;
}

int MediaSessionBridge::displayHeight() const
{
    const int value = session_ ? session_->displayHeight() : 0;
    return value == 0 && reopening_ ? held_.displayHeight : value;
}

double MediaSessionBridge::videoFps() const
{
    const double value = session_ ? session_->videoFps() : 0.0;
    return value == 0.0 && reopening_ ? held_.videoFps : value;
}

QString MediaSessionBridge::lastError() const
{
    return session_ ? errorText(QString::fromStdString(session_->lastError())) : QString();
}

QString MediaSessionBridge::displayAddress(const QString& entry) const
{
    return kvr::ui::displayAddress(entry);
}

QString MediaSessionBridge::currentFile() const
{
    if (casting())
        return displayAddress(currentEntry());
    if (!session_)
        return {};
    return displayAddress(QString::fromStdString(session_->currentUrl()));
}

qlonglong MediaSessionBridge::durationUs() const
{
    if (casting())
        return remote_->duration();
    const qlonglong value = session_ ? session_->durationUs() : 0;
    return value == 0 && reopening_ ? held_.durationUs : value;
}

qlonglong MediaSessionBridge::clockUs() const
{
    if (casting())
        return remote_->position();
    if (!session_)
        return 0;
    // Until a seek's reopen has ended the bar shows where it was asked to go; inside any other reopen the engine's
    // clock restarts from 0, and the bar stays where it was.
    if (reopening_ && pendingSeekUs_ >= 0)
        return pendingSeekUs_;
    if (reopening_ && !isLoaded(engineState()))
        return held_.clockUs;
    const int64_t clock = session_->clockUs();
    const int64_t duration = session_->durationUs();
    return duration > 0 && clock > duration ? duration : clock;
}

int MediaSessionBridge::currentAudioTrack() const
{
    if (reopening_ && pendingAudioTrack_ != -2)
        return pendingAudioTrack_;
    return session_ ? session_->currentAudioTrack() : -1;
}

int MediaSessionBridge::currentSubtitleTrack() const
{
    if (reopening_ && pendingSubtitleTrack_ != -2)
        return pendingSubtitleTrack_;
    return session_ ? session_->currentSubtitleTrack() : -1;
}

int MediaSessionBridge::currentChapter() const
{
    if (chapters_.isEmpty())
        return -1;
    const qlonglong t = clockUs() + 500'000;
    int found = -1;
    for (int i = 0; i < chapters_.size(); ++i) {
        if (chapters_[i].toMap().value(QStringLiteral("startUs")).toLongLong() <= t)
            found = i;
    }
    return found;
}

void MediaSessionBridge::nextChapter()
{
    if (chapters_.isEmpty()) {
        emit osd(tr("No chapters"));
        return;
    }
    const int next = currentChapter() + 1;
    if (next < chapters_.size())
        seekChapter(next);
}

std::shared_ptr<kvr::engine::VideoFrame> MediaSessionBridge::coverFrame() const
{
    return session_ ? session_->coverArt() : nullptr;
}

std::shared_ptr<kvr::engine::VideoFrame> MediaSessionBridge::takeFrame(int64_t clockUs, bool force)
{
    return session_ ? session_->takeFrame(clockUs, force) : nullptr;
}

int64_t MediaSessionBridge::videoClockUs() const
{
    return session_ ? session_->videoClockUs() : 0;
}

bool MediaSessionBridge::renderSubtitles(int width, int height, kvr::engine::internal::SubtitleOverlay& overlay)
{
    return session_ ? session_->renderSubtitles(width, height, overlay) : false;
}

bool MediaSessionBridge::frameDue(int64_t clockUs, bool force)
{
    return session_ ? session_->frameDue(clockUs, force) : false;
}

bool MediaSessionBridge::subtitleChangeDue() const
{
    return session_ ? session_->subtitleChangeDue() : false;
}

int64_t MediaSessionBridge::nextFramePtsUs() const
{
    return session_ ? session_->nextFramePtsUs() : -1;
}

uint64_t MediaSessionBridge::sessionGeneration() const
{
    return session_ ? session_->generation() : 0;
}

size_t MediaSessionBridge::readAudioSamples(float* out, size_t frames)
{
    return session_ ? session_->recentAudioSamples(out, frames) : 0;
}

QString MediaSessionBridge::formatTime(qint64 us)
{
    const qint64 h = us / 3'600'000'000LL;
    const qint64 m = (us / 1'000'000 - h * 3600) / 60;
    const qint64 s = us / 1'000'000 - (us / 60'000'000) * 60;
    if (h <= 0)
        return QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(s, 2, 10, QLatin1Char('0'));
}

void MediaSessionBridge::onEngineStateChanged(int new_state)
{
    emit stateChanged();
    emit sessionChanged();

    const State s = state();
    if (isLoaded(s)) {
        if (!tickTimer_.isActive())
            tickTimer_.start();
    } else if (tickTimer_.isActive()) {
        tickTimer_.stop();
    }

    if (s == Prepared || s == Playing || s == Paused) {
        buildChapters();
        if (s == Playing) {
            consecutiveErrors_ = 0;
            if (pendingResumeUs_ > 0) {
                emit osd(tr("Resumed at %1").arg(formatTime(pendingResumeUs_)));
                pendingResumeUs_ = 0;
            }
        }
    }

    // Every transition of an open arrives here queued, so by the time the earlier ones (Ending … Opening) are
    // handled the failed open may already read Error. Only the report of the Error itself acts on it: one
    // message, one count, one skip per failed open.
    if (s != Error || new_state != Error)
        return;
    pendingResumeUs_ = 0;
    const QString entry = currentEntry();
    const QString name = QFileInfo(displayAddress(entry)).fileName();
    const QString error = lastError();
    emit osd(name.isEmpty() ? error : tr("%1: %2").arg(name, error));
    // The message may go by unseen (no window yet, or a started file); the log keeps the reason.
    reportOpenFailed(entry, error);
    ++consecutiveErrors_;
    if (!playPlaylist_ || consecutiveErrors_ >= playlist_.size())
        return;
    const int next = nextIndex();
    if (next < 0)
        return;
    const int failed = playlistIndex_;
    QTimer::singleShot(errorSkipDelayMs, this, [this, failed, next] {
        // The user may have chosen something else meanwhile.
        if (playlistIndex_ == failed && state() == Error)
            openEntry(next);
    });
}

void MediaSessionBridge::onTickTimer()
{
    emit clockUsChanged();
    if (endHandled_ || !session_)
        return;
    std::unique_lock lock(engineMutex_, std::try_to_lock);
    if (!lock.owns_lock())
        return;
    // Polled on every tick, also outside Playing: the engine restarts its 300 ms hold-off there.
    const bool engineEnd = session_->reachedEnd();
    const int64_t duration = session_->durationUs();
    const bool ended = session_->state() == PlayerState::Playing
        && (engineEnd || (duration > 0 && session_->clockUs() > duration + endOverrunUs));
    lock.unlock();
    if (!ended)
        return;

    endHandled_ = true;
    recordPlayed(true);
    if (playlistIndex_ >= 0 && playlistIndex_ < playlist_.size())
        clearResumePosition(playlist_[playlistIndex_]);

    if (!openAfterEnd())
        stop();
}

void MediaSessionBridge::recordPlayed(bool ended)
{
    if (playedRecorded_ || !session_)
        return;
    if (!isLoaded(state()))
        return;
    const QString path = currentFile();
    if (path.isEmpty() || isNetworkUrl(path))
        return;
    const qlonglong duration = durationUs();
    qlonglong playedUs = duration;
    if (!ended) {
        const qlonglong p = clockUs();
        if (!(p >= 240'000'000 || (duration > 0 && p >= duration / 2)))
            return;
        playedUs = p;
    } else if (duration <= 0) {
        // Nothing else tells how long an entry of unknown length ran.
        playedUs = clockUs();
    }
    playedRecorded_ = true;
    emit played(path, std::max<qlonglong>(playedUs, 0));
}

void MediaSessionBridge::cancelPendingOpen()
{
    {
        // Under the queue's lock: the worker clears the abort when it takes its next reopen, so a raised one
        // is never lost between the two.
        std::lock_guard queue(reopenMutex_);
        reopenJobs_.clear();
        // The engine keeps an abort raised until the next open clears it, so it is raised only while an open
        // runs: media that already plays must not lose its reads.
        if (session_ && openRunning_)
            session_->abortOpen();
    }
    if (openThread_.joinable())
        openThread_.join();
    endReopening();
}

void MediaSessionBridge::startOpenThread(const QString& path, int64_t startUs)
{
    // Raised by cancelPendingOpen on this thread; cleared here, before the new open can see it.
    session_->clearAbort();
    // Bytes, never a wide string: a path built from wide characters throws on any non-ASCII name here.
    std::string bytes = QFile::encodeName(path).toStdString();
    kvr::engine::MediaSession* session = session_;
    openRunning_ = true;
    openThread_ = std::thread([this, session, bytes = std::move(bytes), startUs] {
        pthread_setname_np(pthread_self(), "kvr-open");
        try {
            std::lock_guard lock(engineMutex_);
            if (session->open(std::filesystem::path(bytes), startUs))
                session->play();
        } catch (const std::exception& e) {
            spdlog::error("MediaSessionBridge: open failed: {}", e.what());
        } catch (...) {
            spdlog::error("MediaSessionBridge: open failed");
        }
        openRunning_ = false;
    });
}

bool MediaSessionBridge::reopen(
    std::function<void(kvr::engine::MediaSession&)> work, std::function<void()> done, bool isSeek)
{
    if (!session_)
        return false;
    std::unique_lock queue(reopenMutex_);
    if (reopenWorkerRunning_) {
        // Only the last target of a held key or a dragged bar is worth the reopen.
        if (isSeek) {
            reopenJobs_.erase(
                std::remove_if(reopenJobs_.begin(), reopenJobs_.end(), [](const ReopenJob& job) { return job.isSeek; }),
                reopenJobs_.end());
        }
        reopenJobs_.push_back({ std::move(work), std::move(done), isSeek });
        return true;
    }
    // An open holds the engine until it plays; the worker may not have taken it yet or may still be returning.
    if (openRunning_)
        return false;
    if (!isLoaded(engineState()) && session_->currentUrl().empty()) {
        // Nothing open to reopen: the change is only stored (a speed for the next open), at once.
        queue.unlock();
        std::unique_lock lock(engineMutex_, std::try_to_lock);
        if (!lock.owns_lock())
            return false;
        session_->clearAbort();
        work(*session_);
        return true;
    }
    reopenJobs_.push_back({ std::move(work), std::move(done), isSeek });
    reopenWorkerRunning_ = true;
    openRunning_ = true;
    queue.unlock();
    if (!reopening_) {
        held_ = Held { state(), clockUs(), durationUs(), videoWidth(), videoHeight(), displayWidth(), displayHeight(),
            videoFps() };
        reopening_ = true;
    }
    if (openThread_.joinable())
        openThread_.join();
    kvr::engine::MediaSession* session = session_;
    openThread_ = std::thread([this, session] { reopenWorker(session); });
    return true;
}

void MediaSessionBridge::reopenWorker(kvr::engine::MediaSession* session)
{
    pthread_setname_np(pthread_self(), "kvr-open");
    for (;;) {
        ReopenJob job;
        {
            std::lock_guard queue(reopenMutex_);
            if (reopenJobs_.empty()) {
                reopenWorkerRunning_ = false;
                openRunning_ = false;
                reopensIdle_.notify_all();
                break;
            }
            job = std::move(reopenJobs_.front());
            reopenJobs_.pop_front();
            // Cleared with the job taken, under the lock cancelPendingOpen raises it with.
            session->clearAbort();
        }
        try {
            std::lock_guard lock(engineMutex_);
            job.work(*session);
        } catch (const std::exception& e) {
            spdlog::error("MediaSessionBridge: reopen failed: {}", e.what());
        } catch (...) {
            spdlog::error("MediaSessionBridge: reopen failed");
        }
        // Queued to the GUI thread after the state changes the job posted; the bridge joins this thread before it
        // goes, and its posted calls go with it.
        if (job.done)
            QMetaObject::invokeMethod(
                this, [done = std::move(job.done)] { done(); }, Qt::QueuedConnection);
    }
    QMetaObject::invokeMethod(
        this, [this] { reopensEnded(); }, Qt::QueuedConnection);
}

void MediaSessionBridge::endReopening()
{
    reopening_ = false;
    pendingSeekUs_ = -1;
    pendingSpeed_ = 0.0;
    pendingAudioTrack_ = -2;
    pendingSubtitleTrack_ = -2;
    pendingAudioEffects_.reset();
    pendingVideoFilters_.reset();
}

bool MediaSessionBridge::waitForReopens(std::chrono::milliseconds timeout)
{
    std::unique_lock queue(reopenMutex_);
    return reopensIdle_.wait_for(queue, timeout, [this] { return !reopenWorkerRunning_; });
}

void MediaSessionBridge::reopensEnded()
{
    {
        // A later request may have started another run meanwhile; its own end follows.
        std::lock_guard queue(reopenMutex_);
        if (reopenWorkerRunning_)
            return;
    }
    if (!reopening_)
        return;
    endReopening();
    emit stateChanged();
    emit clockUsChanged();
}

MediaSessionBridge::Control MediaSessionBridge::control(
    std::function<void(kvr::engine::MediaSession&)> work, std::function<void()> done)
{
    if (!session_)
        return Control::Dropped;
    {
        std::lock_guard queue(reopenMutex_);
        if (reopenWorkerRunning_) {
            reopenJobs_.push_back({ std::move(work), std::move(done), false });
            return Control::Queued;
        }
    }
    // Only this thread starts reopens, so none can start between the look above and here.
    std::unique_lock lock(engineMutex_, std::try_to_lock);
    if (!lock.owns_lock())
        return Control::Dropped;
    work(*session_);
    return Control::Ran;
}

MediaSessionBridge::State MediaSessionBridge::desktopState() const
{
    return reopening_ ? held_.state : state();
}

qlonglong MediaSessionBridge::desktopClockUs() const
{
    return reopening_ ? held_.clockUs : clockUs();
}

void MediaSessionBridge::refreshPausedPicture()
{
    // Only a paused picture is drawn again; a playing one shows the filters with its next frame.
    if (session_->state() != PlayerState::Paused)
        return;
    reopen([](kvr::engine::MediaSession& s) { s.refreshPausedFrame(); });
}

bool MediaSessionBridge::openCurrentIfStopped()
{
    if (!session_ || playlist_.isEmpty())
        return false;
    bool stopped = false;
    if (casting()) {
        const State s = state();
        stopped = s == Idle || s == Error;
    } else {
        const State s = engineState();
        stopped = s == Idle || s == Closed || s == Error;
    }
    if (!stopped)
        return false;
    const int index = playlistIndex_ >= 0 && playlistIndex_ < playlist_.size() ? playlistIndex_ : 0;
    return openEntry(index);
}

void MediaSessionBridge::play()
{
    if (casting()) {
        if (state() == Idle)
            openCurrentIfStopped();
        else
            remote_->play();
        return;
    }
    // A reopen passes through Idle: that is no stop to open the entry again from.
    if (!reopening_ && openCurrentIfStopped())
        return;
    control([](kvr::engine::MediaSession& s) { s.play(); });
}

void MediaSessionBridge::pause()
{
    if (casting()) {
        remote_->pause();
        return;
    }
    control([](kvr::engine::MediaSession& s) { s.pause(); });
}

void MediaSessionBridge::togglePlayPause()
{
    if (casting()) {
        const State s = state();
        if (s == Idle || s == Error)
            openCurrentIfStopped();
        else if (s == Playing)
            remote_->pause();
        else
            remote_->play();
        return;
    }
    if (!reopening_ && openCurrentIfStopped())
        return;
    // Read when it runs: after a reopen the session is back in the state it had before.
    control([](kvr::engine::MediaSession& s) {
        switch (s.state()) {
        case PlayerState::Prepared:
            s.play();
            break;
        case PlayerState::Playing:
            s.pause();
            break;
        case PlayerState::Paused:
            s.resume();
            break;
        default:
            break;
        }
    });
}

void MediaSessionBridge::stop()
{
    if (casting()) {
        remote_->stopPlayback();
        return;
    }
    saveResumePosition();
    cancelPendingOpen();
    {
        std::lock_guard lock(engineMutex_);
        pendingResumeUs_ = 0;
        if (session_)
            session_->close();
        mediaInfoPath_.clear();
        audioTracks_.clear();
        subtitleTracks_.clear();
        chapters_.clear();
        coverArtUrl_.clear();
        mediaTitle_.clear();
        mediaArtist_.clear();
        mediaAlbum_.clear();
    }
    emit tracksChanged();
    emit mediaInfoChanged();
}

void MediaSessionBridge::seekUs(qlonglong target_us)
{
    if (casting()) {
        remote_->seek(std::max<qlonglong>(target_us, 0));
        emit clockUsChanged();
        return;
    }
    const bool started = reopen([target_us](kvr::engine::MediaSession& s) { s.seek(target_us); },
        [this] {
            endHandled_ = false;
            emit clockUsChanged();
        },
        true);
    if (!started)
        return;
    const qlonglong duration = durationUs();
    pendingSeekUs_ = std::clamp<qlonglong>(target_us, 0, duration > 0 ? duration : std::max<qlonglong>(target_us, 0));
    endHandled_ = false;
    emit clockUsChanged();
}

void MediaSessionBridge::seekFraction(double f)
{
    if (!casting() && !session_)
        return;
    const qlonglong d = durationUs();
    if (d < 1)
        return;
    if (std::isnan(f))
        f = 0.0;
    seekUs(static_cast<qlonglong>(static_cast<double>(d) * std::clamp(f, 0.0, 1.0)));
}

void MediaSessionBridge::seekRelative(qlonglong delta_us)
{
    if (!casting() && !session_)
        return;
    if (!hasMedia())
        return;
    // A held key steps on from the target still on its way, not from where the picture is now.
    const qlonglong c = casting() ? remote_->position() : pendingSeekUs_ >= 0 ? pendingSeekUs_ : session_->clockUs();
    qlonglong t = std::max<qlonglong>(0, c + delta_us);
    const qlonglong d = durationUs();
    if (d > 0 && t > d)
        t = d;
    seekUs(t);
}

void MediaSessionBridge::stepFrame(bool forward)
{
    if (casting()) {
        emit osd(tr("Frame stepping is not available while casting"));
        return;
    }
    // The size reads 0 inside a reopen; the step itself checks again when it runs.
    if (!session_ || (!reopening_ && (session_->videoWidth() <= 0 || session_->videoHeight() <= 0)))
        return;
    const bool started = reopen([forward](kvr::engine::MediaSession& s) { s.stepFrame(forward); },
        [this] {
            endHandled_ = false;
            emit clockUsChanged();
        });
    if (!started)
        return;
    endHandled_ = false;
    emit clockUsChanged();
}

// At the end of an entry: the same entry again (repeat one) or the next one when the playlist plays on.
// False when nothing was opened.
bool MediaSessionBridge::openAfterEnd()
{
    if (repeatMode_ == RepeatOne && playlistIndex_ >= 0) {
        openEntry(playlistIndex_);
        return true;
    }
    if (playPlaylist_) {
        const int next = nextIndex();
        if (next >= 0) {
            openEntry(next);
            return true;
        }
    }
    return false;
}

} // namespace kvr::ui
