#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>

namespace kvr::ui::library {

// The media library ("Library" in QML): what was played, when and how often, and the cover cache.
class Library : public QObject {
    Q_OBJECT

public:
    explicit Library(QObject* parent = nullptr);
    ~Library() override;

    // The application-data location followed by "/covers".
    QString coverCacheDir;

    // The conditions of a WHERE under construction over the items view, joined with " AND ", and their
    // bound values in placeholder order, clause after clause. User text only ever travels in values.
    struct ClauseList {
        QStringList clauses;
        QVariantList values;
    };

    // One search text while it is being parsed: the expression so far, its values, the connective the
    // next term joins with and whether a NOT waits for the next term.
    struct SearchParse {
        QStringList parts;
        QVariantList values;
        QString connective = QStringLiteral(" AND ");
        bool pendingNot = false;
    };

    // The search field's text as clauses: none for a text without terms, one parenthesised expression,
    // or, for unbalanced quotes or a text of keywords only, one full-text clause per word.
    static ClauseList parseSearch(const QString& text);
    // One field:value term as a clause with its values appended; false when the field or the value is not
    // understood (the caller searches the term as text). A full-text value without a character the index
    // keeps (letters, digits) is understood and gives an empty clause: there is nothing to look for.
    static bool fieldClause(const QString& field, const QString& value, QString& clause, QVariantList& values);
    // A number, comparison or range on column, scaled into the column's unit; false for anything else.
    static bool rangeClause(
        const QString& column, double scale, const QString& value, QString& clause, QVariantList& values);
    // Adds one understood term to the expression, negated when asked, joined by the pending connective.
    static void negateClause(SearchParse& parse, const QString& clause, const QVariantList& values, bool negate);
    // Text as one FTS5 string: double quotes doubled, the whole enclosed in double quotes.
    static QString ftsQuote(const QString& text);

public slots:
    // One play of path, playedUs microseconds long.
    void recordPlay(const QString& path, qint64 playedUs);

signals:
    // A short, translated message for the user (scan results, saved playlists and the like).
    void notice(const QString& text);
};

} // namespace kvr::ui::library
