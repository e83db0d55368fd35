// A stand-alone process around the library scanner and backups, for tests that must kill or crash a pass:
//
//     kvr_library_scan_probe scan <library file> [--covers <dir>] [--abort-on <file name>] [--hang-on <file name>]
//                                 [--nice <n>]
//     kvr_library_scan_probe backup <library file> [--stop-at copied|compressing|renaming]
//
// "scan" opens the library file (creating the schema when the file is new), runs one full pass of
// LibraryScanner over the folders stored in it, prints "processed N" for every progress report and
// "finished processed N added A updated U removed R leftout L" at the end, and exits 0. The covers go to
// --covers, by default the folder "covers" beside the library file. With --abort-on, the probe call calls
// abort() on a file of that name (the file name without its folder), the way a decoder crash ends the player;
// with --hang-on it prints "reading <file name>" and waits there for good, to be killed. --nice gives the
// scanner thread another nice value than the player's lowest priority.
//
// "backup" constructs the Library (its file is where the application-data location puts it, which must be
// the library file given) and makes one backup with backupNow. It prints "moment copied", "moment
// compressing" and "moment renaming" as the backup reaches those points; with --stop-at it then waits there
// for good, to be killed. At the end it prints "backup ok" or "backup failed".
// Exit codes: 0 done, 1 the library file cannot be opened, 2 bad arguments, 3 the backup failed.
#include "engine/convert/MediaProbe.h"
#include "ui/library/Database.h"
#include "ui/library/Library.h"
#include "ui/library/LibraryBackups.h"
#include "ui/library/LibraryScanner.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

using kvr::ui::library::BackupMoment;
using kvr::ui::library::Database;
using kvr::ui::library::Library;
using kvr::ui::library::LibraryScanner;
using kvr::ui::library::ScanStatus;

namespace {

int usage()
{
    std::fprintf(stderr,
        "usage: kvr_library_scan_probe scan <library file> [--covers <dir>] [--abort-on <file name>]\n"
        "                                   [--hang-on <file name>] [--nice <n>]\n"
        "       kvr_library_scan_probe backup <library file> [--stop-at copied|compressing|renaming]\n");
    return 2;
}

const char* momentName(BackupMoment moment)
{
    switch (moment) {
    case BackupMoment::Copied:
        return "copied";
    case BackupMoment::Compressing:
        return "compressing";
    case BackupMoment::Renaming:
        return "renaming";
    }
    return "?";
}

// The moment the backup is held at; empty for none.
QByteArray stopAt;

void announce(BackupMoment moment)
{
    std::printf("moment %s\n", momentName(moment));
    std::fflush(stdout);
    if (stopAt == momentName(moment)) {
        for (;;)
            ::pause();
    }
}

int backup(const QString& libraryPath)
{
    Library library;
    if (QFileInfo(library.databasePath()).absoluteFilePath() != QFileInfo(libraryPath).absoluteFilePath()) {
        std::fprintf(stderr, "the library lives at %s\n", qPrintable(library.databasePath()));
        return 2;
    }
    if (!library.lastError().isEmpty()) {
        std::fprintf(stderr, "cannot open %s\n", qPrintable(libraryPath));
        return 1;
    }
    kvr::ui::library::setBackupMomentHook(announce);
    const bool ok = library.backupNow();
    std::printf("backup %s\n", ok ? "ok" : "failed");
    std::fflush(stdout);
    return ok ? 0 : 3;
}

int scan(const QString& libraryPath, QString coversDir, const QString& abortOn, const QString& hangOn, int nice)
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

    LibraryScanner::Probe probe = [abortOn, hangOn](const std::string& path) {
        const QString name = QFileInfo(QString::fromStdString(path)).fileName();
        if (!abortOn.isEmpty() && name == abortOn)
            std::abort();
        if (!hangOn.isEmpty() && name == hangOn) {
            std::printf("reading %s\n", qPrintable(name));
            std::fflush(stdout);
            for (;;)
                ::pause();
        }
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
            probe, nice);
        scanner.requestFullScan();
        std::unique_lock lock(mutex);
        ended.wait(lock, [&] { return done; });
    }
    std::printf("finished processed %d added %d updated %d removed %d leftout %d\n", last.processed, last.added,
        last.updated, last.removed, last.leftOut);
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
    if (args.size() >= 2 && args[0] == QLatin1String("backup")) {
        // The names the player gives itself: they place the library in the application-data location.
        QCoreApplication::setOrganizationName("Kestrune");
        QCoreApplication::setApplicationName("Kestrune Media Player");
        if (args.size() == 4 && args[2] == QLatin1String("--stop-at"))
            stopAt = args[3].toUtf8();
        else if (args.size() != 2)
            return usage();
        if (!stopAt.isEmpty() && stopAt != "copied" && stopAt != "compressing" && stopAt != "renaming")
            return usage();
        return backup(args[1]);
    }
    if (args.size() < 2 || args[0] != QLatin1String("scan"))
        return usage();
    QString covers;
    QString abortOn;
    QString hangOn;
    int nice = LibraryScanner::kThreadNice;
    for (qsizetype i = 2; i < args.size(); i += 2) {
        if (i + 1 >= args.size())
            return usage();
        if (args[i] == QLatin1String("--covers"))
            covers = args[i + 1];
        else if (args[i] == QLatin1String("--abort-on"))
            abortOn = args[i + 1];
        else if (args[i] == QLatin1String("--hang-on"))
            hangOn = args[i + 1];
        else if (args[i] == QLatin1String("--nice"))
            nice = args[i + 1].toInt();
        else
            return usage();
    }
    return scan(args[1], covers, abortOn, hangOn, nice);
}
