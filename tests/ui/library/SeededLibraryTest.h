// The seeded library opened by a Library as the application opens it, with a connection of the test's own
// to the same file, and the library's notices and playlist changes recorded.
#pragma once

#include "tests/support/TestSupport.h"
#include "tests/ui/library/SeedLibrary.h"
#include "ui/library/Database.h"
#include "ui/library/Library.h"
#include "ui/library/Statement.h"

#include <QDir>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>

namespace kvr::test::library {

class SeededLibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(media.isValid());
        root = media.path();
        dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        ASSERT_TRUE(dataDir.startsWith(QString::fromStdString(kvr::test::scratchDirectory().string())));
        QDir(dataDir).removeRecursively();
        QDir().mkpath(dataDir);
        ASSERT_TRUE(SeedLibrary::write(dataDir + "/library.db", root));
        ASSERT_TRUE(db.open(dataDir + "/library.db"));
    }

    void TearDown() override
    {
        library.reset();
        db.close();
    }

    kvr::ui::library::Library& open()
    {
        library = std::make_unique<kvr::ui::library::Library>();
        QObject::connect(
            library.get(), &kvr::ui::library::Library::notice, [this](const QString& text) { notices << text; });
        QObject::connect(library.get(), &kvr::ui::library::Library::playlistsChanged, [this] { ++playlistsChanged; });
        return *library;
    }

    QString uri(const QString& relativePath) const { return SeedLibrary::uri(root, relativePath); }

    // The first column of the first row of a query on the test's own connection, as text ("" for none or NULL).
    QString scalar(const char* sql, const QVariantList& values = {})
    {
        kvr::ui::library::Statement select = db.prepare(sql);
        for (int i = 0; i < values.size(); ++i)
            select.bindValue(i + 1, values[i]);
        return select.next() ? select.columnText(0) : QString();
    }

    bool exec(const char* sql) { return db.exec(sql); }

    QTemporaryDir media;
    QString root;
    QString dataDir;
    kvr::ui::library::Database db;
    std::unique_ptr<kvr::ui::library::Library> library;
    QStringList notices;
    int playlistsChanged = 0;
};

// Local times in these tests are read in UTC, whatever the machine's zone.
class UtcZone {
public:
    UtcZone()
    {
        if (const char* tz = std::getenv("TZ")) {
            had = true;
            old = tz;
        }
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    ~UtcZone()
    {
        if (had)
            ::setenv("TZ", old.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    UtcZone(const UtcZone&) = delete;
    UtcZone& operator=(const UtcZone&) = delete;

private:
    bool had = false;
    std::string old;
};

} // namespace kvr::test::library
