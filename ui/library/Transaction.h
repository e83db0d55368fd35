#pragma once

#include <QByteArray>

namespace kvr::ui::library {

class Database;
class Statement;

// One write transaction that either lands whole or not at all. The constructor runs "BEGIN IMMEDIATE"
// (waiting out the connection's busy time-out); the body runs each step through exec() or run(), and
// commit() commits only when the BEGIN and every step succeeded. Otherwise it rolls back, logs
// "library: rolled back:" with the failing SQL and returns false. Once a step has failed, later steps are
// not run; after a failed BEGIN nothing runs at all, so no statement slips through in autocommit mode.
// Leaving the scope without commit() rolls back as well.
//
//     Transaction tx(db);
//     for (...) { insert.reset(); insert.bindInt64(1, id); tx.run(insert); }
//     if (!tx.commit()) ...
class Transaction {
public:
    explicit Transaction(Database& db);
    ~Transaction();

    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // True while the transaction is open and no step has failed.
    bool ok() const { return open_ && failedSql_.isNull(); }

    bool exec(const char* sql);
    bool run(Statement& statement);
    bool commit();

private:
    void fail(const QByteArray& sql, const QByteArray& error);
    void rollback();

    Database& db_;
    bool open_ = false;
    QByteArray failedSql_;
    QByteArray error_;
};

} // namespace kvr::ui::library
