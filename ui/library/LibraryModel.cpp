#include "ui/library/LibraryModel.h"

#include "ui/library/Library.h"

#include <QFileInfo>

namespace kvr::ui::library {

namespace {

QString text(const QVariantMap& row, const char* key)
{
    return row.value(QLatin1String(key)).toString();
}

bool isSeasonsView(const QVariantMap& params)
{
    return params.value(QStringLiteral("view")).toString() == QLatin1String("seasons");
}

} // namespace

LibraryModel::LibraryModel(QObject* parent)
    : QAbstractListModel(parent)
{
}

LibraryModel::~LibraryModel() = default;

QObject* LibraryModel::library() const
{
    return library_.data();
}

void LibraryModel::setLibrary(QObject* object)
{
    Library* next = qobject_cast<Library*>(object);
    if (next == library_)
        return;
    if (library_)
        disconnect(library_, nullptr, this, nullptr);
    library_ = next;
    if (next) {
        connect(next, &Library::contentChanged, this, &LibraryModel::onLibraryContentChanged);
        connect(next, &Library::playlistsChanged, this, &LibraryModel::onLibraryPlaylistsChanged);
    }
    emit libraryChanged();
    reload();
}

void LibraryModel::setParams(const QVariantMap& params)
{
    if (params == params_)
        return;
    params_ = params;
    emit paramsChanged();
    reload();
}

void LibraryModel::reload()
{
    beginResetModel();
    rows.clear();
    total_ = 0;
    if (library_) {
        loadedRevision = library_->revision();
        rows = library_->queryPage(params_, 0, pageSize, &total_);
    }
    endResetModel();
    emit totalChanged();
}

int LibraryModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : count();
}

bool LibraryModel::canFetchMore(const QModelIndex& parent) const
{
    return !parent.isValid() && library_ && count() < total_;
}

void LibraryModel::fetchMore(const QModelIndex& parent)
{
    if (!canFetchMore(parent))
        return;
    // Only the first page counts the whole list; later pages keep the total it gave.
    const QVariantList page = library_->queryPage(params_, count(), pageSize);
    if (!page.isEmpty()) {
        beginInsertRows(QModelIndex(), count(), count() + static_cast<int>(page.size()) - 1);
        rows.append(page);
        endInsertRows();
    } else {
        // The list shrank since it was counted: what is loaded is all there is.
        total_ = count();
    }
    emit totalChanged();
}

QVariant LibraryModel::data(const QModelIndex& index, int role) const
{
    if (index.row() < 0 || index.column() < 0 || index.model() != this || index.row() >= count())
        return QVariant();
    const QVariantMap row = rows.at(index.row()).toMap();
    switch (role) {
    case RowRole:
        return row;
    case ItemIdRole:
        return row.value(QStringLiteral("id"));
    case RowTypeRole:
        return row.value(QStringLiteral("type"));
    case Qt::DisplayRole:
    case TitleRole:
        return titleFor(row, params_);
    case SubtitleRole:
        return subtitleFor(row, params_);
    case CoverRole: {
        const QString key = text(row, "cover_key");
        return key.isEmpty() ? QString() : QStringLiteral("image://library/") + key;
    }
    case UriRole:
        return row.value(QStringLiteral("uri"));
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> LibraryModel::roleNames() const
{
    return {
        { RowRole, "row" },
        { ItemIdRole, "itemId" },
        { RowTypeRole, "rowType" },
        { TitleRole, "title" },
        { SubtitleRole, "subtitle" },
        { CoverRole, "cover" },
        { UriRole, "uri" },
    };
}

QVariantMap LibraryModel::get(int row) const
{
    if (row < 0 || row >= count())
        return {};
    return rows.at(row).toMap();
}

QVariantList LibraryModel::idsAt(const QVariantList& rowNumbers) const
{
    QVariantList ids;
    for (const QVariant& number : rowNumbers) {
        const QVariantMap row = get(number.toInt());
        const QVariant id = row.value(QStringLiteral("id"));
        if (text(row, "type") == QLatin1String("item") && id.isValid())
            ids.push_back(id);
    }
    return ids;
}

QStringList LibraryModel::urisAt(const QVariantList& rowNumbers) const
{
    QStringList uris;
    for (const QVariant& number : rowNumbers) {
        const QVariantMap row = get(number.toInt());
        if (text(row, "type") == QLatin1String("item"))
            uris.push_back(text(row, "uri"));
    }
    return uris;
}

QString LibraryModel::titleFor(const QVariantMap& row, const QVariantMap& params)
{
    QString title = text(row, "type") == QLatin1String("item") ? text(row, "title") : text(row, "name");
    if (title.isEmpty() && row.contains(QStringLiteral("uri")))
        title = QFileInfo(text(row, "uri")).completeBaseName();
    if (title.isEmpty())
        return isSeasonsView(params) ? tr("Specials") : tr("Unknown");
    if (isSeasonsView(params) && text(row, "type") == QLatin1String("group"))
        return tr("Season %1").arg(title);
    return title;
}

QString LibraryModel::subtitleFor(const QVariantMap& row, const QVariantMap& params)
{
    static const QString separator = QStringLiteral(" \u00b7 ");
    const QString type = text(row, "type");
    if (type == QLatin1String("group")) {
        QStringList parts;
        if (const QString sub = text(row, "sub"); !sub.isEmpty())
            parts << sub;
        if (row.value(QStringLiteral("year")).toInt() >= 1
            && params.value(QStringLiteral("view")).toString() != QLatin1String("years"))
            parts << text(row, "year");
        parts << countText(row.value(QStringLiteral("count")).toLongLong());
        return parts.join(separator);
    }
    if (type == QLatin1String("folder"))
        return countText(row.value(QStringLiteral("count")).toLongLong());
    if (text(row, "category") == QLatin1String("episode")) {
        QString subtitle = text(row, "show");
        const QVariant season = row.value(QStringLiteral("season"));
        if (season.isValid() && !season.isNull())
            subtitle += separator
                + QStringLiteral("S%1E%2")
                      .arg(season.toInt(), 2, 10, QLatin1Char('0'))
                      .arg(row.value(QStringLiteral("episode")).toInt(), 2, 10, QLatin1Char('0'));
        return subtitle;
    }
    QStringList parts;
    for (const char* key : { "artist", "album" }) {
        if (const QString value = text(row, key); !value.isEmpty())
            parts << value;
    }
    const int height = row.value(QStringLiteral("height")).toInt();
    if (parts.isEmpty() && text(row, "kind") == QLatin1String("video") && height > 0)
        parts << QStringLiteral("%1p").arg(height);
    if (row.value(QStringLiteral("year")).toInt() > 0)
        parts << text(row, "year");
    return parts.join(separator);
}

QString LibraryModel::countText(qint64 count)
{
    return QStringLiteral("%1 %2").arg(count).arg(count == 1 ? QLatin1String("item") : QLatin1String("items"));
}

void LibraryModel::onLibraryContentChanged()
{
    if (library_ && library_->revision() != loadedRevision)
        reload();
}

void LibraryModel::onLibraryPlaylistsChanged()
{
    if (params_.value(QStringLiteral("view")).toString() == QLatin1String("playlist"))
        reload();
}

} // namespace kvr::ui::library
