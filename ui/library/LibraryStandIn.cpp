#include "ui/library/Library.h"

#include <QStandardPaths>

// This build has no library database: plays are not recorded and the cover cache stays empty.

namespace kvr::ui::library {

Library::Library(QObject* parent)
    : QObject(parent)
    , coverCacheDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/covers"))
{
}

Library::~Library() = default;

void Library::recordPlay(const QString&, qint64) { }

} // namespace kvr::ui::library
