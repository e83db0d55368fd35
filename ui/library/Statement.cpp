#include "ui/library/Statement.h"

#include <QByteArray>
#include <QDebug>

#include <sqlite3.h>

#include <utility>

namespace kvr::ui::library {

namespace {

// A step that gave neither a row nor the end failed (a broken full-text query, a busy time-out); said here, so
// that a query's empty result never goes unexplained. The statement is cut as exec cuts it. (Writes report
// their own failures: a transaction logs what it rolled back.)
int logged(sqlite3_stmt* stmt, int rc)
{
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        const char* sql = sqlite3_sql(stmt);
        qWarning().noquote() << "library: step failed:" << sqlite3_errmsg(sqlite3_db_handle(stmt)) << "in"
                             << QByteArray(sql ? sql : "").left(200);
    }
    return rc;
}

} // namespace

Statement::Statement(sqlite3_stmt* handle)
    : stmt_(handle)
{
}

Statement::~Statement()
{
    finalize();
}

Statement::Statement(Statement&& other) noexcept
    : stmt_(std::exchange(other.stmt_, nullptr))
{
}

Statement& Statement::operator=(Statement&& other) noexcept
{
    if (this != &other) {
        finalize();
        stmt_ = std::exchange(other.stmt_, nullptr);
    }
    return *this;
}

Statement& Statement::bindText(int index, const QString& value)
{
    if (!stmt_)
        return *this;
    if (value.isNull())
        return bindNull(index);
    const QByteArray utf8 = value.toUtf8();
    sqlite3_bind_text(stmt_, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::bindInt64(int index, qint64 value)
{
    if (stmt_)
        sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

Statement& Statement::bindDouble(int index, double value)
{
    if (stmt_)
        sqlite3_bind_double(stmt_, index, value);
    return *this;
}

Statement& Statement::bindNull(int index)
{
    if (stmt_)
        sqlite3_bind_null(stmt_, index);
    return *this;
}

Statement& Statement::bindValue(int index, const QVariant& value)
{
    // A JavaScript null reaches C++ as a valid std::nullptr_t variant and undefined as an invalid one: both
    // must bind NULL, or "IS ?" would compare against the text "" and miss the NULL rows.
    if (!value.isValid() || value.isNull())
        return bindNull(index);
    switch (value.typeId()) {
    case QMetaType::Bool:
        return bindInt64(index, value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return bindInt64(index, value.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return bindDouble(index, value.toDouble());
    default:
        return bindText(index, value.toString());
    }
}

bool Statement::next()
{
    return stmt_ && logged(stmt_, sqlite3_step(stmt_)) == SQLITE_ROW;
}

bool Statement::run()
{
    if (!stmt_)
        return false;
    int rc = SQLITE_ROW;
    while (rc == SQLITE_ROW)
        rc = sqlite3_step(stmt_);
    return rc == SQLITE_DONE;
}

void Statement::reset()
{
    if (!stmt_)
        return;
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

void Statement::finalize()
{
    if (stmt_)
        sqlite3_finalize(std::exchange(stmt_, nullptr));
}

int Statement::columnCount() const
{
    return stmt_ ? sqlite3_column_count(stmt_) : 0;
}

QString Statement::columnName(int index) const
{
    if (!stmt_)
        return QString();
    return QString::fromUtf8(sqlite3_column_name(stmt_, index));
}

qint64 Statement::columnInt64(int index) const
{
    return stmt_ ? sqlite3_column_int64(stmt_, index) : 0;
}

QString Statement::columnText(int index) const
{
    if (!stmt_)
        return QString();
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, index));
    if (!text)
        return QString();
    const int bytes = sqlite3_column_bytes(stmt_, index);
    if (bytes == 0)
        return QString(QLatin1StringView("")); // stored '' stays apart from NULL
    return QString::fromUtf8(text, bytes);
}

QVariant Statement::columnValue(int index) const
{
    if (!stmt_)
        return QVariant();
    switch (sqlite3_column_type(stmt_, index)) {
    case SQLITE_INTEGER:
        return QVariant(qlonglong(sqlite3_column_int64(stmt_, index)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(stmt_, index));
    case SQLITE_NULL:
        return QVariant();
    default:
        return QVariant(columnText(index));
    }
}

bool Statement::isNull(int index) const
{
    return !stmt_ || sqlite3_column_type(stmt_, index) == SQLITE_NULL;
}

QByteArray Statement::sql() const
{
    return stmt_ ? QByteArray(sqlite3_sql(stmt_)) : QByteArray();
}

} // namespace kvr::ui::library
