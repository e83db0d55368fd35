#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

struct sqlite3_stmt;

namespace kvr::ui::library {

// One prepared statement, or none when preparation failed; then every operation does nothing and yields
// false, 0, an empty text or a null value. Belongs to the thread of the connection that prepared it.
class Statement {
public:
    Statement() = default;
    explicit Statement(sqlite3_stmt* handle);
    ~Statement();

    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;

    bool isValid() const { return stmt_ != nullptr; }

    // Bind indexes count from 1; each returns the statement so binds can be chained.
    Statement& bindText(int index, const QString& value);
    Statement& bindInt64(int index, qint64 value);
    Statement& bindDouble(int index, double value);
    Statement& bindNull(int index);
    Statement& bindValue(int index, const QVariant& value);

    // One step; true only when a row is ready. A step that fails is logged.
    bool next();
    // Steps to the end; true when the statement completed.
    bool run();
    // Clears the state and the bindings for the next round of a loop.
    void reset();
    void finalize();

    // Column indexes count from 0.
    int columnCount() const;
    QString columnName(int index) const;
    qint64 columnInt64(int index) const;
    QString columnText(int index) const;
    QVariant columnValue(int index) const;
    bool isNull(int index) const;

    // The statement's SQL text, for messages; empty without a statement.
    QByteArray sql() const;

private:
    sqlite3_stmt* stmt_ = nullptr;
};

} // namespace kvr::ui::library
