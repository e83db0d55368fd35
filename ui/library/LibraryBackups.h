#pragma once

#include <QString>

#include <zlib.h>

namespace kvr::ui::library {

// The start-up half of a restore: when a checked "<dbPath>.restore" waits beside the database, the live
// database and its log become "<dbPath>.pre-restore" (with "-wal"), the shared-memory index goes, and the
// restore file takes the database's name. Call it before anything opens the database. Nothing is deleted
// that holds data, so a start that dies half-way leaves a state the next start completes.
void swapInRestoredDatabase(const QString& dbPath);

// True when the file at path is a library this version can open: whole by SQLite's integrity check and of
// the current schema version; why receives the reason otherwise. Reads only, on a connection of its own. The
// check of every backup's copy and of every file to restore.
bool checkLibraryFile(const QString& path, QString* why = nullptr);

// Points in Library::backupNow at which a test can stop the process: the online copy is complete, the
// compression has written its first chunk, and the finished file is about to take its final name.
enum class BackupMoment { Copied, Compressing, Renaming };

// Test seams, unset in the player. The moment hook runs on the calling thread at each BackupMoment.
using BackupMomentHook = void (*)(BackupMoment moment);
void setBackupMomentHook(BackupMomentHook hook);
// Stands in for gzclose on every stream of the backups and restores, so a test can make the close that
// flushes the last buffered data fail the way a full disk makes it fail. It must close the stream.
using GzipCloseHook = int (*)(gzFile file);
void setGzipCloseHook(GzipCloseHook hook);

} // namespace kvr::ui::library
