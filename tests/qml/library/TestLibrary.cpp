#include "tests/qml/library/TestLibrary.h"

#include "tests/qml/library/RecordingPlayer.h"
#include "tests/support/TestSupport.h"
#include "tests/ui/library/DamagedLibrary.h"
#include "tests/ui/library/SeedLibrary.h"
#include "ui/library/Database.h"
#include "ui/library/Library.h"

#include <QDir>
#include <QFile>
#include <QQmlContext>
#include <QStandardPaths>

namespace kvr::test {

TestLibrary::TestLibrary(QQmlContext* context, RecordingPlayer* player)
    : context_(context)
    , player_(player)
{
    QDir().mkpath(screenshotDir());
}

TestLibrary::~TestLibrary()
{
    close();
}

QString TestLibrary::mediaRoot() const
{
    return QString::fromStdString((scratchDirectory() / "seeded-media").string());
}

QString TestLibrary::screenshotDir() const
{
    return QStringLiteral(KVR_LIBRARY_SCREENSHOTS);
}

QString TestLibrary::databasePath() const
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/library.db");
}

void TestLibrary::close()
{
    if (!library_)
        return;
    // QML lets go of the library before it goes: no binding may read a deleted object.
    if (context_)
        context_->setContextProperty(QStringLiteral("Library"), QVariant::fromValue<QObject*>(nullptr));
    library_.reset();
}

bool TestLibrary::reopen(const QString& state)
{
    static const QStringList states = { QStringLiteral("seeded"), QStringLiteral("empty"), QStringLiteral("refused"),
        QStringLiteral("damaged"), QStringLiteral("restart"), QStringLiteral("absent") };
    if (!states.contains(state)) {
        qWarning("TestLibrary: no library state \"%s\"", qPrintable(state));
        return false;
    }
    close();
    const QString path = databasePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (state != QLatin1String("restart")) {
        for (const char* suffix : { "", "-wal", "-shm", ".restore" })
            QFile::remove(path + QLatin1String(suffix));
    }

    if (state == QLatin1String("absent"))
        return true;
    if (state == QLatin1String("seeded") || state == QLatin1String("refused") || state == QLatin1String("damaged")) {
        if (!SeedLibrary::write(path, mediaRoot()))
            return false;
    }
    if (state == QLatin1String("refused")) {
        ui::library::Database db;
        if (!db.open(path) || !db.exec("UPDATE library_meta SET value = '2' WHERE key = 'schema_version'"))
            return false;
        db.close();
    }
    if (state == QLatin1String("damaged") && !library::damageLibrary(path, library::Damage::Truncated))
        return false;

    // At the process's own priority: beside busy loops a pass at the lowest one can wait for minutes.
    library_ = std::make_unique<ui::library::Library>(nullptr, 0);
    connect(player_, &RecordingPlayer::played, library_.get(), &ui::library::Library::recordPlay);
    if (context_)
        context_->setContextProperty(QStringLiteral("Library"), library_.get());
    return true;
}

} // namespace kvr::test
