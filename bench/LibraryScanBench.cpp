// The cost of a library scan against its floor, the media probe alone, on the same files in the same run.
//
//     kvr_bench_library_scan [audio file count, default 10000]
//
// Makes three sets of files in a temporary folder, each spread over 100 folders and a minute old: short MP3
// files of noise without covers (the count given), the same with an embedded cover (a fifth of it), and short
// MKV files with a video track (a tenth of it). For each set it prints the median of three interleaved runs
// (scan, probe loop, scan, probe loop, ...) of:
//   library_scan_<set>        a full first pass into a fresh database, covers and video frames included;
//   probe_floor_<set>         probeMedia over the same files in a tight loop on one thread;
//   library_scan_ratio_<set>  the first over the second;
// and library_rescan_unchanged, a second full pass over the audio set, which reads nothing.
// The probe loop runs at the scanner thread's priority, so that both see the same share of a busy machine.
#include "bench/LibraryBenchFiles.h"
#include "engine/convert/MediaProbe.h"
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
#include <functional>
#include <mutex>
#include <vector>
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

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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

    struct Set {
        const char* name;
        int count;
        std::function<QStringList(const QString&, int)> make;
    };
    const Set sets[] = {
        { "audio", count, [](const QString& root, int n) { return kvr::bench::makeAudio(root, n, false); } },
        { "audio_covers", std::max(10, count / 5),
            [](const QString& root, int n) { return kvr::bench::makeAudio(root, n, true); } },
        { "video", std::max(10, count / 10),
            [](const QString& root, int n) { return kvr::bench::makeVideo(root, n); } },
    };
    double rescan = 0;
    for (const Set& set : sets) {
        const QString root = dir.path() + "/" + set.name;
        const QString mediaRoot = root + "/media";
        const QString dbPath = root + "/library.db";
        const QString covers = root + "/covers";
        const Clock::time_point making = Clock::now();
        const QStringList files = set.make(root, set.count);
        if (files.isEmpty()) {
            std::fprintf(stderr, "cannot make the %s files\n", set.name);
            return 1;
        }
        std::fprintf(stderr, "made %d %s files in %.1f s\n", set.count, set.name, secondsSince(making));

        std::vector<double> scans;
        std::vector<double> floors;
        for (int run = 0; run < 3; ++run) {
            if (!freshLibrary(dbPath, covers, mediaRoot))
                return 1;
            ScanStatus status;
            scans.push_back(timePass(dbPath, covers, status));
            if (status.added != set.count)
                std::fprintf(stderr, "first pass %d added %d of %d files\n", run + 1, status.added, set.count);

            std::thread loop([&] {
                setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
                const Clock::time_point start = Clock::now();
                size_t tracks = 0;
                for (const QString& file : files)
                    tracks += kvr::engine::probeMedia(file.toUtf8().toStdString()).tracks.size();
                floors.push_back(secondsSince(start));
                if (tracks < static_cast<size_t>(set.count))
                    std::fprintf(stderr, "the probe found %zu tracks in %d files\n", tracks, set.count);
            });
            loop.join();
        }
        const double scan = median(scans);
        const double floor = median(floors);
        std::printf("library_scan_%s: %.3f s\n", set.name, scan);
        std::printf("probe_floor_%s: %.3f s\n", set.name, floor);
        std::printf("library_scan_ratio_%s: %.2f x\n", set.name, scan / floor);
        std::fflush(stdout);

        if (rescan == 0) {
            std::vector<double> rescans;
            for (int run = 0; run < 3; ++run) {
                ScanStatus status;
                rescans.push_back(timePass(dbPath, covers, status));
                if (status.added + status.updated != 0)
                    std::fprintf(stderr, "the unchanged pass wrote %d files\n", status.added + status.updated);
            }
            rescan = median(rescans);
            std::printf("library_rescan_unchanged: %.3f s\n", rescan);
        }
    }
    return 0;
}
