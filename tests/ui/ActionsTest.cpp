#include "ui/Actions.h"

#include <QSignalSpy>
#include <QtMessageHandler>
#include <gtest/gtest.h>

using kvr::ui::Actions;

namespace {

QStringList warnings;

void collect(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtWarningMsg)
        warnings << text;
}

} // namespace

TEST(Actions, UnknownIdWarnsOnceAndTriggersNothing)
{
    Actions actions;
    QSignalSpy triggered(&actions, &Actions::triggered);
    QSignalSpy unknown(&actions, &Actions::unknownAction);
    warnings.clear();
    const auto previous = qInstallMessageHandler(collect);
    const bool ran = actions.trigger("playback.toggle");
    actions.add("playback.play", [](const QVariant&) {});
    const bool ranOther = actions.trigger("Playback.Play");
    qInstallMessageHandler(previous);

    EXPECT_FALSE(ran);
    EXPECT_FALSE(ranOther) << "ids are case-sensitive";
    EXPECT_EQ(unknown.count(), 2);
    EXPECT_EQ(triggered.count(), 0);
    ASSERT_EQ(warnings.size(), 2);
    EXPECT_EQ(warnings[0], "Actions: unknown action id \"playback.toggle\"");
    EXPECT_FALSE(actions.isRegistered("playback.toggle"));
}

TEST(Actions, LastRegistrationWinsAndTriggeredFollowsTheHandler)
{
    Actions actions;
    int first = 0;
    int second = 0;
    QVariant received = 42;
    actions.add("playlist.next", [&](const QVariant&) { ++first; });
    actions.add("playlist.next", [&](const QVariant& arg) {
        ++second;
        received = arg;
    });

    int seenByListener = -1;
    QObject::connect(&actions, &Actions::triggered, [&](const QString& id, const QVariant&) {
        EXPECT_EQ(id, "playlist.next");
        seenByListener = second;
    });
    EXPECT_TRUE(actions.trigger("playlist.next"));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    EXPECT_FALSE(received.isValid()) << "a trigger without an argument passes an invalid QVariant";
    EXPECT_EQ(seenByListener, 1) << "triggered comes after the handler ran";

    EXPECT_TRUE(actions.trigger("playlist.next", QStringLiteral("/a.mp4")));
    EXPECT_EQ(received.toString(), "/a.mp4");
    EXPECT_TRUE(actions.isRegistered("playlist.next"));
}
