#include "ui/library/Library.h"

// Stand-in until library item edits are built: items read as empty and edits change nothing. Building them
// means deleting this file.

namespace kvr::ui::library {

QVariantMap Library::item(qlonglong) const
{
    return {};
}

QStringList Library::urisFor(const QVariantList&) const
{
    return {};
}

void Library::setRating(const QVariantList&, int) { }

void Library::setTags(const QVariantList&, const QString&, bool) { }

void Library::editMetadata(const QVariantList&, const QVariantMap&) { }

QString Library::writeTagsToFile(qlonglong)
{
    return {};
}

void Library::removeSources(const QVariantList&) { }

QString Library::deleteFiles(const QVariantList&)
{
    return {};
}

void Library::refreshCover(qlonglong) { }

} // namespace kvr::ui::library
