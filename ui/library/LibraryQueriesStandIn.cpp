#include "ui/library/Library.h"

// Stand-in until the library's paged queries are built: every list is empty. Building them means deleting
// this file.

namespace kvr::ui::library {

QVariantList Library::queryPage(const QVariantMap&, int, int, int* total)
{
    if (total)
        *total = 0;
    return {};
}

QVariantList Library::idsForQuery(const QVariantMap&)
{
    return {};
}

} // namespace kvr::ui::library
