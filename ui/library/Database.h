#pragma once

#include "ui/library/Statement.h"

#include <QString>

#include <optional>

struct sqlite3;

namespace kvr::ui::library {

// One connection to the library file, or none. It belongs to the thread that opened it (the Library's to
// the GUI thread, the scanner's to its own thread); neither it nor its statements cross threads. Failures
// are false or empty results and one "library:" warning; nothing throws.
class Database {
public:
    Database() = default;
    ~Database();

    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens (or creates) the file with foreign keys on, in write-ahead-log mode unless the file is of a newer
    // version (which ensureSchema then refuses); closes any connection held.
    bool open(const QString& path);
    // Creates what the current schema needs on a new file; false, with the reason in refusal(), for a file
    // of a newer version, a damaged one, or one that could not be read.
    bool ensureSchema();

    // Why the last ensureSchema refused the file.
    enum class Refusal {
        None,
        // Readable, with a higher schema version.
        Newer,
        // SQLite's own check finds the file damaged (not a database, truncated, corrupt pages).
        Damaged,
        // Neither: the file could not be read or set up just now (locked by another program, an I/O error).
        Unreadable,
    };
    Refusal refusal() const { return refusal_; }

    // Runs one or more statements without reading rows.
    bool exec(const char* sql);
    Statement prepare(const char* sql);
    Statement prepare(const QString& sql);
    // A statement that may fail to prepare without it being a fault to log (a probe for a column).
    Statement prepareQuiet(const char* sql);
    qint64 lastInsertId() const;
    // Online copy of the whole database into the file at targetPath.
    bool backupTo(const QString& targetPath);
    void close();

    bool isOpen() const { return db_ != nullptr; }
    // The raw connection, for the few callers that need SQLite's own state; null without a connection.
    sqlite3* handle() const { return db_; }

    // Whether the sources carry the stored keys of the list's effective values (see keyedItems), set by
    // ensureSchema; false when they could not be added (a read-only or full disk).
    bool hasSortKeys() const { return sortKeys_; }
    // A relation with the items view's columns (comment and the file's extra fields aside) read from the
    // stored keys: the same rows and values, without the view's joins, so that its filters and orders can be
    // served by indexes.
    static QString keyedItems();

    // The version ensureSchema creates and accepts.
    static constexpr int schemaVersion = 1;

private:
    // The schema_version stored in the file; 0 for a new file, one without the row or one whose value is
    // no number; none when the file cannot be read. Reads only.
    std::optional<int> storedVersion();
    // After a failed read or set-up: PRAGMA quick_check tells a damaged file from one that could not be read
    // just now. Reads only; it runs only then, never at every start.
    Refusal diagnose();
    // Adds, fills and indexes the stored keys when the file lacks them, and makes sure their triggers exist.
    bool addSortKeys();

    sqlite3* db_ = nullptr;
    Refusal refusal_ = Refusal::None;
    bool sortKeys_ = false;
};

} // namespace kvr::ui::library
