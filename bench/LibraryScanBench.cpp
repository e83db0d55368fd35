// The cost of a library scan against its floor, the media probe alone, on the same files in the same run.
//
//     kvr_bench_library_scan [file count, default 10000]
//
// Makes the files once in a temporary folder (nine in ten short MP3 files of noise, one in ten short MKV files
// with a video track, spread over 100 folders, a minute old), then prints the best of three runs of:
//   library_scan_first        a full first pass into a fresh database, covers and video frames included;
//   probe_floor               probeMedia over the same files in a tight loop on one thread;
//   library_scan_ratio        the first over the second;
//   library_rescan_unchanged  a second full pass, which reads nothing.
// The probe loop runs at the scanner thread's priority, so that both see the same share of a busy machine.
#include "engine/MediaProbe.h"
#include "ui/library/Database.h"
#include "ui/library/LibraryScanner.h"
#include "ui/library/Statement.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

using kvr::ui::library::Database;
using kvr::ui::library::LibraryScanner;
using kvr::ui::library::ScanStatus;
using kvr::ui::library::Statement;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool segment(const QString& dir, const QStringList& input, const QString& pattern)
{
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ffmpeg.start(QStringLiteral("ffmpeg"),
        QStringList { "-hide_banner", "-loglevel", "error", "-y" } + input
            + QStringList { "-f", "segment", "-reset_timestamps", "1", dir + "/" + pattern });
    return ffmpeg.waitForFinished(-1) && ffmpeg.exitStatus() == QProcess::NormalExit && ffmpeg.exitCode() == 0;
}

// The media files, spread over 100 folders below root; empty on failure.
QStringList makeFiles(const QString& root, int count)
{
    const int videos = count / 10;
    const int audios = count - videos;
    const QString staging = root + "/staging";
    QDir().mkpath(staging);
    // An MP3 segment of 0.2 s at 8 kHz holds 0.216 s of frames: 20% more noise than needed is plenty.
    if (!segment(staging,
            { "-f", "lavfi", "-i", QStringLiteral("anoisesrc=d=%1:r=8000:a=0.5").arg(audios * 0.24 + 2), "-ac", "1",
                "-c:a", "libmp3lame", "-b:a", "16k", "-segment_time", "0.2" },
            "a%06d.mp3")
        || !segment(staging,
            { "-f", "lavfi", "-i", QStringLiteral("testsrc2=s=160x90:r=10:d=%1").arg(videos * 0.5 + 1), "-c:v", "mpeg4",
                "-g", "5", "-segment_time", "0.5" },
            "v%06d.mkv"))
        return {};
    QStringList names = QDir(staging).entryList({ "a*.mp3" }, QDir::Files, QDir::Name).mid(0, audios);
    names += QDir(staging).entryList({ "v*.mkv" }, QDir::Files, QDir::Name).mid(0, videos);
    if (names.size() != count)
        return {};
    const timeval aMinuteBack { static_cast<time_t>(QDateTime::currentSecsSinceEpoch() - 60), 0 };
    const timeval times[2] { aMinuteBack, aMinuteBack };
    QStringList files;
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString folder = QStringLiteral("%1/media/%2").arg(root).arg(i % 100, 3, 10, QLatin1Char('0'));
        QDir().mkpath(folder);
        const QString target = folder + "/" + names[i];
        if (!QFile::rename(staging + "/" + names[i], target) || utimes(QFile::encodeName(target), times) != 0)
            return {};
        files << target;
    }
    QDir(staging).removeRecursively();
    return files;
}

// One full pass over the library at dbPath: its wall time in seconds, and the finished report.
double timePass(const QString& dbPath, const QString& covers, ScanStatus& result)
{
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    LibraryScanner scanner(dbPath, covers, {}, [&](const ScanStatus& status) {
        std::lock_guard lock(mutex);
        result = status;
        done = true;
        ended.notify_all();
    });
    const Clock::time_point start = Clock::now();
    scanner.requestFullScan();
    std::unique_lock lock(mutex);
    ended.wait(lock, [&] { return done; });
    return secondsSince(start);
}

bool freshLibrary(const QString& dbPath, const QString& covers, const QString& mediaRoot)
{
    for (const char* suffix : { "", "-wal", "-shm" })
        QFile::remove(dbPath + suffix);
    QDir(covers).removeRecursively();
    QDir().mkpath(covers);
    Database db;
    if (!db.open(dbPath) || !db.ensureSchema())
        return false;
    Statement folder = db.prepare("INSERT INTO library_folders(path, enabled) VALUES(?1, 1)");
    folder.bindText(1, mediaRoot);
    return folder.run();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(10, std::atoi(argv[1])) : 10000;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString mediaRoot = dir.path() + "/media";
    const QString dbPath = dir.path() + "/library.db";
    const QString covers = dir.path() + "/covers";

    const Clock::time_point making = Clock::now();
    const QStringList files = makeFiles(dir.path(), count);
    if (files.isEmpty()) {
        std::fprintf(stderr, "cannot make the media files\n");
        return 1;
    }
    std::fprintf(stderr, "made %d files in %.1f s\n", count, secondsSince(making));

    double first = 1e9;
    for (int run = 0; run < 3; ++run) {
        if (!freshLibrary(dbPath, covers, mediaRoot))
            return 1;
        ScanStatus status;
        first = std::min(first, timePass(dbPath, covers, status));
        if (status.added != count)
            std::fprintf(stderr, "first pass %d added %d of %d files\n", run + 1, status.added, count);
    }

    double floor = 1e9;
    for (int run = 0; run < 3; ++run) {
        std::thread loop([&] {
            setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
            const Clock::time_point start = Clock::now();
            size_t tracks = 0;
            for (const QString& file : files)
                tracks += kvr::engine::probeMedia(file.toUtf8().toStdString()).tracks.size();
            floor = std::min(floor, secondsSince(start));
            if (tracks < static_cast<size_t>(count))
                std::fprintf(stderr, "the probe found %zu tracks in %d files\n", tracks, count);
        });
        loop.join();
    }

    double rescan = 1e9;
    for (int run = 0; run < 3; ++run) {
        ScanStatus status;
        rescan = std::min(rescan, timePass(dbPath, covers, status));
        if (status.added + status.updated != 0)
            std::fprintf(stderr, "the unchanged pass wrote %d files\n", status.added + status.updated);
    }

    std::printf("library_scan_first: %.3f s\n", first);
    std::printf("probe_floor: %.3f s\n", floor);
    std::printf("library_scan_ratio: %.2f x\n", first / floor);
    std::printf("library_rescan_unchanged: %.3f s\n", rescan);
    return 0;
}
