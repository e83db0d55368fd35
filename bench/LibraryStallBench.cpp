// How long a first scan keeps the GUI thread from its events, with the Songs view and the sidebar attached.
//
//     kvr_bench_library_stall [file count, default 2000]
//
// Makes the files once (nine in ten short MP3 files, one in ten short MKV files with a video track, over 100
// folders), then runs, interleaved and twice each, a full first pass of the real Library object into a fresh
// database:
//   anchor  the library alone;
//   view    with a LibraryModel of the Songs view ({"view": "tracks"}) bound to it, and the counts read twice at
//           every contentChanged, as the sidebar's bindings read them.
// A 16 ms timer on the GUI thread measures every gap between its ticks; a gap over 50 ms is a stall (the GUI
// watchdog's measure). Prints per mode the worst stall, the total stalled time and the number of stalls
// (the worse of the two runs), and the pass's wall time.
#include "bench/LibraryBenchFiles.h"
#include "ui/library/Library.h"
#include "ui/library/LibraryModel.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

using kvr::ui::library::Library;
using kvr::ui::library::LibraryModel;

namespace {

struct Stalls {
    qint64 worstMs = 0;
    qint64 totalMs = 0;
    int count = 0;
    double passSeconds = 0;
};

// One full first pass of a new library over mediaRoot, with or without the view attached.
Stalls runPass(const QString& mediaRoot, bool withView)
{
    const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir(dataDir).removeRecursively();
    QDir().mkpath(dataDir);

    Stalls stalls;
    Library library;
    std::unique_ptr<LibraryModel> model;
    if (withView) {
        model = std::make_unique<LibraryModel>();
        model->setLibrary(&library);
        model->setParams({ { "view", "tracks" } });
        QObject::connect(&library, &Library::contentChanged, &library, [&library] {
            library.counts();
            library.counts();
        });
    }

    QElapsedTimer clock;
    QTimer ticks;
    ticks.setTimerType(Qt::PreciseTimer);
    ticks.setInterval(16);
    qint64 last = 0;
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        const qint64 gap = now - last;
        last = now;
        if (gap > 50) {
            stalls.worstMs = std::max(stalls.worstMs, gap);
            stalls.totalMs += gap;
            ++stalls.count;
        }
    });

    bool started = false;
    bool finished = false;
    QElapsedTimer pass;
    QObject::connect(&library, &Library::scanChanged, [&] {
        if (library.scanning() && !started) {
            started = true;
            pass.start();
        }
        if (!library.scanning() && started && !finished) {
            finished = true;
            stalls.passSeconds = pass.nsecsElapsed() / 1e9;
            QCoreApplication::exit(0);
        }
    });
    clock.start();
    ticks.start();
    // The folder's own pass, asked at once; the start-up pass 3 s later finds nothing new.
    library.addFolder(mediaRoot);
    QCoreApplication::exec();
    return stalls;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    qputenv("XDG_DATA_HOME", (dir.path() + "/data").toUtf8());
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("kvr-bench-library-stall"));
    const int count = argc > 1 ? std::max(20, std::atoi(argv[1])) : 2000;

    const QString root = dir.path();
    const QStringList audio = kvr::bench::makeAudio(root + "/a", count - count / 10, false);
    const QStringList video = kvr::bench::makeVideo(root + "/v", count / 10);
    if (audio.isEmpty() || video.isEmpty()) {
        std::fprintf(stderr, "cannot make the media files\n");
        return 1;
    }
    // One library folder holding both sets.
    const QString mediaRoot = root + "/media";
    QDir().mkpath(mediaRoot);
    if (!QDir().rename(root + "/a/media", mediaRoot + "/a") || !QDir().rename(root + "/v/media", mediaRoot + "/v"))
        return 1;

    Stalls worst[2];
    for (int run = 0; run < 4; ++run) {
        const bool withView = run % 2 == 1;
        const Stalls s = runPass(mediaRoot, withView);
        Stalls& w = worst[withView ? 1 : 0];
        if (s.totalMs >= w.totalMs)
            w = s;
        std::fprintf(stderr, "run %d (%s): worst %lld ms, total %lld ms, %d stalls, pass %.1f s\n", run + 1,
            withView ? "view" : "anchor", s.worstMs, s.totalMs, s.count, s.passSeconds);
    }
    const char* names[2] = { "anchor", "view" };
    for (int i = 0; i < 2; ++i) {
        std::printf("library_stall_worst_%s: %lld ms\n", names[i], worst[i].worstMs);
        std::printf("library_stall_total_%s: %lld ms\n", names[i], worst[i].totalMs);
        std::printf("library_stall_count_%s: %d\n", names[i], worst[i].count);
        std::printf("library_stall_pass_%s: %.1f s\n", names[i], worst[i].passSeconds);
    }
    return 0;
}
