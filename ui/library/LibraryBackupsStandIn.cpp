#include "ui/library/Library.h"

// Stand-in until library backups are built: none is made, listed or restored. Building them means deleting
// this file.

namespace kvr::ui::library {

bool Library::backupNow()
{
    return false;
}

QVariantList Library::backups() const
{
    return {};
}

bool Library::restoreBackup(const QString&)
{
    return false;
}

} // namespace kvr::ui::library
