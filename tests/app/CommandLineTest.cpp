#include "app/CommandLine.h"
#include "engine/PrivateDirectory.h"
#include "tests/support/TestSupport.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <gtest/gtest.h>

#include <clocale>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace kvr::app;
using kvr::test::readFile;

namespace {

// The player built with a sanitizer starts, probes its encoders and converts several times slower: the waits
// for it stretch with it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSlowdown = 4;
#else
constexpr int kSlowdown = 1;
#endif

struct RequestCase {
    QStringList args;
    std::string container;
    std::string videoCodec = "h264";
    std::string audioCodec = "aac";
    int quality = 2;
    int rateMode = 0;
    int videoKbps = 0;
    int maxHeight = 0;
    int subtitles = 0;
};

kvr::engine::TranscodeOptions requestFor(const QStringList& args)
{
    QCommandLineParser parser;
    setUpParser(parser);
    EXPECT_TRUE(parser.parse(QStringList { QStringLiteral("kestrune") } + args)) << parser.errorText().toStdString();
    return conversionRequest(parser);
}

} // namespace

TEST(CommandLine, ConversionRequestFromOptions)
{
    const QString cwd = QDir::currentPath();
    const RequestCase table[] = {
        { { "--convert", "in.mkv", "--to", "out.MKA" }, "mkv" },
        { { "--convert", "in.mkv", "--to", "out.Mp4" }, "mp4" },
        { { "--convert", "in.mkv", "--to", "out.mka", "--container", "WebM" }, "WebM" },
        { { "--convert", "in.mkv", "--to", "out.webm", "--vcodec", "vp9", "--acodec", "opus" }, "webm", "vp9", "opus" },
        { { "--convert", "in.mkv", "--to", "out.mp4", "--bitrate", "2500" }, "mp4", "h264", "aac", 2, 1, 2500 },
        { { "--convert", "in.mkv", "--to", "out.mp4", "--two-pass", "--bitrate", "900" }, "mp4", "h264", "aac", 2, 2,
            900 },
        { { "--convert", "in.mkv", "--to", "out.mp4", "--quality", "7", "--height", "720" }, "mp4", "h264", "aac", 7, 0,
            0, 720 },
        { { "--convert", "in.mkv", "--to", "out.mp4", "--quality", "best" }, "mp4", "h264", "aac", 0 },
        { { "--convert", "in.mkv", "--to", "out.mkv", "--subs", "copy" }, "mkv", "h264", "aac", 2, 0, 0, 0, 1 },
        { { "--convert", "in.mkv", "--to", "out.mkv", "--subs", "convert" }, "mkv", "h264", "aac", 2, 0, 0, 0, 2 },
        { { "--convert", "in.mkv", "--to", "out.mkv", "--subs", "burn" }, "mkv", "h264", "aac", 2, 0, 0, 0, 3 },
        { { "--convert", "in.mkv", "--to", "out.mkv", "--subs", "COPY" }, "mkv", "h264", "aac", 2, 0, 0, 0, 0 },
        { { "--convert", "in.mkv", "--to", "noext" }, "" },
        // A default the container refuses gives way to its first codec; a codec asked for stays.
        { { "--convert", "in.mkv", "--to", "out.webm" }, "webm", "vp9", "opus" },
        { { "--convert", "in.mkv", "--to", "out.webm", "--acodec", "none" }, "webm", "vp9", "none" },
        { { "--convert", "in.mkv", "--to", "out.mp3" }, "mp3", "none", "mp3" },
        { { "--convert", "in.mkv", "--to", "out.m4a" }, "m4a", "none", "aac" },
        { { "--convert", "in.mkv", "--to", "out.opus" }, "opus", "none", "opus" },
        { { "--convert", "in.mkv", "--to", "out.flac" }, "flac", "none", "flac" },
        { { "--convert", "in.mkv", "--to", "out.m4a", "--vcodec", "h264" }, "m4a", "h264", "aac" },
        { { "--convert", "in.mkv", "--to", "out.mkv" }, "mkv", "h264", "aac" },
    };
    for (const RequestCase& c : table) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const auto r = requestFor(c.args);
        EXPECT_EQ(r.input, (cwd + "/in.mkv").toStdString());
        EXPECT_EQ(r.output, (cwd + "/" + c.args[3]).toStdString());
        EXPECT_EQ(r.container, c.container);
        EXPECT_EQ(r.videoCodec, c.videoCodec);
        EXPECT_EQ(r.audioCodec, c.audioCodec);
        EXPECT_EQ(r.quality, c.quality);
        EXPECT_EQ(r.rateMode, c.rateMode);
        EXPECT_EQ(r.videoKbps, c.videoKbps);
        EXPECT_EQ(r.maxHeight, c.maxHeight);
        EXPECT_EQ(r.subtitles, c.subtitles);
    }
}

TEST(CommandLine, ToPathOrUrl)
{
    const QString cwd = QDir::currentPath();
    const std::pair<QString, QString> table[] = {
        { "movie.mkv", cwd + "/movie.mkv" },
        { "sub/../a b.mkv", cwd + "/a b.mkv" },
        { "/media/x.mkv", "/media/x.mkv" },
        { "ab://x", "ab://x" },
        { "http://example.com/live.m3u8", "http://example.com/live.m3u8" },
        { "rtsp://cam.local:554/stream", "rtsp://cam.local:554/stream" },
        { "a://x", cwd + "/a:/x" },
        { "/srv/ab://x", "/srv/ab:/x" },
        { "file:///tmp/a%20b.mkv", "/tmp/a b.mkv" },
        { "FILE:///tmp/c.mkv", "/tmp/c.mkv" },
        { "file://localhost/tmp/d.mkv", "/tmp/d.mkv" },
    };
    for (const auto& [in, out] : table)
        EXPECT_EQ(toPathOrUrl(in).toStdString(), out.toStdString()) << in.toStdString();
}

TEST(CommandLine, QtsOwnOptionsAreLeftToTheApplication)
{
    const struct {
        std::vector<const char*> argv;
        QStringList parsed;
    } table[] = {
        { { "kestrune", "a.mkv" }, { "kestrune", "a.mkv" } },
        { { "kestrune", "-platform", "offscreen", "a.mkv" }, { "kestrune", "a.mkv" } },
        { { "kestrune", "--platform", "xcb", "-reverse", "--qwindowtitle", "T", "-x" }, { "kestrune", "-x" } },
        { { "kestrune", "-qmljsdebugger=port:1234", "--style", "Fusion", "--bogus" }, { "kestrune", "--bogus" } },
        // Only whole names count, wherever they stand: Qt takes them even as the value of another option.
        { { "kestrune", "-platforms", "--to", "-reverse" }, { "kestrune", "-platforms", "--to" } },
        { { "kestrune", "-display" }, { "kestrune" } },
    };
    for (const auto& row : table) {
        const QStringList parsed = argumentsForParser(int(row.argv.size()), row.argv.data());
        EXPECT_EQ(parsed.join('|').toStdString(), row.parsed.join('|').toStdString());
    }
}

TEST(CommandLine, OutputThatIsTheInputIsRefused)
{
    const fs::path dir = kvr::test::scratchDirectory() / "same";
    fs::create_directories(dir / "sub");
    const QString in = QString::fromStdString((dir / "in.mkv").string());
    QFile f(in);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("media");
    f.close();
    fs::create_hard_link(dir / "in.mkv", dir / "hard.mkv");
    fs::create_symlink(dir / "in.mkv", dir / "soft.mkv");
    const QString d = QString::fromStdString(dir.string());

    const std::pair<QString, bool> table[] = {
        { in, true },
        { d + "/sub/../in.mkv", true },
        { d + "/hard.mkv", true },
        { d + "/soft.mkv", true },
        { d + "/out.mkv", false },
        { d + "/sub", false },
        { QString(), true },
    };
    for (const auto& [out, refused] : table) {
        const QString problem = conversionOutputProblem(in, out);
        EXPECT_EQ(!problem.isEmpty(), refused) << out.toStdString();
        if (refused) {
            EXPECT_TRUE(problem.startsWith("output: ")) << problem.toStdString();
        }
    }
    // Neither side exists: the names alone decide.
    EXPECT_FALSE(conversionOutputProblem(d + "/gone.mkv", d + "/gone.mkv").isEmpty());
}

TEST(CommandLine, ProgressLineUsesADecimalPointUnderAGermanLocale)
{
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "the de_DE.UTF-8 locale is not installed";
    testing::internal::CaptureStderr();
    printConvertProgress({ .fraction = 0.425, .speed = 1.5 });
    printConvertProgress({ .fraction = 1.0, .speed = 0.0 });
    const std::string mirrored = testing::internal::GetCapturedStderr();
    std::setlocale(LC_ALL, "C");
    const std::string expected = "convert: 42% speed 1.500000\nconvert: 100% speed 0.000000\n";
    EXPECT_EQ(mirrored, expected);
    EXPECT_EQ(kvr::test::readTraceWritten(kvr::engine::privateDirectory() / "kvr_trace.txt"), expected);
}

// The player itself, without any display: help, version and conversion must not need one.
TEST(CommandLine, HeadlessModesRunWithoutADisplay)
{
    const fs::path dir = kvr::test::scratchDirectory() / "headless";
    fs::create_directories(dir);
    const QString in = QString::fromStdString((dir / "in.mkv").string());
    QFile f(in);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not really a film");
    f.close();
    const QString out = QString::fromStdString((dir / "out.mp4").string());

    struct Case {
        QStringList args;
        int exitCode;
        const char* stdoutHas;
        const char* stderrHas;
    };
    const Case table[] = {
        { { "--version" }, 0, "Kestrune Media Player 1.0.2", "" },
        { { "--help" }, 0, "--convert <input>", "" },
        { { "-h" }, 0, "--two-pass", "" },
        { { "--convert", in, "--to", out }, 2, "",
            "convert: FAILED input: Invalid data found when processing input\n" },
        { { "--convert=" + in, "--to=" + out }, 2, "",
            "convert: FAILED input: Invalid data found when processing input\n" },
        { { "--convert", in, "--to", in }, 2, "", "convert: FAILED output: " },
        { { "--convert", in }, 2, "", "convert: FAILED output: " },
        // Refused before anything needs a display, with the parser's own message.
        { { "--bogus-option" }, 1, "", "Unknown option 'bogus-option'.\n" },
        { { "-platform", "xcb", "--reverse", "--bogus-option", in }, 1, "", "Unknown option 'bogus-option'.\n" },
    };
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" })
        env.remove(QString::fromLatin1(name));
    env.insert("LC_ALL", "de_DE.UTF-8");
    for (const Case& c : table) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(KVR_PLAYER_EXE), c.args);
        ASSERT_TRUE(p.waitForFinished(30000 * kSlowdown));
        const std::string so = p.readAllStandardOutput().toStdString();
        const std::string se = p.readAllStandardError().toStdString();
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << se;
        EXPECT_EQ(p.exitCode(), c.exitCode) << se;
        EXPECT_NE(so.find(c.stdoutHas), std::string::npos) << so;
        EXPECT_NE(se.find(c.stderrHas), std::string::npos) << se;
    }
    EXPECT_EQ(readFile(dir / "in.mkv"), "not really a film");
    EXPECT_FALSE(fs::exists(dir / "out.mp4"));
    const std::string trace = readFile(kvr::engine::privateDirectory() / "kvr_trace.txt");
    EXPECT_NE(trace.find("convert: FAILED input: Invalid data found when processing input\n"), std::string::npos)
        << trace;
}

// A real conversion from the command line: the streams are copied, the terminal shows progress and the end.
TEST(CommandLine, ConvertCopiesStreamsAndReportsOnTheTerminal)
{
    const fs::path dir = kvr::test::scratchDirectory() / "convert";
    fs::create_directories(dir);
    const QString in = QString::fromStdString(kvr::test::fixture("multi.mkv").string());
    const QString out = QString::fromStdString((dir / "out.mkv").string());
    struct Case {
        QStringList args;
        int exitCode;
        const char* stderrEnds;
    };
    const Case table[] = {
        { { "--convert", in, "--to", out, "--vcodec", "copy", "--acodec", "copy", "--subs", "copy" }, 0,
            "convert: 100% speed 0.000000\nconvert: done\n" },
        { { "--convert", in, "--to", "/dev/full", "--container", "mkv", "--vcodec", "copy", "--acodec", "copy" }, 2,
            "convert: FAILED muxer: No space left on device\n" },
    };
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" })
        env.remove(QString::fromLatin1(name));
    for (const Case& c : table) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(KVR_PLAYER_EXE), c.args);
        ASSERT_TRUE(p.waitForFinished(120000 * kSlowdown));
        const std::string se = p.readAllStandardError().toStdString();
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << se;
        EXPECT_EQ(p.exitCode(), c.exitCode) << se;
        const std::string ending = c.stderrEnds;
        ASSERT_GE(se.size(), ending.size()) << se;
        EXPECT_EQ(se.substr(se.size() - ending.size()), ending) << se;
    }
    struct stat st { };
    ASSERT_EQ(::stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    // What ffprobe shows: the video, the English audio only, the subtitle, both chapters and the tags.
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
        { "-v", "error", "-show_entries", "stream=codec_type:stream_tags=language:format_tags=title", "-show_chapters",
            "-of", "compact", out });
    ASSERT_TRUE(probe.waitForFinished(30000 * kSlowdown));
    const std::string shown = probe.readAllStandardOutput().toStdString();
    const auto count = [&](const std::string& what) {
        size_t n = 0;
        for (size_t at = shown.find(what); at != std::string::npos; at = shown.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("codec_type=video"), 1u) << shown;
    EXPECT_EQ(count("codec_type=audio|tag:language=eng"), 1u) << shown;
    EXPECT_EQ(count("codec_type=audio"), 1u) << shown;
    EXPECT_EQ(count("codec_type=subtitle"), 1u) << shown;
    EXPECT_EQ(count("chapter|"), 2u) << shown;
    EXPECT_EQ(count("tag:title=Fixture Title"), 1u) << shown;
}

// Audio re-encoded from the command line (under a locale with a decimal comma, which must not reach the filter
// texts), a video choice an audio-only container cannot take, refused before any file is made, and subtitles
// burnt in.
TEST(CommandLine, ConvertEncodesAudioAndRefusesVideoInAnAudioContainer)
{
    const fs::path dir = kvr::test::scratchDirectory() / "convert-audio";
    fs::create_directories(dir);
    const QString mp3 = QString::fromStdString((dir / "out.mp3").string());
    const QString m4a = QString::fromStdString((dir / "out.m4a").string());
    struct Case {
        QStringList args;
        int exitCode;
        const char* stderrEnds;
    };
    const Case table[] = {
        { { "--convert", QString::fromStdString(kvr::test::fixture("tone44k.flac").string()), "--to", mp3, "--vcodec",
              "none", "--acodec", "mp3" },
            0, "convert: done\n" },
        { { "--convert", QString::fromStdString(kvr::test::fixture("multi.mkv").string()), "--to", m4a, "--vcodec",
              "h264" },
            2, "convert: FAILED m4a holds audio only \u2014 choose \"No video\"\n" },
        { { "--convert", QString::fromStdString(kvr::test::fixture("multi.mkv").string()), "--to",
              QString::fromStdString((dir / "burnt.mp4").string()), "--subs", "burn" },
            0, "convert: done\n" },
    };
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" })
        env.remove(QString::fromLatin1(name));
    env.insert("LC_ALL", "de_DE.UTF-8");
    for (const Case& c : table) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(KVR_PLAYER_EXE), c.args);
        ASSERT_TRUE(p.waitForFinished(120000 * kSlowdown));
        const std::string se = p.readAllStandardError().toStdString();
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << se;
        EXPECT_EQ(p.exitCode(), c.exitCode) << se;
        const std::string ending = c.stderrEnds;
        ASSERT_GE(se.size(), ending.size()) << se;
        EXPECT_EQ(se.substr(se.size() - ending.size()), ending) << se;
    }
    EXPECT_FALSE(fs::exists(dir / "out.m4a"));

    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
        { "-v", "error", "-show_entries", "stream=codec_name,sample_rate", "-of", "compact", mp3 });
    ASSERT_TRUE(probe.waitForFinished(30000 * kSlowdown));
    EXPECT_EQ(probe.readAllStandardOutput().toStdString(), "stream|codec_name=mp3|sample_rate=44100\n");
}

namespace {

QProcessEnvironment headlessEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" })
        env.remove(QString::fromLatin1(name));
    return env;
}

// The player converting, started with the default actions for SIGINT and SIGTERM whatever the test runner
// ignores (a job started in the background inherits an ignored SIGINT).
void startConversion(QProcess& p, const QStringList& args)
{
    p.setProcessEnvironment(headlessEnvironment());
    p.setChildProcessModifier([] {
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
    });
    p.start(QStringLiteral(KVR_PLAYER_EXE), args);
}

bool waitUntil(const std::function<bool()>& condition, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    return true;
}

std::string endOf(const std::string& text, size_t length)
{
    return text.size() < length ? text : text.substr(text.size() - length);
}

} // namespace

// Ctrl+C or SIGTERM while converting: the job is cancelled and says so, its half-written file goes, and the
// process ends by the signal, so a shell shows 130 or 143 as for any program.
TEST(CommandLine, SignalCancelsTheConversionAndDeletesItsFile)
{
    const fs::path dir = kvr::test::scratchDirectory() / "convert-signal";
    fs::create_directories(dir);
    for (const int signal : { SIGINT, SIGTERM }) {
        SCOPED_TRACE(signal);
        const fs::path out = dir / ("signal-" + std::to_string(signal) + ".mkv");
        fs::remove(out);
        QProcess p;
        startConversion(p,
            { "--convert", QString::fromStdString(kvr::test::fixture("thirty-seconds.mp4").string()), "--to",
                QString::fromStdString(out.string()), "--quality", "3" });
        ASSERT_TRUE(p.waitForStarted(30000 * kSlowdown));
        ASSERT_TRUE(waitUntil([&] { return fs::exists(out) || p.state() == QProcess::NotRunning; }, 60000 * kSlowdown));
        ASSERT_EQ(p.state(), QProcess::Running) << "ended before the signal";
        ::kill(static_cast<pid_t>(p.processId()), signal);
        ASSERT_TRUE(p.waitForFinished(60000 * kSlowdown));
        const std::string se = p.readAllStandardError().toStdString();
        EXPECT_EQ(p.exitStatus(), QProcess::CrashExit) << se;
        EXPECT_EQ(p.exitCode(), signal) << se;
        EXPECT_EQ(endOf(se, 26), "convert: FAILED cancelled\n") << se;
        EXPECT_FALSE(fs::exists(out));
    }
}

// A failed run deletes the file it made; a file it never opened is the user's and stays as it was.
TEST(CommandLine, FailedConversionLeavesNoFileOfItsOwn)
{
    const fs::path dir = kvr::test::scratchDirectory() / "convert-failed";
    fs::create_directories(dir);
    struct Case {
        const char* input;
        const char* output;
        bool existedBefore;
        const char* stderrEnds;
    };
    const Case table[] = {
        // No pictures at all: found only once the file is there.
        { "no-pictures.mkv", "made.mp4", false, "convert: FAILED input: no decodable video frames\n" },
        { "no-pictures.mkv", "truncated.mp4", true, "convert: FAILED input: no decodable video frames\n" },
        { "garbage.mp4", "kept.mp4", true, "convert: FAILED input: Invalid data found when processing input\n" },
        { "subtitle-only.mkv", "nothing.mp4", true,
            "convert: FAILED input: nothing to convert (no matching audio or video stream)\n" },
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.output);
        const fs::path out = dir / c.output;
        fs::remove(out);
        if (c.existedBefore)
            std::ofstream(out) << "the user's own";
        QProcess p;
        startConversion(p,
            { "--convert", QString::fromStdString(kvr::test::fixture(c.input).string()), "--to",
                QString::fromStdString(out.string()) });
        ASSERT_TRUE(p.waitForFinished(120000 * kSlowdown));
        const std::string se = p.readAllStandardError().toStdString();
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << se;
        EXPECT_EQ(p.exitCode(), 2) << se;
        EXPECT_EQ(endOf(se, std::strlen(c.stderrEnds)), c.stderrEnds) << se;
        const bool opened = std::string(c.input) == "no-pictures.mkv";
        EXPECT_EQ(fs::exists(out), !opened);
        if (!opened) {
            EXPECT_EQ(readFile(out), "the user's own");
        }
    }
}

// Only a name and an extension: the container's own codecs where it refuses the defaults; no extension at all
// is said as such.
TEST(CommandLine, ConvertTakesTheContainersDefaults)
{
    const fs::path dir = kvr::test::scratchDirectory() / "convert-defaults";
    fs::create_directories(dir);
    struct Case {
        const char* input;
        const char* output;
        int exitCode;
        const char* stderrEnds;
        const char* streams; // ffprobe's codec names, "" when no file is expected
    };
    const Case table[] = {
        { "commentary.mkv", "out.webm", 0, "convert: done\n", "stream|codec_name=vp9\nstream|codec_name=opus\n" },
        { "tone44k.flac", "out.mp3", 0, "convert: done\n", "stream|codec_name=mp3\n" },
        { "commentary.mkv", "out.mkv", 0, "convert: done\n", "stream|codec_name=h264\nstream|codec_name=aac\n" },
        { "commentary.mkv", "noext", 2,
            "convert: FAILED output: cannot tell the container from the name noext (add an extension or "
            "--container)\n",
            "" },
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.output);
        const fs::path out = dir / c.output;
        fs::remove(out);
        QProcess p;
        startConversion(p,
            { "--convert", QString::fromStdString(kvr::test::fixture(c.input).string()), "--to",
                QString::fromStdString(out.string()) });
        ASSERT_TRUE(p.waitForFinished(120000 * kSlowdown));
        const std::string se = p.readAllStandardError().toStdString();
        EXPECT_EQ(p.exitCode(), c.exitCode) << se;
        EXPECT_EQ(endOf(se, std::strlen(c.stderrEnds)), c.stderrEnds) << se;
        if (*c.streams == 0) {
            EXPECT_FALSE(fs::exists(out));
            continue;
        }
        QProcess probe;
        probe.start(QStringLiteral("ffprobe"),
            { "-v", "error", "-show_entries", "stream=codec_name", "-of", "compact",
                QString::fromStdString(out.string()) });
        ASSERT_TRUE(probe.waitForFinished(30000 * kSlowdown));
        EXPECT_EQ(probe.readAllStandardOutput().toStdString(), c.streams);
    }
}

// The percentages printed while a video encoder holds frames back (and the audio runs ahead) never go down.
TEST(CommandLine, ConvertProgressNeverGoesDown)
{
    const fs::path dir = kvr::test::scratchDirectory() / "convert-progress";
    fs::create_directories(dir);
    QProcess p;
    startConversion(p,
        { "--convert", QString::fromStdString(kvr::test::fixture("thirty-seconds.mp4").string()), "--to",
            QString::fromStdString((dir / "out.mov").string()), "--quality", "3" });
    ASSERT_TRUE(p.waitForFinished(120000 * kSlowdown));
    const QString se = QString::fromUtf8(p.readAllStandardError());
    EXPECT_EQ(p.exitCode(), 0) << se.toStdString();
    const QRegularExpression line(QStringLiteral("^convert: (\\d+)% speed"), QRegularExpression::MultilineOption);
    std::vector<int> percents;
    for (auto it = line.globalMatch(se); it.hasNext();)
        percents.push_back(it.next().captured(1).toInt());
    ASSERT_GE(percents.size(), 2u) << se.toStdString();
    for (size_t i = 1; i < percents.size(); ++i)
        EXPECT_GE(percents[i], percents[i - 1]) << se.toStdString();
    EXPECT_EQ(percents.back(), 100);
}

// Started from a terminal with files that cannot be played, the player says there why, even before (or
// without) a window that shows it.
TEST(CommandLine, StartedFilesThatFailToOpenSayWhyOnStandardError)
{
    const fs::path dir = kvr::test::scratchDirectory() / "started";
    fs::create_directories(dir / "empty");
    const QString missing = QString::fromStdString((dir / "nope.mp4").string());
    const QString empty = QString::fromStdString((dir / "empty").string());
    QProcess player;
    player.start(QStringLiteral(KVR_PLAYER_EXE), { missing, empty });
    ASSERT_TRUE(player.waitForStarted());
    const QString lines[] = {
        "MediaSessionBridge: open failed: " + missing + ": The file could not be found.\n",
        "MediaSessionBridge: open failed: " + empty + ": No media files in that folder\n",
    };
    QString err;
    const bool said = QTest::qWaitFor(
        [&] {
            err += QString::fromUtf8(player.readAllStandardError());
            return err.contains(lines[0]) && err.contains(lines[1]);
        },
        60000 * kSlowdown);
    player.terminate();
    const bool ended = player.waitForFinished(30000 * kSlowdown);
    if (!ended)
        player.kill();
    EXPECT_TRUE(ended);
    ASSERT_TRUE(said) << err.toStdString();
    err += QString::fromUtf8(player.readAllStandardError());
    EXPECT_EQ(err.count("open failed"), 2) << err.toStdString();
}
