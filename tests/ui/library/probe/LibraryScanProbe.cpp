// A stand-alone process around the library scanner, for tests that must kill or crash a pass:
//
//     kvr_library_scan_probe scan <library file> [--covers <dir>] [--abort-on <file name>]
//
// "scan" opens the library file (creating the schema when the file is new), runs one full pass of
// LibraryScanner over the folders stored in it, prints "processed N" for every progress report and
// "finished processed N added A updated U removed R" at the end, and exits 0. The covers go to --covers,
// by default the folder "covers" beside the library file. With --abort-on, the probe call calls abort() on a
// file of that name (the file name without its folder), the way a decoder crash ends the player.
// Exit codes: 0 done, 1 the library file cannot be opened, 2 bad arguments.
#include "engine/MediaProbe.h"
#include "ui/library/Database.h"
#include "ui/library/LibraryScanner.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <sys/resource.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

using kvr::ui::library::Database;
using kvr::ui::library::LibraryScanner;
using kvr::ui::library::ScanStatus;

namespace {

int usage()
{
    std::fprintf(
        stderr, "usage: kvr_library_scan_probe scan <library file> [--covers <dir>] [--abort-on <file name>]\n");
    return 2;
}

int scan(const QString& libraryPath, QString coversDir, const QString& abortOn)
{
    {
        Database db;
        if (!db.open(libraryPath) || !db.ensureSchema()) {
            std::fprintf(stderr, "cannot open %s\n", qPrintable(libraryPath));
            return 1;
        }
    }
    if (coversDir.isEmpty())
        coversDir = QFileInfo(libraryPath).absoluteDir().filePath(QStringLiteral("covers"));
    QDir().mkpath(coversDir);

    LibraryScanner::Probe probe = [abortOn](const std::string& path) {
        if (!abortOn.isEmpty() && QFileInfo(QString::fromStdString(path)).fileName() == abortOn)
            std::abort();
        return kvr::engine::probeMedia(path);
    };
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    ScanStatus last;
    {
        LibraryScanner scanner(
            libraryPath, coversDir,
            [](const ScanStatus& status) {
                std::printf("processed %d\n", status.processed);
                std::fflush(stdout);
            },
            [&](const ScanStatus& status) {
                std::lock_guard lock(mutex);
                last = status;
                done = true;
                ended.notify_all();
            },
            probe);
        scanner.requestFullScan();
        std::unique_lock lock(mutex);
        ended.wait(lock, [&] { return done; });
    }
    std::printf("finished processed %d added %d updated %d removed %d\n", last.processed, last.added, last.updated,
        last.removed);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // A deliberate abort() is the expected end of some runs: no core file for it.
    const rlimit noCore { 0, 0 };
    setrlimit(RLIMIT_CORE, &noCore);

    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.size() < 2 || args[0] != QLatin1String("scan"))
        return usage();
    QString covers;
    QString abortOn;
    for (qsizetype i = 2; i < args.size(); i += 2) {
        if (i + 1 >= args.size())
            return usage();
        if (args[i] == QLatin1String("--covers"))
            covers = args[i + 1];
        else if (args[i] == QLatin1String("--abort-on"))
            abortOn = args[i + 1];
        else
            return usage();
    }
    return scan(args[1], covers, abortOn);
}
