#include "platform/TaskbarProgress.h"

#include "tests/platform/BusHarness.h"

#include <QGuiApplication>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

namespace {

using Bar = kvr::platform::TaskbarProgress;

void* windowHandle()
{
    static int window;
    return &window;
}

} // namespace

class TaskbarProgress : public testing::Test {
protected:
    void SetUp() override
    {
        if (kvr::test::withoutBus())
            return;
        ASSERT_TRUE(kvr::test::privateBusRunning());
        client.listen(QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
    }

    // The properties of the i-th update, after checking whom it is for and that nothing else came along.
    QVariantMap update(qsizetype i)
    {
        EXPECT_TRUE(client.waitForSignals(i + 1));
        if (client.received.size() <= i)
            return {};
        const auto arguments = client.received[i].arguments();
        EXPECT_EQ(arguments.size(), 2);
        EXPECT_EQ(arguments.value(0).toString(), QStringLiteral("application://kestrune.desktop"));
        return kvr::test::busMap(arguments.value(1));
    }

    kvr::test::BusClient client;
};

TEST_F(TaskbarProgress, StateCodesDecideWhatTheLauncherShows)
{
    Bar bar;
    bar.setState(2); // before attaching: nothing
    bar.setProgress(1, 2);
    ASSERT_TRUE(bar.attach(windowHandle()));
    bar.setProgress(250, 1000);
    const auto first = update(0);
    EXPECT_EQ(first, (QVariantMap { { QStringLiteral("progress"), 0.25 } }));
    EXPECT_EQ(first.value(QStringLiteral("progress")).metaType(), QMetaType::fromType<double>());

    const struct {
        int code;
        bool visible;
        bool urgent;
    } steps[] = { { 2, true, false }, { 3, true, false }, { 4, true, true }, { 1, false, false }, { 0, false, false },
        { 4, true, true }, { 5, false, false }, { 2, true, false }, { -1, false, false }, { 7, false, false } };
    qsizetype index = 1;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.code);
        bar.setState(step.code);
        const auto properties = update(index++);
        EXPECT_EQ(properties.value(QStringLiteral("progress-visible")).metaType(), QMetaType::fromType<bool>());
        EXPECT_EQ(properties.value(QStringLiteral("progress-visible")).toBool(), step.visible);
        EXPECT_EQ(properties.value(QStringLiteral("urgent")).toBool(), step.urgent);
        // A shown bar carries the last value; a hidden one needs none.
        if (step.visible) {
            EXPECT_EQ(properties.value(QStringLiteral("progress")), QVariant(0.25));
        }
    }
    kvr::test::waitUntil([] { return false; }, 100);
    EXPECT_EQ(client.received.size(), index);
}

TEST_F(TaskbarProgress, ProgressIsTheShareOfTheTotal)
{
    Bar bar;
    ASSERT_TRUE(bar.attach(windowHandle()));
    bar.setState(2);
    update(0);

    const std::uint64_t huge = UINT64_MAX;
    const struct {
        std::uint64_t completed;
        std::uint64_t total;
        std::optional<double> sent;
    } cases[] = { { 500, 1000, 0.5 }, { 0, 1000, 0.0 }, { 1500, 1000, 1.0 }, { 7, 0, std::nullopt },
        { 1000, 1000, 1.0 }, { huge, huge, 1.0 }, { huge, 4, 1.0 }, { 0, 0, std::nullopt }, { 1, 3, 1.0 / 3.0 },
        { 999, 1000, 0.999 } };
    qsizetype index = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.completed << " of " << c.total);
        bar.setProgress(c.completed, c.total);
        if (!c.sent)
            continue;
        const auto properties = update(index++);
        EXPECT_DOUBLE_EQ(properties.value(QStringLiteral("progress")).toDouble(), *c.sent);
    }
    // A total of 0 sent nothing: the updates that did come are exactly the others, in order.
    kvr::test::waitUntil([] { return false; }, 100);
    EXPECT_EQ(client.received.size(), index);

    bar.setState(3);
    EXPECT_DOUBLE_EQ(update(index).value(QStringLiteral("progress")).toDouble(), 0.999);
}

TEST_F(TaskbarProgress, AttachesOnceAndClearsTheLauncherWhenDestroyed)
{
    {
        Bar never;
        EXPECT_FALSE(never.attach(nullptr));
        never.setState(2);
    }
    {
        Bar bar;
        ASSERT_TRUE(bar.attach(windowHandle()));
        int otherWindow = 0;
        EXPECT_TRUE(bar.attach(&otherWindow));
        EXPECT_TRUE(bar.attach(nullptr) == false);
        bar.setState(4);
        bar.setProgress(3, 4);
    }
    // The unattached objects sent nothing; the attached one sent its state, its value and a cleared bar.
    const auto last = update(2);
    EXPECT_EQ(update(0).value(QStringLiteral("urgent")), QVariant(true));
    EXPECT_FALSE(last.value(QStringLiteral("progress-visible")).toBool());
    EXPECT_FALSE(last.value(QStringLiteral("urgent")).toBool());
    kvr::test::waitUntil([] { return false; }, 100);
    EXPECT_EQ(client.received.size(), 3);
}

TEST_F(TaskbarProgress, AppUserModelIdNamesTheDesktopFile)
{
    const auto before = QGuiApplication::desktopFileName();
    kvr::platform::setAppUserModelId(u"");
    EXPECT_EQ(QGuiApplication::desktopFileName(), before);
    kvr::platform::setAppUserModelId(u"Kestrune.MediaPlayer");
    EXPECT_EQ(QGuiApplication::desktopFileName(), QStringLiteral("kestrune"));
}

TEST_F(TaskbarProgress, WithoutSessionBusAttachFailsAndNothingElseDoes)
{
    if (kvr::test::runCurrentTestWithoutBus())
        return;
    Bar bar;
    EXPECT_FALSE(bar.attach(windowHandle()));
    EXPECT_FALSE(bar.attach(windowHandle()));
    bar.setState(2);
    bar.setProgress(1, 2);
}
