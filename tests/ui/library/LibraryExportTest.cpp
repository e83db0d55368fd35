#include "tests/ui/library/SeededLibraryTest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <sys/resource.h>

#include <csignal>
#include <functional>

using kvr::test::library::SeededLibraryTest;
using kvr::test::library::UtcZone;

namespace {

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString goldenPath(const char* name)
{
    return QStringLiteral(KVR_SOURCE_DIR "/tests/ui/library/golden/") + QLatin1String(name);
}

class LibraryExport : public SeededLibraryTest {
protected:
    void SetUp() override
    {
        SeededLibraryTest::SetUp();
        ASSERT_TRUE(out.isValid());
    }

    // A few items that show every rule, at fixed times, with one more live playlist and a deleted one.
    void trimLibrary()
    {
        ASSERT_TRUE(exec(R"sql(
DELETE FROM sources WHERE uri NOT LIKE '%01 Aurora.flac' AND uri NOT LIKE '%02 Polar Night.flac'
  AND uri NOT LIKE '%Café Noir.mp3' AND uri NOT LIKE '%demo take.mp3' AND uri NOT LIKE '%The Long Road (2015).mkv';
UPDATE sources SET date_added = 1700000000 + id;
UPDATE sources SET u_title = 'Say "Hi"' WHERE uri LIKE '%Polar Night%';
UPDATE sources SET duration_us = 3900000 WHERE uri LIKE '%demo take%';
UPDATE play_stats SET last_played = 1714594500 + source_id * 60;
UPDATE playlists SET created = 1714000000, modified = 1714000100, last_played = 1714000200;
INSERT INTO playlists(id, name, created, modified) VALUES(2, 'empty', 1714000300, 1714000400);
INSERT INTO playlists(id, name, created, modified, deleted_at) VALUES(3, 'Gone', 1, 2, 3);
INSERT INTO playlist_items(playlist_id, position, uri) VALUES(3, 0, '/gone.mp3');
)sql"));
    }

    // The export as written, with the media root as "/media" and the export time as "<time>".
    QByteArray normalised(const QString& path)
    {
        QString text = QString::fromUtf8(fileBytes(path));
        text.replace(root, QStringLiteral("/media"));
        const QRegularExpression exported(
            QStringLiteral("\"exported\": \"(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ)\""));
        const QRegularExpressionMatch match = exported.match(text);
        if (match.hasMatch()) {
            const QDateTime when = QDateTime::fromString(match.captured(1), Qt::ISODate);
            EXPECT_LE(qAbs(when.secsTo(QDateTime::currentDateTimeUtc())), 60) << match.captured(1).toStdString();
            text.replace(match.capturedStart(1), match.capturedLength(1), QStringLiteral("<time>"));
        }
        return text.toUtf8();
    }

    // Compares with the golden file; KVR_GOLDEN_OUT names a folder that receives what was written instead.
    void expectGolden(const QString& written, const char* golden)
    {
        const QByteArray actual = normalised(written);
        if (const QByteArray dir = qgetenv("KVR_GOLDEN_OUT"); !dir.isEmpty()) {
            QFile copy(QString::fromLocal8Bit(dir) + "/" + golden);
            ASSERT_TRUE(copy.open(QIODevice::WriteOnly));
            copy.write(actual);
        }
        EXPECT_FALSE(actual.contains('\r')) << golden;
        EXPECT_EQ(actual.toStdString(), fileBytes(goldenPath(golden)).toStdString()) << golden;
    }

    QString target(const QString& name) const { return out.filePath(name); }

    QTemporaryDir out;
};

// "#EXTINF:-1," with the entry's name, then the entry as stored; ".m3u8" is added only to a bare name.
TEST_F(LibraryExport, PlaylistAsM3u8)
{
    auto& lib = open();
    EXPECT_TRUE(lib.exportPlaylist(1, QUrl::fromLocalFile(target("Road Trip")).toString()));
    EXPECT_FALSE(QFileInfo::exists(target("Road Trip")));
    expectGolden(target("Road Trip.m3u8"), "road-trip.m3u8");

    EXPECT_TRUE(lib.exportPlaylist(1, target("trip.m3u")));
    EXPECT_EQ(normalised(target("trip.m3u")), fileBytes(goldenPath("road-trip.m3u8")));
    EXPECT_FALSE(QFileInfo::exists(target("trip.m3u.m3u8")));

    EXPECT_TRUE(lib.exportPlaylist(999, target("none.m3u8")));
    EXPECT_EQ(fileBytes(target("none.m3u8")), "#EXTM3U\n");
}

TEST_F(LibraryExport, LibraryAsCsvAndJson)
{
    UtcZone utc;
    trimLibrary();
    auto& lib = open();
    EXPECT_TRUE(lib.exportCsv(QUrl::fromLocalFile(target("library.csv")).toString()));
    expectGolden(target("library.csv"), "library.csv");
    // No suffix is added to either.
    EXPECT_TRUE(lib.exportJson(target("library")));
    expectGolden(target("library"), "library.json");
}

// Nothing is left half-written: a target that cannot be made returns false, and a write that fails half-way
// returns false and leaves the file that was there as it was.
TEST_F(LibraryExport, FailedWritesLeaveTheOldFile)
{
    auto& lib = open();
    const std::function<bool(const QString&)> exports[] = {
        [&](const QString& path) { return lib.exportPlaylist(1, path); },
        [&](const QString& path) { return lib.exportCsv(path); },
        [&](const QString& path) { return lib.exportJson(path); },
    };
    int n = 0;
    for (const auto& exportTo : exports) {
        SCOPED_TRACE(n++);
        EXPECT_FALSE(exportTo(target("no/such/folder/x.txt")));
        EXPECT_FALSE(exportTo(QString()));
        EXPECT_FALSE(QFileInfo::exists(target("no")));

        const QString existing = target("existing.txt");
        QFile old(existing);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly | QIODevice::Truncate));
        old.write("old contents\n");
        old.close();
        // Files may grow to 8 bytes only, for root as well: the write fails as on a full disk.
        rlimit saved {};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 8;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        const bool written = exportTo(existing);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        EXPECT_FALSE(written);
        EXPECT_EQ(fileBytes(existing), "old contents\n");
        EXPECT_EQ(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), QStringList({ "existing.txt" }));
    }
}

} // namespace
