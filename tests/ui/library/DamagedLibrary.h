// Library files damaged on disk the ways real ones are: cut short by a full disk or a failed copy, overwritten
// at the start, or with bytes changed inside one table page. Applied to a closed file.
#pragma once

#include "ui/library/Database.h"
#include "ui/library/Statement.h"

#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>
#include <QString>

namespace kvr::test::library {

enum class Damage {
    // The second half of the file is gone.
    Truncated,
    // The first 100 bytes (SQLite's header) are noise.
    GarbageHeader,
    // Bytes inside the root page of the table `sources` are flipped: the header and the rest still read.
    FlippedTablePage,
};

inline bool damageLibrary(const QString& path, Damage how)
{
    qint64 pageStart = 0;
    if (how == Damage::FlippedTablePage) {
        kvr::ui::library::Database db;
        if (!db.open(path))
            return false;
        kvr::ui::library::Statement page
            = db.prepare("SELECT rootpage, (SELECT page_size FROM pragma_page_size) FROM sqlite_master "
                         "WHERE type = 'table' AND name = 'sources'");
        if (!page.next())
            return false;
        pageStart = (page.columnInt64(0) - 1) * page.columnInt64(1);
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    switch (how) {
    case Damage::Truncated:
        return file.resize(file.size() / 2);
    case Damage::GarbageHeader: {
        QByteArray noise(100, '\0');
        QRandomGenerator(86).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
        return file.write(noise) == noise.size();
    }
    case Damage::FlippedTablePage: {
        // Past the page's first bytes: its cell pointers, without which no row of the page can be found.
        if (!file.seek(pageStart + 8))
            return false;
        QByteArray bytes = file.read(64);
        for (char& byte : bytes)
            byte = static_cast<char>(~byte);
        return bytes.size() == 64 && file.seek(pageStart + 8) && file.write(bytes) == 64;
    }
    }
    return false;
}

} // namespace kvr::test::library
