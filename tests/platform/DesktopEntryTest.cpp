#include "platform/DesktopEntry.h"

#include "tests/support/TestSupport.h"

#include <QMimeDatabase>
#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>

// The shipped desktop file must name the program and announce the same MIME types as the media controls.
TEST(DesktopEntry, ShippedFileMatchesWhatThePlayerAnnounces)
{
    const auto file
        = std::filesystem::path(KVR_SOURCE_DIR) / "app" / (kvr::platform::desktopFileName().toStdString() + ".desktop");
    const std::string text = kvr::test::readFile(file);
    ASSERT_FALSE(text.empty());
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "[Desktop Entry]");
    std::map<std::string, std::string> keys;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (equals != std::string::npos)
            keys[line.substr(0, equals)] = line.substr(equals + 1);
    }
    EXPECT_EQ(keys["Type"], "Application");
    EXPECT_EQ(keys["Name"], "Kestrune Media Player");
    EXPECT_EQ(keys["Exec"], "kestrune %U");

    auto listed = QString::fromStdString(keys["MimeType"]).split(QLatin1Char(';'), Qt::SkipEmptyParts);
    EXPECT_EQ(listed, kvr::platform::supportedMimeTypes());
    QMimeDatabase database;
    for (const auto& type : listed)
        EXPECT_TRUE(database.mimeTypeForName(type).isValid()) << type.toStdString();
    for (const char* file : { "clip.mkv", "clip.mp4", "song.mp3", "song.flac", "list.m3u8", "list.pls" }) {
        const auto type = database.mimeTypeForFile(QString::fromLatin1(file), QMimeDatabase::MatchExtension);
        EXPECT_TRUE(listed.contains(type.name())) << file << " is " << type.name().toStdString();
    }
}
