#include "ui/bridge/PlaylistFiles.h"
#include "engine/Logging.h"
#include "engine/PrivateDirectory.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace kvr::ui;
namespace fs = std::filesystem;

namespace {

QString q(const fs::path& p)
{
    return QString::fromStdString(p.string());
}

// A fresh folder below the scratch directory.
fs::path freshDir(const std::string& name)
{
    const fs::path dir = kvr::test::scratchDirectory() / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

void writeBytes(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

// Runs the body with the process in the C locale, as a test run with LANG unset does.
struct CLocale {
    QLocale saved;
    CLocale() { QLocale::setDefault(QLocale::c()); }
    ~CLocale() { QLocale::setDefault(saved); }
};

} // namespace

TEST(PlaylistFiles, TellsNetworkAddressesFromLocalPaths)
{
    const struct {
        const char* text;
        bool network;
    } cases[] = {
        { "C://x", false }, // one letter before the separator: a drive, not a scheme
        { "a://x", false },
        { "ab://x", true },
        { "/music/a://b.mp3", false }, // a legal file name here
        { "./a://b.mp3", false },
        { "music/a://b.mp3", false },
        { "://x", false },
        { "", false },
        { "http://host/a b.mp3", true },
        { "RTSP://cam/1", true },
        { "gopher://host/x", true }, // an address, though not one we open
        { "file:///music/a.mp3", false },
        { "FILE://host/share/a.mp3", false },
    };
    for (const auto& c : cases)
        EXPECT_EQ(isNetworkUrl(QString::fromUtf8(c.text)), c.network) << c.text;
}

TEST(PlaylistFiles, NormalizesAddedTextIntoEntries)
{
    const fs::path cwd = freshDir("cwd");
    ASSERT_TRUE(QDir::setCurrent(q(cwd)));
    const std::string here = cwd.string();
    const std::string parent = cwd.parent_path().string();
    const struct {
        const char* text;
        std::string entry;
    } cases[] = {
        { "  \"/music/a b.mp3\"  ", "/music/a b.mp3" },
        { "\"http://host/x\"", "http://host/x" },
        { "file:///music/a%20b.mp3", "/music/a b.mp3" },
        { "FILE:///music/c.mp3", "/music/c.mp3" },
        { "file:rel.mp3", here + "/rel.mp3" },
        { "rel/a.mp3", here + "/rel/a.mp3" },
        { "../x/./a.mp3", parent + "/x/a.mp3" },
        { "/music/a://b.mp3", "/music/a:/b.mp3" }, // a local path; "//" is one separator
        { "  RTSP://cam/1 ", "RTSP://cam/1" },
        { "   ", "" },
        { "", "" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(normalizeEntryPath(QString::fromUtf8(c.text)).toStdString(), c.entry) << c.text;

    // File dialogs hand over URLs; anything else goes through the same normalisation.
    EXPECT_EQ(toLocalPath("file:///music/b%23c.mp3"), "/music/b#c.mp3");
    EXPECT_EQ(toLocalPath("/music/b.mp3"), "/music/b.mp3");
    EXPECT_EQ(toLocalPath("rel.m3u8").toStdString(), here + "/rel.m3u8");
}

TEST(PlaylistFiles, OnlyListedSchemesAndAbsolutePathsMayBeOpened)
{
    const struct {
        const char* text;
        bool stream; // accepted as a typed stream address
        bool entry; // may be opened as a playlist entry
    } cases[] = {
        { "http://host/a b.mp3", true, true },
        { "RTSP://cam/1", true, true },
        { "sftp://host/x.mkv", true, true },
        { "udp://239.0.0.1:1234", true, true },
        { "tcp://host:1?listen=1", false, false },
        { "gopher://host/x", false, false },
        { "http:host/x", false, false },
        { "file:///etc/passwd", false, false },
        { "/music/a.mp3", false, true },
        { "/music/a://b.mp3", false, true },
        { "pipe:0", false, false },
        { "concat:/a.mp3|/b.mp3", false, false },
        { "relative.mp3", false, false },
        { "", false, false },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isAllowedStreamUrl(QString::fromUtf8(c.text)), c.stream) << c.text;
        EXPECT_EQ(isAllowedEntry(QString::fromUtf8(c.text)), c.entry) << c.text;
    }
    EXPECT_EQ(streamSchemes().size(), 13);
    EXPECT_EQ(supportedExtensions().size(), 46);
}

TEST(PlaylistFiles, RecognisesPlaylistFilesBySuffix)
{
    for (const char* yes : { "/a/B.M3U", "/a/b.m3u8", "/a/b.Pls", "rel.m3u" })
        EXPECT_TRUE(isPlaylistFile(yes)) << yes;
    for (const char* no : { "/a/b.m3u.mp3", "/a/m3u", "/a.m3u/b", "" })
        EXPECT_FALSE(isPlaylistFile(no)) << no;
}

TEST(PlaylistFiles, ReadsM3uWithCrlfBomCommentsAndRelativeEntries)
{
    const fs::path root = freshDir("m3u");
    const fs::path list = root / "lists" / "mix.m3u8";
    writeBytes(list,
        "\xEF\xBB\xBF#EXTM3U\r\n"
        "#EXTINF:-1,Title\r\n"
        "  a.mp3  \r\n"
        "\r\n"
        "../music/b.mp3\r\n"
        "sub/./c.mp3\r\n"
        "FILE:///abs/d%20e.mp3\r\n"
        "file:f.mp3\r\n"
        "http://host/live\r\n"
        "/abs//g.mp3\r\n"
        "other.m3u\r\n"
        "caf\xC3\xA9.mp3");
    const std::string dir = (root / "lists").string();
    const QStringList expected {
        q(dir + "/a.mp3"),
        q((root / "music/b.mp3").string()),
        q(dir + "/sub/c.mp3"),
        "/abs/d e.mp3",
        q(dir + "/f.mp3"),
        "http://host/live",
        "/abs/g.mp3",
        q(dir + "/other.m3u"), // named, not expanded again
        q(dir + "/caf\xC3\xA9.mp3"),
    };
    EXPECT_EQ(readPlaylistFile(q(list)), expected);
}

TEST(PlaylistFiles, Utf16WithAByteOrderMarkReadsLikeItsUtf8Twin)
{
    const fs::path root = freshDir("utf16");
    const QString m3u = QString::fromUtf8("#EXTM3U\r\n#EXTINF:-1,Caf\xC3\xA9\r\ncaf\xC3\xA9.mp3\r\n"
                                          "\xE6\x9D\xB1\xE4\xBA\xAC/\xF0\x9F\x8E\xB5.flac\r\n"
                                          "http://host/live\r\n");
    const QString pls = QString::fromUtf8("[playlist]\nFile1=caf\xC3\xA9.mp3\nTitle1=x\nFile2=../b.mp3\n");
    const struct {
        const char* suffix;
        QString text;
    } lists[] = { { "m3u8", m3u }, { "pls", pls } };
    for (const auto& list : lists) {
        SCOPED_TRACE(list.suffix);
        const fs::path utf8 = root / (std::string("utf8.") + list.suffix);
        writeBytes(utf8, list.text.toStdString());
        const QStringList expected = readPlaylistFile(q(utf8));
        ASSERT_EQ(expected.size(), 2 + (list.text == m3u ? 1 : 0));

        QByteArray le("\xFF\xFE", 2);
        QByteArray be("\xFE\xFF", 2);
        for (const QChar c : list.text) {
            const char hi = char(c.unicode() >> 8), lo = char(c.unicode() & 0xff);
            le.append(lo).append(hi);
            be.append(hi).append(lo);
        }
        const fs::path leFile = root / (std::string("le.") + list.suffix);
        const fs::path beFile = root / (std::string("be.") + list.suffix);
        writeBytes(leFile, le.toStdString());
        writeBytes(beFile, be.toStdString());
        EXPECT_EQ(readPlaylistFile(q(leFile)), expected);
        EXPECT_EQ(readPlaylistFile(q(beFile)), expected);
    }
}

// Written without a byte-order mark, UTF-16 is told by its NULs: one byte of nearly every pair is zero.
TEST(PlaylistFiles, Utf16WithoutAMarkIsToldByItsNuls)
{
    const fs::path root = freshDir("utf16-unmarked");
    const QString m3u = QString::fromUtf8("#EXTM3U\n#EXTINF:-1,Caf\xC3\xA9\ncaf\xC3\xA9.mp3\n"
                                          "\xE6\x9D\xB1\xE4\xBA\xAC/\xF0\x9F\x8E\xB5.flac\nhttp://host/live\n");
    const fs::path utf8 = root / "utf8.m3u8";
    writeBytes(utf8, m3u.toStdString());
    const QStringList expected = readPlaylistFile(q(utf8));
    ASSERT_EQ(expected.size(), 3);
    std::string le, be;
    for (const QChar c : m3u) {
        const char hi = char(c.unicode() >> 8), lo = char(c.unicode() & 0xff);
        le += { lo, hi };
        be += { hi, lo };
    }
    writeBytes(root / "le.m3u8", le);
    writeBytes(root / "be.m3u8", be);
    EXPECT_EQ(readPlaylistFile(q(root / "le.m3u8")), expected);
    EXPECT_EQ(readPlaylistFile(q(root / "be.m3u8")), expected);
    // NULs on both sides are no UTF-16: such lines are damage, left out.
    writeBytes(root / "nuls.m3u8", std::string("\0\0\0\0\n\0\0\n", 8));
    EXPECT_TRUE(readPlaylistFile(q(root / "nuls.m3u8")).isEmpty());
}

TEST(PlaylistFiles, LineHoldingANulIsLeftOutWithOneWarning)
{
    kvr::engine::init_logging();
    const fs::path log = kvr::engine::privateDirectory() / "kvr.log";
    const fs::path root = freshDir("nul");
    const fs::path list = root / "nul.m3u";
    writeBytes(list, std::string("a.mp3\nb\0.mp3\n\0\nc.mp3\n", 21));
    const std::string before = kvr::test::readFile(log);

    EXPECT_EQ(readPlaylistFile(q(list)), (QStringList { q(root / "a.mp3"), q(root / "c.mp3") }));
    const std::string added = kvr::test::readFile(log).substr(before.size());
    const std::string warning = "PlaylistFiles: " + list.string() + ": left out 2 line(s) holding a NUL byte";
    EXPECT_NE(added.find(warning), std::string::npos) << added;
    EXPECT_EQ(std::count(added.begin(), added.end(), '\n'), 1) << added;
}

TEST(PlaylistFiles, ReadsOnlyTheFileLinesOfPls)
{
    const fs::path root = freshDir("pls");
    const fs::path list = root / "lists" / "radio.PLS";
    writeBytes(list,
        "[playlist]\n"
        "File1=a.mp3\n"
        "Title1=Song = one\n"
        "Length1=-1\n"
        "file2 = ../b.mp3\n"
        "File3=http://host/x?a=b\n"
        "FileWithoutEquals\n"
        "NumberOfEntries=3\n"
        "Version=2\n");
    const QStringList expected {
        q((root / "lists/a.mp3").string()),
        q((root / "b.mp3").string()),
        "http://host/x?a=b",
    };
    EXPECT_EQ(readPlaylistFile(q(list)), expected);
}

TEST(PlaylistFiles, UnreadablePlaylistsExpandToNothing)
{
    const fs::path root = freshDir("unreadable");
    EXPECT_TRUE(expandEntry(q(root / "missing.m3u")).isEmpty());
    // A FIFO would block the reader forever.
    const fs::path fifo = root / "pipe.m3u";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_TRUE(expandEntry(q(fifo)).isEmpty());
}

TEST(PlaylistFiles, ExpandsAddressesPathsAndPlaylistsThroughTheSchemeList)
{
    const fs::path root = freshDir("expand");
    EXPECT_TRUE(expandEntry("").isEmpty());
    EXPECT_EQ(expandEntry("http://host/a"), QStringList { "http://host/a" });
    // Neither extension nor existence is tested here; opening reports those.
    EXPECT_EQ(expandEntry("/nowhere/notes.txt"), QStringList { "/nowhere/notes.txt" });

    QStringList refused;
    EXPECT_TRUE(expandEntry("tcp://host:1?listen=1", &refused).isEmpty());
    EXPECT_EQ(refused, QStringList { "tcp://host:1?listen=1" });

    const fs::path list = root / "mixed.m3u";
    writeBytes(list,
        "#EXTM3U\n"
        "https://host/ok.m3u8\n"
        "tcp://host:1?listen=1\n"
        "gopher://host/x\n"
        "rtmp://host/live\n"
        "local.mp3\n");
    refused.clear();
    const QStringList expected { "https://host/ok.m3u8", "rtmp://host/live", q((root / "local.mp3").string()) };
    EXPECT_EQ(expandEntry(q(list), &refused), expected);
    EXPECT_EQ(refused, (QStringList { "tcp://host:1?listen=1", "gopher://host/x" }));
}

TEST(PlaylistFiles, FolderListsReadableMediaFilesInNaturalOrder)
{
    CLocale cLocale;
    const fs::path root = freshDir("folder");
    for (const char* name : { "track10.mp3", "Track2.MP3", "track1.flac", "notes.txt", "cover.jpg", "sub/track3.mkv",
             "sub/deeper/x.m3u", ".hidden/h.mp3" })
        writeBytes(root / name, "x");
    fs::create_symlink(root / "gone.mp3", root / "dangling.mp3");
    ASSERT_EQ(::mkfifo((root / "fifo.mp3").c_str(), 0600), 0);
    const fs::path locked = root / "locked.mp3";
    writeBytes(locked, "x");
    fs::permissions(locked, fs::perms::none);

    const std::string d = root.string();
    QStringList expected { q(d + "/sub/track3.mkv"), q(d + "/track1.flac"), q(d + "/Track2.MP3"),
        q(d + "/track10.mp3") };
    // Root reads every file whatever its mode; elsewhere the locked one is left out.
    if (::access(locked.c_str(), R_OK) == 0)
        expected.insert(0, q(locked.string()));
    EXPECT_EQ(expandEntry(q(root)), expected);

    EXPECT_TRUE(expandEntry(q(root / "sub" / "deeper")).isEmpty());
}

TEST(PlaylistFiles, FolderWalkStopsAtTheLimit)
{
    const fs::path root = freshDir("big");
    const int perFolder = 1000;
    for (int f = 0; f < 12; ++f) {
        const fs::path sub = root / ("d" + std::to_string(f));
        fs::create_directories(sub);
        for (int i = 0; i < perFolder; ++i)
            std::ofstream(sub / ("track" + std::to_string(i) + ".mp3"));
    }

    int visited = 0;
    const QStringList found = findMediaFiles(q(root), folderListingLimit, &visited);
    EXPECT_EQ(found.size(), folderListingLimit);
    EXPECT_EQ(visited, folderListingLimit) << "the walk went on past the limit";

    // The same files met first, then sorted.
    QStringList sorted = found;
    sortNaturally(sorted);
    EXPECT_EQ(expandEntry(q(root)), sorted);
}

TEST(PlaylistFiles, WritesM3u8ThroughAnAtomicSave)
{
    const fs::path root = freshDir("write");
    const QStringList entries { "/music/Artist/01 Intro.flac", "http://radio.example/stream", "/music/a.tar.mp3",
        "/music/noext" };
    ASSERT_TRUE(writePlaylistFile(q(root / "list"), entries));
    EXPECT_EQ(kvr::test::readFile(root / "list.m3u8"),
        "#EXTM3U\n"
        "#EXTINF:-1,01 Intro\n"
        "/music/Artist/01 Intro.flac\n"
        "#EXTINF:-1,http://radio.example/stream\n"
        "http://radio.example/stream\n"
        "#EXTINF:-1,a.tar\n"
        "/music/a.tar.mp3\n"
        "#EXTINF:-1,noext\n"
        "/music/noext\n");
    EXPECT_EQ(readPlaylistFile(q(root / "list.m3u8")), entries);

    // Overwriting replaces the file whole and leaves no temporary file behind.
    ASSERT_TRUE(writePlaylistFile(q(root / "list.m3u8"), {}));
    EXPECT_EQ(kvr::test::readFile(root / "list.m3u8"), "#EXTM3U\n");
    ASSERT_TRUE(writePlaylistFile(q(root / "keep.txt"), {}));
    EXPECT_TRUE(fs::exists(root / "keep.txt"));
    EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 2);

    EXPECT_FALSE(writePlaylistFile("", entries));
    EXPECT_FALSE(writePlaylistFile(q(root / "no" / "such" / "dir.m3u8"), entries));
    EXPECT_FALSE(fs::exists(root / "no"));
}

TEST(PlaylistFiles, AwkwardEntriesReadBackUnchanged)
{
    const fs::path root = freshDir("awkward");
    const QStringList entries {
        "/music/line\nbreak.mp3",
        "/music/cr\r\nlf.mp3",
        "/music/trailing space.mp3 ",
        "/music/tab.mp3\t",
        "/music/100%.mp3",
        "/music/#1 hit?.mp3",
        "/music/caf\u00e9 \u266b.mp3",
        "/music/plain.mp3",
    };
    const fs::path list = root / "awkward.m3u8";
    ASSERT_TRUE(writePlaylistFile(q(list), entries));
    EXPECT_EQ(readPlaylistFile(q(list)), entries);

    const std::string text = kvr::test::readFile(list);
    EXPECT_NE(text.find("#EXTINF:-1,line break\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n/music/plain.mp3\n"), std::string::npos) << "plain paths stay plain";
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 2 * entries.size());
    EXPECT_EQ(text.find('\r'), std::string::npos);

    // A line break inside an address must not smuggle in a second entry.
    ASSERT_TRUE(writePlaylistFile(q(list), { "http://host/a\n/etc/passwd" }));
    EXPECT_EQ(readPlaylistFile(q(list)), QStringList { "http://host/a%0A/etc/passwd" });
}
