#include "ui/library/Transaction.h"

#include "ui/library/Database.h"
#include "ui/library/Statement.h"

#include <QDebug>

#include <sqlite3.h>

namespace kvr::ui::library {

Transaction::Transaction(Database& db)
    : db_(db)
{
    open_ = db_.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction()
{
    rollback();
}

bool Transaction::exec(const char* sql)
{
    if (!ok())
        return false;
    if (db_.exec(sql))
        return true;
    fail(QByteArray(sql), sqlite3_errmsg(db_.handle()));
    return false;
}

bool Transaction::run(Statement& statement)
{
    if (!ok())
        return false;
    if (statement.run())
        return true;
    fail(statement.isValid() ? statement.sql() : QByteArray("(statement not prepared)"), sqlite3_errmsg(db_.handle()));
    return false;
}

bool Transaction::commit()
{
    if (!open_)
        return false;
    if (ok()) {
        if (db_.exec("COMMIT")) {
            open_ = false;
            return true;
        }
        fail("COMMIT", sqlite3_errmsg(db_.handle()));
    }
    rollback();
    return false;
}

void Transaction::fail(const QByteArray& sql, const QByteArray& error)
{
    failedSql_ = sql.isNull() ? QByteArray("") : sql;
    error_ = error;
}

void Transaction::rollback()
{
    if (!open_)
        return;
    open_ = false;
    // Some errors (a full disk, an I/O error) end the transaction inside SQLite already.
    if (db_.handle() && !sqlite3_get_autocommit(db_.handle()))
        db_.exec("ROLLBACK");
    if (!failedSql_.isNull())
        qWarning().noquote() << "library: rolled back:" << error_ << "in" << failedSql_.left(200);
}

} // namespace kvr::ui::library
