#include "platform/Trash.h"
#include "tests/support/TestSupport.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

using kvr::platform::moveToTrash;

namespace {

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int modeOf(const QString& path)
{
    struct stat st { };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Each case gets a data home of its own that does not exist yet, so the trash is made from nothing.
class Trash : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(dir.path().startsWith(QString::fromStdString(kvr::test::scratchDirectory().string())));
        if (const char* old = std::getenv("XDG_DATA_HOME"))
            oldDataHome = old;
        dataHome = dir.filePath("data home");
        ::setenv("XDG_DATA_HOME", QFile::encodeName(dataHome).constData(), 1);
        trash = dataHome + "/Trash";
    }

    void TearDown() override { ::setenv("XDG_DATA_HOME", oldDataHome.c_str(), 1); }

    QTemporaryDir dir;
    std::string oldDataHome;
    QString dataHome;
    QString trash;
};

} // namespace

// Files, info and the trash itself are made private; each file has its info with the original place,
// percent-encoded, and the local time of deletion; a second file of a taken name gets the next free one.
TEST_F(Trash, HomeTrashKeepsWhereEachFileCameFrom)
{
    const QString first = dir.filePath("my music/Café %1/a.mp3");
    const QString second = dir.filePath("other/a.mp3");
    ASSERT_TRUE(writeFile(first, "first"));
    ASSERT_TRUE(writeFile(second, "second"));
    ASSERT_FALSE(QFileInfo::exists(dataHome));

    const QDateTime before = QDateTime::currentDateTime().addSecs(-2);
    QString error;
    ASSERT_TRUE(moveToTrash(first, &error)) << error.toStdString();
    ASSERT_TRUE(moveToTrash(second, &error)) << error.toStdString();
    const QDateTime after = QDateTime::currentDateTime().addSecs(2);

    EXPECT_FALSE(QFileInfo::exists(first));
    EXPECT_FALSE(QFileInfo::exists(second));
    for (const QString& folder : { trash, trash + "/files", trash + "/info" })
        EXPECT_EQ(modeOf(folder), 0700) << folder.toStdString();
    EXPECT_EQ(readFile(trash + "/files/a.mp3"), "first");
    EXPECT_EQ(readFile(trash + "/files/a.mp3.2"), "second");

    const struct {
        const char* info;
        QString original;
    } entries[] = { { "a.mp3.trashinfo", first }, { "a.mp3.2.trashinfo", second } };
    const QRegularExpression form(
        "^\\[Trash Info\\]\nPath=(.+)\nDeletionDate=(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d)\n$");
    for (const auto& entry : entries) {
        SCOPED_TRACE(entry.info);
        const QRegularExpressionMatch match = form.match(QString::fromUtf8(readFile(trash + "/info/" + entry.info)));
        ASSERT_TRUE(match.hasMatch());
        EXPECT_EQ(match.captured(1).toLatin1(), QFile::encodeName(entry.original).toPercentEncoding("/"));
        const QDateTime deleted = QDateTime::fromString(match.captured(2), Qt::ISODate);
        EXPECT_TRUE(deleted >= before && deleted <= after) << match.captured(2).toStdString();
    }
    // Blanks, bytes beyond ASCII and the percent sign itself are escaped; slashes are not.
    EXPECT_TRUE(
        readFile(trash + "/info/a.mp3.trashinfo")
            .contains(QFile::encodeName(dir.path()).toPercentEncoding("/") + "/my%20music/Caf%C3%A9%20%251/a.mp3\n"));
}

// A broken trash fails the call at once and leaves the file in place; Qt 6.4's own call spins for ever on
// the first of these.
TEST_F(Trash, BrokenHomeTrashFailsAndKeepsTheFile)
{
    const struct {
        const char* what;
        const char* plainFile; // below the data home
    } cases[] = {
        { "info is a file", "Trash/info" },
        { "files is a file", "Trash/files" },
        { "the trash is a file", "Trash" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QDir(dataHome).removeRecursively();
        ASSERT_TRUE(writeFile(dataHome + "/" + c.plainFile, "not a folder"));
        const QString file = dir.filePath("a.mp3");
        ASSERT_TRUE(writeFile(file, "kept"));
        QString error;
        EXPECT_FALSE(moveToTrash(file, &error));
        EXPECT_FALSE(error.isEmpty());
        EXPECT_EQ(readFile(file), "kept");
        EXPECT_FALSE(QFileInfo::exists(trash + "/files/a.mp3"));
    }
}

TEST_F(Trash, MissingFileFails)
{
    QString error;
    EXPECT_FALSE(moveToTrash(dir.filePath("nothing.mp3"), &error));
    EXPECT_TRUE(error.contains("nothing.mp3")) << error.toStdString();
    EXPECT_FALSE(moveToTrash(QString(), &error));
    EXPECT_FALSE(QFileInfo::exists(trash + "/files/nothing.mp3"));
}

// A link goes to the trash as a link; its target stays.
TEST_F(Trash, LinkIsTrashedNotItsTarget)
{
    const QString target = dir.filePath("target.mp3");
    ASSERT_TRUE(writeFile(target, "target"));
    ASSERT_TRUE(QFile::link(target, dir.filePath("link.mp3")));
    ASSERT_TRUE(moveToTrash(dir.filePath("link.mp3")));
    EXPECT_EQ(readFile(target), "target");
    EXPECT_EQ(QFileInfo(trash + "/files/link.mp3").symLinkTarget(), target);
}

// A file on another device goes to the trash at the top of its own mount, with its path recorded relative
// to that top; nothing is copied across devices.
TEST_F(Trash, OtherDeviceUsesTheTrashAtItsTop)
{
    struct stat shm {
    }, home {};
    if (::stat("/dev/shm", &shm) != 0 || ::access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "no writable /dev/shm";
    ASSERT_TRUE(QDir().mkpath(dataHome));
    ASSERT_EQ(::stat(QFile::encodeName(dataHome).constData(), &home), 0);
    if (shm.st_dev == home.st_dev)
        GTEST_SKIP() << "/dev/shm lies on the device of the data home";

    const QString name = QStringLiteral("kvr-trash-%1-%2.mp3").arg(::getpid()).arg(QDateTime::currentMSecsSinceEpoch());
    const QString file = "/dev/shm/" + name;
    ASSERT_TRUE(writeFile(file, "shm"));
    const QString top = QStringLiteral("/dev/shm/.Trash-%1").arg(::getuid());
    QString error;
    const bool moved = moveToTrash(file, &error);
    const QByteArray info = readFile(top + "/info/" + name + ".trashinfo");
    const QByteArray content = readFile(top + "/files/" + name);
    QFile::remove(top + "/files/" + name);
    QFile::remove(top + "/info/" + name + ".trashinfo");
    QFile::remove(file);

    ASSERT_TRUE(moved) << error.toStdString();
    EXPECT_EQ(content, "shm");
    EXPECT_TRUE(info.startsWith("[Trash Info]\nPath=" + name.toLatin1() + "\nDeletionDate=")) << info.toStdString();
    EXPECT_EQ(modeOf(top), 0700);
    EXPECT_FALSE(QFileInfo::exists(trash + "/files/" + name));
}

namespace {

// A small file system of its own mounted at `path`, in a mount namespace private to this thread, so nothing
// shows outside the test; false where the machine does not allow it (no CAP_SYS_ADMIN).
bool mountScratchFileSystem(const QString& path)
{
    static const bool privateNamespace
        = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return privateNamespace && QDir().mkpath(path)
        && ::mount("kvr-trash", QFile::encodeName(path).constData(), "tmpfs", 0, "size=4m,mode=0755") == 0;
}

} // namespace

// The trash at the top of a mount: the administrator's sticky ".Trash" holds a folder per user; a ".Trash"
// that is not sticky or is a link is passed over for the user's own ".Trash-$uid", and a ".Trash-$uid" that
// is a link is refused. The path is recorded relative to the top.
TEST_F(Trash, TopTrashRules)
{
    const QString top = dir.filePath("mount");
    if (!mountScratchFileSystem(top))
        GTEST_SKIP() << "cannot mount a file system of its own here";
    const QString uid = QString::number(::getuid());
    const QString elsewhere = dir.filePath("elsewhere");
    ASSERT_TRUE(QDir().mkpath(elsewhere));

    const struct {
        const char* what;
        std::function<bool()> prepare;
        QString trash; // empty: the call fails
    } cases[] = {
        { "sticky .Trash",
            [&] {
                return ::mkdir(QFile::encodeName(top + "/.Trash").constData(), 0777) == 0
                    && ::chmod(QFile::encodeName(top + "/.Trash").constData(), 01777) == 0;
            },
            top + "/.Trash/" + uid },
        { ".Trash without the sticky bit", [&] { return QDir().mkpath(top + "/.Trash"); }, top + "/.Trash-" + uid },
        { ".Trash a link to a sticky folder",
            [&] {
                return ::chmod(QFile::encodeName(elsewhere).constData(), 01777) == 0
                    && QFile::link(elsewhere, top + "/.Trash");
            },
            top + "/.Trash-" + uid },
        { ".Trash-$uid a link", [&] { return QFile::link(elsewhere, top + "/.Trash-" + uid); }, QString() },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const QString& name : QDir(top).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
            QFile::remove(top + "/" + name);
            QDir(top + "/" + name).removeRecursively();
        }
        ASSERT_TRUE(c.prepare());
        const QString file = top + "/sub dir/x.mp3";
        ASSERT_TRUE(writeFile(file, "x"));
        QString error;
        EXPECT_EQ(moveToTrash(file, &error), !c.trash.isEmpty()) << error.toStdString();
        if (c.trash.isEmpty()) {
            EXPECT_EQ(readFile(file), "x");
            EXPECT_TRUE(QDir(elsewhere).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
            continue;
        }
        EXPECT_EQ(readFile(c.trash + "/files/x.mp3"), "x");
        EXPECT_TRUE(readFile(c.trash + "/info/x.mp3.trashinfo").startsWith("[Trash Info]\nPath=sub%20dir/x.mp3\n"));
        EXPECT_EQ(modeOf(c.trash), 0700);
        EXPECT_FALSE(QFileInfo::exists(trash + "/files/x.mp3"));
    }
    ::umount2(QFile::encodeName(top).constData(), MNT_DETACH);
}
