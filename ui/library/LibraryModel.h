#pragma once

#include <QAbstractListModel>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

namespace kvr::ui::library {

class Library;

// One library query as a list for QML ("LibraryModel"): rows of the Library's page query, loaded 200 at a
// time as the view scrolls, with a display title, a subtitle and a cover URL worked out per row. GUI thread
// only; the page query runs synchronously.
class LibraryModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(QObject* library READ library WRITE setLibrary NOTIFY libraryChanged)
    Q_PROPERTY(QVariantMap params READ params WRITE setParams NOTIFY paramsChanged)
    Q_PROPERTY(int total READ total NOTIFY totalChanged)
    Q_PROPERTY(int count READ count NOTIFY totalChanged)

public:
    enum Role {
        RowRole = Qt::UserRole + 1,
        ItemIdRole,
        RowTypeRole,
        TitleRole,
        SubtitleRole,
        CoverRole,
        UriRole,
    };

    static constexpr int pageSize = 200;

    explicit LibraryModel(QObject* parent = nullptr);
    ~LibraryModel() override;

    QObject* library() const;
    void setLibrary(QObject* library);
    QVariantMap params() const { return params_; }
    void setParams(const QVariantMap& params);
    int total() const { return total_; }
    int count() const { return static_cast<int>(rows.size()); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    Q_INVOKABLE QVariantMap get(int row) const;
    // The ids of the media items among the given rows, in the given order.
    Q_INVOKABLE QVariantList idsAt(const QVariantList& rowNumbers) const;
    // The uris of the item rows among the given rows, also of entries that are not in the library.
    Q_INVOKABLE QStringList urisAt(const QVariantList& rowNumbers) const;
    Q_INVOKABLE void reload();

    // What a row shows under the given params: its title, its subtitle, and "N item(s)".
    static QString titleFor(const QVariantMap& row, const QVariantMap& params);
    static QString subtitleFor(const QVariantMap& row, const QVariantMap& params);
    static QString countText(qint64 count);

signals:
    void libraryChanged();
    void paramsChanged();
    void totalChanged();

private:
    void onLibraryContentChanged();
    void onLibraryPlaylistsChanged();

    QPointer<Library> library_;
    QVariantMap params_;
    QVariantList rows;
    int total_ = 0;
    int loadedRevision = -1;
};

} // namespace kvr::ui::library
