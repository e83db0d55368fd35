// The live conversion of a cast: a Transcoder job on a thread of its own writes into a file that the media
// server streams while it grows, and the load waits until enough of it exists.
#include "ui/cast/CastSession.h"

#include "engine/convert/Transcoder.h"
#include "ui/cast/CastController.h"
#include "ui/PostedCall.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace kvr::ui::cast {

namespace {

// A clash with an existing name is retried with a new number this often; anything else fails at once.
constexpr int kFolderAttempts = 16;
constexpr int kFileAttempts = 16;

// Makes a new folder "kvr-cast-<hex>" under the user's temporary location, readable by this user only. One
// mkdir, never an existing folder: a folder that another local user made in a shared /tmp under a name we
// might pick must not receive what we cast.
QString makeStreamFolder(QString& error)
{
    // Empty when TMPDIR names nothing that exists: never fall back to a folder of Qt's choosing.
    const QString base = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    if (base.isEmpty() || !QFileInfo(base).isDir()) {
        error = QStringLiteral("Cannot create the stream folder: the temporary folder %1 does not exist")
                    .arg(QString::fromLocal8Bit(qgetenv("TMPDIR")));
        return {};
    }
    const QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    for (int attempt = 0; attempt < kFolderAttempts; ++attempt) {
        const QString path
            = base + QStringLiteral("/kvr-cast-") + QString::number(QRandomGenerator::system()->generate(), 16);
        if (QDir().mkdir(path, ownerOnly))
            return path;
        if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) {
            error = QStringLiteral("Cannot create the stream folder in %1").arg(QDir::toNativeSeparators(base));
            return {};
        }
    }
    error = QStringLiteral("Cannot create the stream folder in %1").arg(QDir::toNativeSeparators(base));
    return {};
}

// Opens a new stream file in folder for writing; never one that exists (the previous stream may still be
// served, and its deletion is already scheduled by name). Returns -1 with error set when no file can be made.
int createStreamFile(const QString& folder, const QString& extension, QString& path, QString& error)
{
    const QString stamp = QString::number(QDateTime::currentMSecsSinceEpoch());
    for (int attempt = 0; attempt < kFileAttempts; ++attempt) {
        path = folder + QStringLiteral("/stream-") + stamp
            + (attempt == 0 ? QString() : QStringLiteral("-%1").arg(attempt)) + QLatin1Char('.') + extension;
        const QByteArray native = QFile::encodeName(path);
        int fd;
        do {
            fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            break;
    }
    error = QStringLiteral("Cannot create the stream file %1: %2")
                .arg(QDir::toNativeSeparators(path), QString::fromLocal8Bit(std::strerror(errno)));
    return -1;
}

// Writes all of data, across partial writes and interrupted calls. Once write returns, the bytes are visible
// to every other descriptor of the file; there is no user-space buffer to flush.
bool writeAll(int fd, const uint8_t* data, int size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= int(n);
    }
    return true;
}

// What the conversion thread owns.
struct TranscodeJob {
    CastSession* session = nullptr;
    engine::TranscodeOptions options;
    std::shared_ptr<GrowingFile> file;
    int fd = -1;
};

// Opens a new stream file in the session's stream folder, making the folder first when it has none yet; the
// file's path is recorded only once the file is ours. Returns -1 with error set when either cannot be made.
int openStreamFile(QString& cacheDir, const QString& extension, GrowingFile& file, QString& error)
{
    if (cacheDir.isEmpty())
        cacheDir = makeStreamFolder(error);
    int fd = -1;
    if (!cacheDir.isEmpty()) {
        QString path;
        fd = createStreamFile(cacheDir, extension, path, error);
        // A path we did not create is never ours to delete later.
        if (fd >= 0)
            file.path = path;
    }
    return fd;
}

// The conversion's settings for a live cast as plan says, without its output sink.
engine::TranscodeOptions transcodeOptions(
    const QString& source, const CastSession::Plan& plan, qint64 offsetUs, int maxBitrateMbps)
{
    engine::TranscodeOptions options;
    options.input = source.toStdString();
    options.container = plan.container.toStdString();
    options.videoCodec = plan.videoCodec.isEmpty() ? std::string("h264") : plan.videoCodec.toStdString();
    options.audioCodec = plan.audioCodec.isEmpty() ? std::string("aac") : plan.audioCodec.toStdString();
    options.quality = 1;
    options.live = true;
    options.startUs = offsetUs;
    const bool copyVideo = options.videoCodec == "copy";
    options.maxHeight = copyVideo ? 0 : 1080;
    if (maxBitrateMbps > 0 && !copyVideo) {
        options.rateMode = 1;
        options.videoKbps = maxBitrateMbps * 900;
    }
    if (plan.audioStream >= 0)
        options.audioStreams = { plan.audioStream };
    if (plan.audioCodec == QLatin1String("aac")) {
        options.audioChannels = 2;
        options.audioKbps = 192;
    } else if (plan.audioCodec == QLatin1String("mp3")) {
        options.audioKbps = 320;
    }
    if (plan.burnSubtitles) {
        options.subtitles = 3;
        options.subtitleStream = plan.subtitleStream;
        options.subtitleFile = plan.subtitleFile.toStdString();
    }
    options.keepCover = false;
    return options;
}

// The conversion's output: appended to the stream file through fd. Runs on the conversion thread: touches
// only the cancel flag, the file and the record's atomics.
auto streamSink(std::atomic<bool>* cancel, std::shared_ptr<GrowingFile> file, int fd)
{
    return [cancel, file = std::move(file), fd](const uint8_t* data, int size) {
        if (cancel->load())
            return false;
        if (!writeAll(fd, data, size))
            return false;
        file->addWritten(size);
        return true;
    };
}

// The conversion thread's body: converts, closes the stream file and posts the outcome to the session.
void runTranscode(TranscodeJob& job, std::atomic<bool>* cancel)
{
    engine::TranscodeResult result;
    try {
        result = engine::Transcoder::transcode(job.options, nullptr, cancel);
    } catch (const std::exception& e) {
        result = {};
        result.message = std::string("unexpected error: ") + e.what();
    } catch (...) {
        result = {};
        result.message = "unexpected error";
    }
    // Nothing calls the sink once transcode has returned: the descriptor can go.
    ::close(job.fd);
    job.file->finish(!result.ok && !result.cancelled);
    QString line;
    if (result.ok) {
        line = QStringLiteral("Stream ready (%1 MB)")
                   .arg(QString::number(double(job.file->writtenBytes()) / 1048576.0, 'f', 1));
    } else if (result.cancelled) {
        line = QStringLiteral("Stream conversion stopped");
    } else {
        line = QStringLiteral("Stream conversion failed: %1").arg(QString::fromStdString(result.message));
    }
    // Delivered by the session's own thread; dropped if the session is gone by then.
    postCall(job.session, [session = job.session, line] { session->appendDiagnostic(line); });
}

} // namespace

void CastSession::startTranscode(const QString& source, const Plan& plan, qint64 offsetUs)
{
    // Callers stop the previous conversion first; a thread still held here would end the process when replaced.
    if (worker_.joinable())
        stopTranscode();
    auto file = std::make_shared<GrowingFile>();
    QString error;
    const int fd = openStreamFile(cacheDir_, plan.extension, *file, error);
    growingFile_ = file;
    if (fd < 0) {
        // Nothing will write it: the readiness check sees the failure and ends the cast.
        file->finish(true);
        appendDiagnostic(error);
        return;
    }

    std::atomic<bool>* cancel = &cancelTranscode_;
    auto job = std::make_unique<TranscodeJob>();
    job->session = this;
    job->options = transcodeOptions(source, plan, offsetUs, maxBitrateMbps_);
    job->options.outputSink = streamSink(cancel, file, fd);
    job->file = file;
    job->fd = fd;

    cancelTranscode_.store(false);
    try {
        worker_ = std::thread([job = std::move(job), cancel] { runTranscode(*job, cancel); });
        pthread_setname_np(worker_.native_handle(), "kvr-cast");
    } catch (const std::system_error& e) {
        ::close(fd);
        file->finish(true);
        appendDiagnostic(QStringLiteral("Stream conversion failed: %1").arg(QString::fromLocal8Bit(e.what())));
    }
}

void CastSession::stopTranscode()
{
    cancelTranscode_.store(true);
    if (worker_.joinable())
        worker_.join();
    cancelTranscode_.store(false);
    if (!growingFile_)
        return;
    const QString path = growingFile_->path;
    growingFile_.reset();
    if (path.isEmpty())
        return;
    // A receiver may still be reading the tail; the server drops its entries right after this.
    QTimer::singleShot(streamDeleteDelayMs_, this, [path] { QFile::remove(path); });
}

void CastSession::loadWhenReady(int tries, int generation)
{
    if (!controller_ || generation != loadGeneration_)
        return;
    const bool ready = !growingFile_ || growingFile_->writtenBytes() >= kReadyBytes || growingFile_->isFinished();
    if (growingFile_ && growingFile_->hasFailed()) {
        fail(tr("Converting the media for casting failed — see Cast diagnostics"));
        return;
    }
    const bool connecting = controller_->state() == CastController::Connecting;
    if ((connecting || !ready) && tries < readyTries_) {
        QTimer::singleShot(readyIntervalMs_, this, [this, tries, generation] { loadWhenReady(tries + 1, generation); });
        return;
    }
    if (connecting) {
        fail(tr("%1 did not respond").arg(controller_->device().name));
        return;
    }
    QPointer<CastSession> alive(this);
    appendDiagnostic(QStringLiteral("Loading %1 on the receiver").arg(loadRequest_.url.toString()));
    if (!alive || !controller_)
        return;
    status_ = tr("Loading…");
    emit stateChanged();
    if (!alive || !controller_)
        return;
    controller_->load(loadRequest_);
    if (alive)
        loading_ = false;
}

void CastSession::setTranscodeTimings(int readyIntervalMs, int readyTries, int streamDeleteDelayMs)
{
    readyIntervalMs_ = readyIntervalMs;
    readyTries_ = readyTries;
    streamDeleteDelayMs_ = streamDeleteDelayMs;
}

int CastSession::stageLoad(const LoadRequest& request)
{
    ++loadGeneration_;
    loadRequest_ = request;
    loading_ = true;
    return loadGeneration_;
}

} // namespace kvr::ui::cast
