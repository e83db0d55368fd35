#include "ui/UpdateChecker.h"
#include "tests/ui/GTestQtPrinters.h"
#include "tests/ui/LoopbackHttpServer.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QLocale>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>

using kvr::test::LoopbackHttpServer;
using kvr::ui::UpdateChecker;

namespace {

const QString kInvalid = QStringLiteral("The update address is not valid.");
const QString kInsecure = QStringLiteral("Updates are only checked over a secure (HTTPS) connection.");
const QString kNotPublished = QStringLiteral("No release information has been published yet.");
const QString kUnreadable = QStringLiteral("The update information couldn't be read.");
const QString kUnreachable = QStringLiteral("Couldn't reach the update server (");

bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QTest::qWait(10);
    }
    return true;
}

bool settle(UpdateChecker& checker)
{
    return waitFor([&] { return checker.state() != QLatin1String("checking"); });
}

bool lastCheckWritten()
{
    return QSettings().contains(QStringLiteral("updates/lastCheck"));
}

} // namespace

// Records what the checker asks the desktop to open, instead of starting a browser.
class OpenedUrls : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

class UpdateCheckerTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.isListening());
        QCoreApplication::setApplicationVersion(QStringLiteral("1.0.2"));
        QSettings().remove(QStringLiteral("updates/lastCheck"));
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &opened, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &opened, "open");
    }
    void TearDown() override
    {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        qunsetenv("KESTRUNE_UPDATE_FEED");
    }

    void useFeed(const QString& path) { qputenv("KESTRUNE_UPDATE_FEED", server.url(path).toString().toUtf8()); }

    LoopbackHttpServer server;
    OpenedUrls opened;
};

TEST(UpdateChecker, ComparesVersions)
{
    struct Case {
        const char* candidate;
        const char* current;
        bool newer;
    } cases[] = {
        { "v1.0.3", "1.0.2", true },
        { "1.0.2", "1.0.2", false },
        { "1.1", "1.0.10", true },
        { "1.0.2.1", "1.0.2", true },
        { "1.0.2-beta", "1.0.2", false },
        { "1.0.2", "1.0.2-rc1", true },
        { "1.0.2-rc10", "1.0.2-rc9", true },
        { "1.0.2-rc01", "1.0.2-rc1", false },
        { "1.0.2-beta1", "1.0.2-alpha3", true },
        { "1.0.2-RC1", "1.0.2-rc1", false },
        { "2.0-x", "1.9.9", true },
        { " V1.0.2 ", "1.0.2", false },
        { "1.0.2-rc.2-x", "1.0.2-rc.10", true },
        { "1.x.3", "1.0.2", true },
        { "1.0.1", "1.0.2", false },
    };
    for (const Case& c : cases)
        EXPECT_EQ(kvr::ui::isNewerVersion(QString::fromUtf8(c.candidate), QString::fromUtf8(c.current)), c.newer)
            << c.candidate << " against " << c.current;
}

TEST(UpdateChecker, AllowsOnlyHttpsOrAnOverrideOnThisMachine)
{
    struct Case {
        const char* url;
        bool overrideAllowed;
        QString message;
    } cases[] = {
        { "https://updates.example.org/latest.json", false, {} },
        { "http://localhost:8080/feed", true, {} },
        { "http://LocalHost/feed", true, {} },
        { "http://127.0.0.1:1/feed", true, {} },
        { "http://127.8.9.10/feed", true, {} },
        { "http://[::1]:8080/feed", true, {} },
        { "http://127.0.0.1/feed", false, kInsecure },
        { "http://192.168.1.10/feed", true, kInsecure },
        { "http://0.0.0.0/feed", true, kInsecure },
        { "http://localhost.example.org/feed", true, kInsecure },
        { "ftp://127.0.0.1/feed", true, kInsecure },
        { "https:///feed", false, kInvalid },
        { "not a url at all", true, kInvalid },
        { "", true, kInvalid },
    };
    for (const Case& c : cases)
        EXPECT_EQ(kvr::ui::checkUpdateUrl(QUrl(QString::fromUtf8(c.url)), c.overrideAllowed), c.message) << c.url;
}

TEST_F(UpdateCheckerTest, BlankOverrideMeansTheBuiltInFeed)
{
    qputenv("KESTRUNE_UPDATE_FEED", "   ");
    EXPECT_FALSE(UpdateChecker::hasFeedOverride());
    const QUrl feed = UpdateChecker::feedUrl();
    EXPECT_EQ(feed.scheme(), QStringLiteral("https"));
    EXPECT_EQ(feed.path(), QStringLiteral("/mediaplayer/stable/latest.json"));
    EXPECT_EQ(kvr::ui::checkUpdateUrl(server.url("/feed"), UpdateChecker::hasFeedOverride()), kInsecure);

    qputenv("KESTRUNE_UPDATE_FEED", "  " + server.url("/feed").toString().toUtf8() + " ");
    EXPECT_TRUE(UpdateChecker::hasFeedOverride());
    EXPECT_EQ(UpdateChecker::feedUrl(), server.url("/feed"));
}

TEST_F(UpdateCheckerTest, ReportsANewerReleaseAndOpensItsAddress)
{
    server.answer("/feed", 200,
        R"({"version":" v1.1.0 ","notes":"Faster seeking.\nFewer crashes.","date":"2024-05-01T10:00:00Z",)"
        R"("url":"https://downloads.kestrune.example/1.1.0","extra":[1,2]})");
    useFeed("/feed");
    UpdateChecker checker;
    QSignalSpy changed(&checker, &UpdateChecker::changed);
    EXPECT_EQ(checker.state(), QStringLiteral("idle"));
    EXPECT_EQ(checker.currentVersion(), QStringLiteral("1.0.2"));
    EXPECT_TRUE(checker.lastChecked().isEmpty());

    checker.check();
    EXPECT_EQ(checker.state(), QStringLiteral("checking"));
    ASSERT_TRUE(settle(checker));

    EXPECT_EQ(checker.state(), QStringLiteral("available"));
    EXPECT_EQ(checker.error(), QString());
    EXPECT_EQ(checker.latestVersion(), QStringLiteral("v1.1.0"));
    EXPECT_EQ(checker.releaseNotes(), QStringLiteral("Faster seeking.\nFewer crashes."));
    const QDateTime date(QDate(2024, 5, 1), QTime(10, 0), Qt::UTC);
    EXPECT_EQ(checker.releaseDate(), QLocale::system().toString(date.toLocalTime().date(), QLocale::LongFormat));
    EXPECT_EQ(changed.count(), 2);
    EXPECT_TRUE(lastCheckWritten());
    EXPECT_FALSE(checker.lastChecked().isEmpty());

    ASSERT_EQ(server.requests().size(), 1);
    const auto& request = server.requests().first();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "/feed");
    EXPECT_EQ(request.headers.value("user-agent"), "KestruneMediaPlayer/1.0.2");
    EXPECT_EQ(request.headers.value("cache-control"), "no-cache");

    checker.openDownload();
    ASSERT_EQ(opened.urls.size(), 1);
    EXPECT_EQ(opened.urls.first(), QUrl(QStringLiteral("https://downloads.kestrune.example/1.1.0")));
}

TEST_F(UpdateCheckerTest, KeepsTheLastAnswerThroughLaterOutcomes)
{
    server.answer("/feed", 200, R"({"version":"1.0.2","notes":"Nothing new.","url":"https://example.org/x"})");
    useFeed("/feed");
    UpdateChecker checker;
    checker.check();
    ASSERT_TRUE(settle(checker));
    EXPECT_EQ(checker.state(), QStringLiteral("current"));
    EXPECT_TRUE(checker.releaseDate().isEmpty());
    checker.openDownload();
    EXPECT_TRUE(opened.urls.isEmpty());
    const QString lastChecked = checker.lastChecked();
    EXPECT_FALSE(lastChecked.isEmpty());

    server.answer("/feed", 404, R"({"version":"9.0.0"})");
    checker.check();
    EXPECT_EQ(checker.error(), QString());
    ASSERT_TRUE(settle(checker));
    EXPECT_EQ(checker.state(), QStringLiteral("error"));
    EXPECT_EQ(checker.error(), kNotPublished);
    EXPECT_EQ(checker.latestVersion(), QStringLiteral("1.0.2"));
    EXPECT_EQ(checker.releaseNotes(), QStringLiteral("Nothing new."));
    EXPECT_EQ(checker.lastChecked(), lastChecked);
    checker.openDownload();
    EXPECT_TRUE(opened.urls.isEmpty());
}

// One feed answer per case: what the checker ends in, and whether the answer counted as a readable document.
struct FeedCase {
    const char* name;
    int status;
    QByteArray body;
    QString state;
    QString error; // a prefix
    QString latestVersion;
    bool lastCheck;
};

void PrintTo(const FeedCase& c, std::ostream* os)
{
    *os << c.name;
}

class UpdateCheckerFeed : public UpdateCheckerTest, public testing::WithParamInterface<FeedCase> { };

TEST_P(UpdateCheckerFeed, EndsAsExpected)
{
    const FeedCase& c = GetParam();
    server.answer("/feed", c.status, c.body);
    useFeed("/feed");
    UpdateChecker checker;
    checker.check();
    ASSERT_TRUE(settle(checker));
    EXPECT_EQ(checker.state(), c.state);
    EXPECT_TRUE(checker.error().startsWith(c.error)) << checker.error().toStdString();
    EXPECT_EQ(checker.error().isEmpty(), c.error.isEmpty());
    EXPECT_EQ(checker.latestVersion(), c.latestVersion);
    EXPECT_EQ(lastCheckWritten(), c.lastCheck);
    EXPECT_EQ(checker.lastChecked().isEmpty(), !c.lastCheck);
    checker.openDownload();
    EXPECT_EQ(opened.urls.size(), c.state == QLatin1String("available") ? 1 : 0);
}

namespace {

// A readable document padded with notes to exactly `size` bytes.
QByteArray paddedFeed(qsizetype size)
{
    const QByteArray head = R"({"version":"2.0.0","url":"https://example.org/2.0.0","notes":")";
    const QByteArray tail = R"("})";
    return head + QByteArray(size - head.size() - tail.size(), 'n') + tail;
}

const QString kError = QStringLiteral("error");

} // namespace

INSTANTIATE_TEST_SUITE_P(UpdateChecker, UpdateCheckerFeed,
    testing::Values(FeedCase { "SameVersion", 200, R"({"version":"1.0.2"})", QStringLiteral("current"), {},
                        QStringLiteral("1.0.2"), true },
        FeedCase { "OlderVersion", 200, R"({"version":"1.0.1","url":"https://example.org"})", QStringLiteral("current"),
            {}, QStringLiteral("1.0.1"), true },
        FeedCase { "NotFoundWithABody", 404, R"({"version":"2.0.0","url":"https://example.org"})", kError,
            kNotPublished, {}, false },
        FeedCase {
            "ServerError", 500, R"({"version":"2.0.0","url":"https://example.org"})", kError, kUnreachable, {}, false },
        FeedCase { "NotJson", 200, "<html>moved</html>", kError, kUnreadable, {}, false },
        FeedCase { "NotAnObject", 200, R"(["2.0.0"])", kError, kUnreadable, {}, false },
        FeedCase {
            "NumericVersion", 200, R"({"version":2.1,"url":"https://example.org"})", kError, kUnreadable, {}, false },
        FeedCase { "BlankVersion", 200, R"({"version":"  "})", kError, kUnreadable, {}, false },
        FeedCase { "NewerWithoutUrl", 200, R"({"version":"2.0.0"})", kError, kInvalid, QStringLiteral("2.0.0"), true },
        FeedCase { "NewerOnPlainHttpElsewhere", 200, R"({"version":"2.0.0","url":"http://192.168.1.10/setup"})", kError,
            kInsecure, QStringLiteral("2.0.0"), true },
        FeedCase { "NewerOnLoopbackHttp", 200, R"({"version":"2.0.0","url":"http://127.0.0.1/setup"})",
            QStringLiteral("available"), {}, QStringLiteral("2.0.0"), true },
        FeedCase { "OneMebibyte", 200, paddedFeed(1024 * 1024), QStringLiteral("available"), {},
            QStringLiteral("2.0.0"), true },
        FeedCase { "OverOneMebibyte", 200, paddedFeed(2 * 1024 * 1024), kError, kUnreadable, {}, false },
        FeedCase { "NotFoundOverOneMebibyte", 404, paddedFeed(2 * 1024 * 1024), kError, kNotPublished, {}, false }),
    [](const testing::TestParamInfo<FeedCase>& info) { return std::string(info.param.name); });

TEST_F(UpdateCheckerTest, RefusesAnUnusableFeedWithoutARequest)
{
    struct Case {
        QByteArray feed;
        QString message;
    } cases[] = {
        // 0.0.0.0 reaches this machine's listeners on Linux: a request sent anyway would show up at the server.
        { "http://0.0.0.0:" + QByteArray::number(server.port()) + "/feed", kInsecure },
        { "http://192.168.1.10/feed", kInsecure },
        { "http:///feed", kInvalid },
        { "not a url at all", kInvalid },
    };
    server.answer("/feed", 200, R"({"version":"2.0.0","url":"https://example.org"})");
    UpdateChecker checker;
    for (const Case& c : cases) {
        qputenv("KESTRUNE_UPDATE_FEED", c.feed);
        QSignalSpy changed(&checker, &UpdateChecker::changed);
        checker.check();
        EXPECT_EQ(checker.state(), kError) << c.feed.constData();
        EXPECT_EQ(checker.error(), c.message) << c.feed.constData();
        EXPECT_EQ(changed.count(), 1);
    }
    QTest::qWait(200);
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(UpdateCheckerTest, ChecksEveryRedirectTarget)
{
    const QByteArray port = QByteArray::number(server.port());
    server.answer("/feed", 200, R"({"version":"2.0.0","url":"https://example.org/2.0.0"})");
    server.redirect("/moved", 302, "http://127.0.0.1:" + port + "/feed");
    server.redirect("/relative", 301, "/feed");
    server.redirect("/away", 302, "http://0.0.0.0:" + port + "/feed");

    struct Case {
        const char* path;
        QString state;
        QString error;
        QList<QByteArray> paths; // as the server saw them
    } cases[] = {
        { "/moved", QStringLiteral("available"), {}, { "/moved", "/feed" } },
        { "/relative", QStringLiteral("available"), {}, { "/relative", "/feed" } },
        { "/away", kError, kInsecure, { "/away" } },
    };
    for (const Case& c : cases) {
        const qsizetype before = server.requests().size();
        useFeed(QString::fromUtf8(c.path));
        UpdateChecker checker;
        checker.check();
        ASSERT_TRUE(settle(checker));
        QTest::qWait(100);
        EXPECT_EQ(checker.state(), c.state) << c.path;
        EXPECT_EQ(checker.error(), c.error) << c.path;
        QList<QByteArray> seen;
        for (qsizetype i = before; i < server.requests().size(); ++i)
            seen.append(server.requests()[i].path);
        EXPECT_EQ(seen, c.paths) << c.path;
    }
}

TEST_F(UpdateCheckerTest, IgnoresChecksWhileOneRunsAndGivesUpAfterTheTimeOut)
{
    server.hang("/slow");
    useFeed("/slow");
    UpdateChecker checker;
    // Long enough that a loaded machine still asks again while the first check runs.
    checker.setTransferTimeout(2000);
    checker.check();
    ASSERT_TRUE(waitFor([&] { return server.requests().size() == 1; }));
    QSignalSpy changed(&checker, &UpdateChecker::changed);
    checker.check();
    EXPECT_EQ(changed.count(), 0);
    ASSERT_TRUE(settle(checker));
    EXPECT_EQ(checker.state(), kError);
    EXPECT_TRUE(checker.error().startsWith(kUnreachable)) << checker.error().toStdString();
    EXPECT_EQ(server.requests().size(), 1);
    EXPECT_FALSE(lastCheckWritten());
}

TEST_F(UpdateCheckerTest, CanBeDestroyedWhileChecking)
{
    server.hang("/slow");
    useFeed("/slow");
    {
        UpdateChecker checker;
        checker.check();
        ASSERT_TRUE(waitFor([&] { return server.requests().size() == 1; }));
    }
    QTest::qWait(50);
}

#include "UpdateCheckerTest.moc"
