// The library's search language: the search field's text becomes SQL conditions over the items view. The
// condition texts are put together only from the fixed fragments below; whatever the user typed travels as
// a bound value, and inside a full-text value only as one FTS5 string (ftsQuote).
#include "ui/library/Library.h"

#include <QDate>
#include <QDateTime>
#include <QDebug>
#include <QHash>
#include <QRegularExpression>

namespace kvr::ui::library {

namespace {

// Every term the full-text index answers; its one value is the FTS5 query.
QString fullTextClause()
{
    return QStringLiteral("id IN (SELECT rowid FROM search WHERE search MATCH ?)");
}

const QString lossless
    = QStringLiteral("(audio_codec IN ('flac','alac','wavpack','ape','tta') OR audio_codec LIKE 'pcm%')");

const QRegularExpression& tokenPattern()
{
    static const QRegularExpression pattern = [] {
        QRegularExpression re(QStringLiteral(
            R"re((-?)([A-Za-z]+):("[^"]*"|\[[^\]]*\]|[<>]=?[^\s]+|[^\s"]+)|(-?)"([^"]*)"|\b(AND|OR|NOT)\b|(-?)([^\s"]+))re"));
        // Compiled now, so that later matches only read it.
        re.optimize();
        return re;
    }();
    return pattern;
}

// Field names to the full-text column they restrict. The index's artist column also holds the album artist
// and the show, which is why "show" searches it.
const QHash<QString, QString>& ftsColumns()
{
    static const QHash<QString, QString> columns {
        { QStringLiteral("title"), QStringLiteral("title") },
        { QStringLiteral("artist"), QStringLiteral("artist") },
        { QStringLiteral("album"), QStringLiteral("album") },
        { QStringLiteral("composer"), QStringLiteral("composer") },
        { QStringLiteral("genre"), QStringLiteral("genre") },
        { QStringLiteral("tag"), QStringLiteral("tags") },
        { QStringLiteral("tags"), QStringLiteral("tags") },
        { QStringLiteral("comment"), QStringLiteral("comment") },
        { QStringLiteral("path"), QStringLiteral("path") },
        { QStringLiteral("file"), QStringLiteral("path") },
        { QStringLiteral("show"), QStringLiteral("artist") },
    };
    return columns;
}

// Whether the index's tokenizer (unicode61) keeps anything of the text: it indexes letters, digits and
// private-use characters and treats everything else as a separator. A text without them becomes an FTS5
// phrase with no tokens, which matches nothing and would empty an AND of otherwise good terms.
bool hasSearchableCharacter(const QString& text)
{
    for (const char32_t c : text.toUcs4()) {
        if (QChar::isLetterOrNumber(c) || QChar::category(c) == QChar::Other_PrivateUse)
            return true;
    }
    return false;
}

// Terms read of one search text. A text pasted into the field (a page of lyrics) would otherwise become a
// condition per word: seconds of work on the GUI thread, and past about a thousand terms SQLite refuses the
// expression and the list stays empty. Nobody types more; the rest of such a text is not read.
constexpr int maxTerms = 32;

// One log line per text that was cut, not one for every page and reload of the same search.
void noteCut(const QString& text, int terms)
{
    static QString lastCut;
    if (text == lastCut)
        return;
    lastCut = text;
    qInfo().noquote()
        << QStringLiteral("library: search text of %1 characters cut after %2 terms").arg(text.size()).arg(terms);
}

// A number as typed: the C locale's decimal point; digits and points that make no number read as 0.
double number(const QString& text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok ? value : 0.0;
}

// Control characters (a NUL, a tab, a line break pasted in) separate words as spaces do; a NUL inside an FTS5
// string would end the query there and fail it.
QString withControlsAsSpaces(const QString& text)
{
    QString spaced = text;
    for (QChar& c : spaced) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    }
    return spaced;
}

// Unbalanced quotes, or a text the expression made nothing of: every word a prefix, all words required.
Library::ClauseList wordByWord(const QString& trimmed)
{
    static const QRegularExpression blanks(QStringLiteral(R"(\s+)"));
    Library::ClauseList result;
    const QStringList pieces = trimmed.split(blanks, Qt::SkipEmptyParts);
    for (QString piece : pieces) {
        piece.remove(QLatin1Char('"'));
        if (!hasSearchableCharacter(piece))
            continue;
        if (result.clauses.size() == maxTerms) {
            noteCut(trimmed, maxTerms);
            break;
        }
        result.clauses.append(fullTextClause());
        result.values.append(QVariant(Library::ftsQuote(piece) + QLatin1Char('*')));
    }
    return result;
}

} // namespace

QString Library::ftsQuote(const QString& text)
{
    QString quoted = withControlsAsSpaces(text);
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

void Library::negateClause(SearchParse& parse, const QString& clause, const QVariantList& values, bool negate)
{
    // "NOT (x)" is NULL where x is, and would drop every item without a year or a category from
    // "-year:1985" or "-kind:movie"; "(x) IS NOT 1" keeps them. For full-text terms, never NULL, both agree.
    const QString term = negate ? QLatin1Char('(') + clause + QLatin1String(") IS NOT 1") : clause;
    if (!parse.parts.isEmpty())
        parse.parts.append(parse.connective);
    parse.parts.append(QLatin1Char('(') + term + QLatin1Char(')'));
    parse.values.append(values);
    parse.connective = QStringLiteral(" AND ");
}

bool Library::rangeClause(
    const QString& column, double scale, const QString& value, QString& clause, QVariantList& values)
{
    static const QRegularExpression range(
        QStringLiteral(R"(^\[\s*([\d.]+)\s+TO\s+([\d.]+)\s*\]$)"), QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression comparison(QStringLiteral(R"(^(<=|>=|<|>|=)?([\d.]+)$)"));

    const QRegularExpressionMatch inRange = range.match(value);
    if (inRange.hasMatch()) {
        // In the order written: a range typed high to low matches nothing.
        clause = column + QLatin1String(" BETWEEN ? AND ?");
        values.append(QVariant(number(inRange.captured(1)) * scale));
        values.append(QVariant(number(inRange.captured(2)) * scale));
        return true;
    }
    const QRegularExpressionMatch compared = comparison.match(value);
    if (compared.hasMatch()) {
        // The operator is one of the pattern's five, never other text of the user's.
        const QString op = compared.captured(1).isEmpty() ? QStringLiteral("=") : compared.captured(1);
        clause = column + QLatin1Char(' ') + op + QLatin1String(" ?");
        values.append(QVariant(number(compared.captured(2)) * scale));
        return true;
    }
    return false;
}

bool Library::fieldClause(const QString& field, const QString& value, QString& clause, QVariantList& values)
{
    const QString name = field.toLower();
    QString text = value;
    bool quoted = false;
    if (text.size() > 1 && text.startsWith(QLatin1Char('"')) && text.endsWith(QLatin1Char('"'))) {
        text = text.mid(1, text.size() - 2);
        quoted = true;
    }

    const auto& columns = ftsColumns();
    if (const auto column = columns.constFind(name); column != columns.cend()) {
        clause.clear();
        if (!hasSearchableCharacter(text))
            return true;
        clause = fullTextClause();
        values.append(QVariant(QLatin1Char('{') + *column + QLatin1String("} : ") + ftsQuote(text)
            + (quoted ? QString() : QStringLiteral("*"))));
        return true;
    }

    struct Scaled {
        const char* field;
        const char* column;
        double scale;
    };
    // Stars to 0-100, minutes to microseconds, kbit/s to bit/s.
    static constexpr Scaled scaled[] = {
        { "year", "year", 1 },
        { "rating", "rating", 20 },
        { "stars", "rating", 20 },
        { "plays", "play_count", 1 },
        { "playcount", "play_count", 1 },
        { "duration", "duration_us", 60000000 },
        { "minutes", "duration_us", 60000000 },
        { "bitrate", "bitrate", 1000 },
    };
    for (const Scaled& s : scaled) {
        if (name == QLatin1String(s.field))
            return rangeClause(QLatin1String(s.column), s.scale, text, clause, values);
    }

    if (name == QLatin1String("played")) {
        const QString when = text.toLower();
        if (when == QLatin1String("never")) {
            clause = QStringLiteral("play_count = 0");
            return true;
        }
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        qint64 since = 0;
        if (when == QLatin1String("today"))
            since = QDate::currentDate().startOfDay().toSecsSinceEpoch();
        else if (when == QLatin1String("thisweek"))
            since = now - 604800;
        else if (when == QLatin1String("thismonth"))
            since = now - 2592000;
        else if (when == QLatin1String("thisyear"))
            since = now - 31536000;
        else
            return false;
        clause = QStringLiteral("last_played >= ?");
        values.append(QVariant(since));
        return true;
    }

    if (name == QLatin1String("kind") || name == QLatin1String("type")) {
        const QString kind = text.toLower();
        if (kind == QLatin1String("audio") || kind == QLatin1String("music"))
            clause = QStringLiteral("kind = 'audio'");
        else if (kind == QLatin1String("video"))
            clause = QStringLiteral("kind = 'video'");
        else if (kind == QLatin1String("movie") || kind == QLatin1String("movies"))
            clause = QStringLiteral("category = 'movie'");
        else if (kind == QLatin1String("episode") || kind == QLatin1String("tv"))
            clause = QStringLiteral("category = 'episode'");
        else
            return false;
        return true;
    }

    if (name == QLatin1String("format") || name == QLatin1String("codec")) {
        const QString format = text.toLower();
        if (format == QLatin1String("lossless")) {
            clause = lossless;
        } else if (format == QLatin1String("lossy")) {
            clause = QLatin1String("NOT ") + lossless;
        } else {
            clause = QStringLiteral("(primary_codec = ? OR audio_codec = ? OR format LIKE ?)");
            values.append(QVariant(format));
            values.append(QVariant(format));
            values.append(QVariant(QLatin1Char('%') + format + QLatin1Char('%')));
        }
        return true;
    }

    return false;
}

Library::ClauseList Library::parseSearch(const QString& text)
{
    const QString trimmed = withControlsAsSpaces(text).trimmed();
    if (trimmed.isEmpty())
        return {};
    if (trimmed.count(QLatin1Char('"')) % 2 != 0)
        return wordByWord(trimmed);

    SearchParse parse;
    // A term that holds nothing the index keeps ("&", "-", title:"") adds no clause; a text made only of
    // such terms searches for nothing rather than for its pieces word by word.
    bool skippedTerm = false;
    int terms = 0;
    QRegularExpressionMatchIterator matches = tokenPattern().globalMatch(trimmed);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        const QString keyword = match.captured(6);
        if (!keyword.isEmpty()) {
            if (keyword == QLatin1String("OR"))
                parse.connective = QStringLiteral(" OR ");
            else if (keyword == QLatin1String("NOT"))
                parse.pendingNot = true;
            continue;
        }
        if (terms == maxTerms) {
            noteCut(trimmed, maxTerms);
            break;
        }
        ++terms;

        const bool negatedBefore = parse.pendingNot;
        parse.pendingNot = false;

        if (match.captured(2).isEmpty()) {
            const bool phrase = match.capturedStart(5) >= 0 && match.captured(0).contains(QLatin1Char('"'));
            const QString term = phrase ? match.captured(5) : match.captured(8);
            const QString sign = phrase ? match.captured(4) : match.captured(7);
            if (term.isEmpty())
                continue;
            if (!hasSearchableCharacter(term)) {
                skippedTerm = true;
                continue;
            }
            // A word is a prefix (of its last token); a phrase is matched as typed.
            const QString query = ftsQuote(term) + (phrase ? QString() : QStringLiteral("*"));
            negateClause(parse, fullTextClause(), { QVariant(query) }, negatedBefore || !sign.isEmpty());
            continue;
        }

        const bool negate = negatedBefore || !match.captured(1).isEmpty();
        QString clause;
        QVariantList values;
        if (fieldClause(match.captured(2), match.captured(3), clause, values)) {
            if (clause.isEmpty())
                skippedTerm = true;
            else
                negateClause(parse, clause, values, negate);
            continue;
        }
        // An unknown field or a value the field does not take: the whole term is searched as text.
        const QString query = ftsQuote(match.captured(2) + QLatin1Char(':') + match.captured(3)) + QLatin1Char('*');
        negateClause(parse, fullTextClause(), { QVariant(query) }, negate);
    }

    if (!parse.parts.isEmpty()) {
        ClauseList result;
        result.clauses.append(QLatin1Char('(') + parse.parts.join(QString()) + QLatin1Char(')'));
        result.values = parse.values;
        return result;
    }
    if (skippedTerm)
        return {};
    return wordByWord(trimmed);
}

} // namespace kvr::ui::library
