#include "ui/library/Library.h"

// Stand-in until library playlists, play statistics and exports are built: plays are not recorded, no
// playlist is kept and nothing is exported. Building them means deleting this file.

namespace kvr::ui::library {

QVariantList Library::playlists() const
{
    return {};
}

int Library::createPlaylist(const QString&, const QStringList&)
{
    return 0;
}

void Library::appendToPlaylist(int, const QStringList&) { }

void Library::removeFromPlaylist(int, const QVariantList&) { }

void Library::renamePlaylist(int, const QString&) { }

void Library::deletePlaylist(int) { }

void Library::undoDeletePlaylist() { }

QStringList Library::playlistUris(int) const
{
    return {};
}

void Library::markPlaylistPlayed(int) { }

bool Library::exportPlaylist(int, const QString&) const
{
    return false;
}

bool Library::exportCsv(const QString&) const
{
    return false;
}

bool Library::exportJson(const QString&) const
{
    return false;
}

void Library::recordPlay(const QString&, qlonglong) { }

} // namespace kvr::ui::library
