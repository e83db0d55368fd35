#include "app/CommandLine.h"

#include "app/Trace.h"
#include "engine/FormatToBuffer.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr::app {
namespace {

// RFC 3986: a letter, then letters, digits, "+", "-" or ".". Keeps "./a://b" and "/x/ab://c" local paths.
bool isSchemeName(QStringView text)
{
    if (text.isEmpty() || !(text.front().isLetter() && text.front().unicode() < 0x80))
        return false;
    for (const QChar c : text) {
        const bool ok = c.unicode() < 0x80 && (c.isLetterOrNumber() || c == u'+' || c == u'-' || c == u'.');
        if (!ok)
            return false;
    }
    return true;
}

// Raised by SIGINT or SIGTERM while a conversion runs; the runner checks it between packets. The handler
// touches nothing else.
std::atomic<bool> cancelRequested { false };
volatile std::sig_atomic_t stopSignal = 0;
static_assert(std::atomic<bool>::is_always_lock_free);

void onStopSignal(int signal)
{
    if (stopSignal == 0)
        stopSignal = signal;
    cancelRequested.store(true);
}

// While it lives, Ctrl+C and SIGTERM cancel the conversion instead of ending the process with a half-written
// file. Each handler is reset to the default action as it runs, so a second Ctrl+C ends the process at once.
// A signal the process was started with ignored stays ignored (a job started in the background by a shell).
class CancelOnSignal {
public:
    CancelOnSignal()
    {
        for (int i = 0; i < 2; ++i) {
            struct sigaction current { };
            ::sigaction(signals_[i], nullptr, &current);
            if (current.sa_handler == SIG_IGN)
                continue;
            struct sigaction action { };
            action.sa_handler = &onStopSignal;
            sigemptyset(&action.sa_mask);
            action.sa_flags = SA_RESTART | SA_RESETHAND;
            installed_[i] = ::sigaction(signals_[i], &action, &previous_[i]) == 0;
        }
    }
    ~CancelOnSignal()
    {
        for (int i = 0; i < 2; ++i)
            if (installed_[i])
                ::sigaction(signals_[i], &previous_[i], nullptr);
    }
    CancelOnSignal(const CancelOnSignal&) = delete;
    CancelOnSignal& operator=(const CancelOnSignal&) = delete;

private:
    const int signals_[2] = { SIGINT, SIGTERM };
    struct sigaction previous_[2] {};
    bool installed_[2] = { false, false };
};

// Deletes what a failed or cancelled conversion left at path. Only a regular file goes: a device or a link
// there was never the conversion's own to take away.
void removePartialOutput(const std::string& path)
{
    struct stat info { };
    if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
        ::unlink(path.c_str());
}

// The first codec a container takes, for a default (h264, aac) that it refuses; empty when it takes the default.
std::string firstVideoCodec(const std::string& container)
{
    if (container == "webm")
        return "vp9";
    if (engine::isAudioOnlyContainer(container))
        return "none";
    return {};
}

std::string firstAudioCodec(const std::string& container)
{
    if (container == "webm" || container == "ogg" || container == "opus")
        return "opus";
    if (container == "mp3")
        return "mp3";
    if (container == "flac")
        return "flac";
    if (container == "wav")
        return "pcm";
    if (container == "avi")
        return "mp3";
    return {};
}

bool sameFile(const QString& a, const QString& b)
{
    struct stat sa { };
    struct stat sb { };
    if (::stat(QFile::encodeName(a).constData(), &sa) != 0 || ::stat(QFile::encodeName(b).constData(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

} // namespace

bool needsOnlyCoreApplication(int argc, const char* const* argv)
{
    static const char* const headless[] = { "--convert", "-h", "--help", "-?", "--help-all", "-v", "--version" };
    for (int i = 1; i < argc && argv[i]; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0)
            break;
        if (std::strncmp(arg, "--convert=", 10) == 0)
            return true;
        for (const char* name : headless) {
            if (std::strcmp(arg, name) == 0)
                return true;
        }
    }
    return false;
}

QStringList argumentsForParser(int argc, const char* const* argv)
{
    // Qt's own options take "-" or "--"; QGuiApplication and its platform plugins remove them before the
    // parser sees the arguments. Some are known only on X11, and "-style" only to widgets: taking out one
    // too many here only means it is refused later, as before, by the parser on the real arguments.
    static const char* const withValue[] = { "platform", "platformpluginpath", "platformtheme", "plugin",
        "qwindowgeometry", "qwindowicon", "qwindowtitle", "session", "display", "geometry", "title", "icon", "name",
        "visual", "im", "style", "stylesheet" };
    static const char* const flags[] = { "reverse", "nograb", "dograb", "sync", "testability" };
    QStringList arguments;
    for (int i = 0; i < argc && argv[i]; ++i) {
        const char* arg = argv[i];
        if (i > 0 && arg[0] == '-') {
            const char* name = arg + (arg[1] == '-' ? 2 : 1);
            if (std::strncmp(name, "qmljsdebugger=", 14) == 0)
                continue;
            bool qtOption = false;
            for (const char* flag : flags)
                qtOption = qtOption || std::strcmp(name, flag) == 0;
            if (qtOption)
                continue;
            for (const char* option : withValue)
                qtOption = qtOption || std::strcmp(name, option) == 0;
            if (qtOption) {
                ++i;
                continue;
            }
        }
        arguments.append(QString::fromLocal8Bit(arg));
    }
    return arguments;
}

void setUpParser(QCommandLineParser& parser)
{
    parser.setApplicationDescription(QStringLiteral("Kestrune Media Player"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("files"),
        QStringLiteral("Media files, folders, playlists (.m3u/.m3u8/.pls) or stream URLs to play"),
        QStringLiteral("[files...]"));
    parser.addOptions({
        { QStringLiteral("convert"), QStringLiteral("Convert a file without opening the player."),
            QStringLiteral("input") },
        { QStringLiteral("to"), QStringLiteral("Output file for --convert."), QStringLiteral("output") },
        { QStringLiteral("container"), QStringLiteral("Output container (default from the extension)."),
            QStringLiteral("name") },
        { QStringLiteral("vcodec"), QStringLiteral("Video codec: copy h264 hevc vp9 av1 mpeg4 mpeg2 none."),
            QStringLiteral("codec") },
        { QStringLiteral("acodec"), QStringLiteral("Audio codec: copy aac opus mp3 flac alac ac3 pcm none."),
            QStringLiteral("codec") },
        { QStringLiteral("quality"), QStringLiteral("0 fastest .. 3 best."), QStringLiteral("n") },
        { QStringLiteral("height"), QStringLiteral("Scale down to this height."), QStringLiteral("px") },
        { QStringLiteral("bitrate"), QStringLiteral("Video bitrate in kbit/s (bitrate mode)."),
            QStringLiteral("kbps") },
        { QStringLiteral("two-pass"), QStringLiteral("Two-pass encoding (VP9/AV1/MPEG-4).") },
        { QStringLiteral("subs"), QStringLiteral("Subtitles: none copy convert burn."), QStringLiteral("mode") },
    });
}

QString toPathOrUrl(const QString& text)
{
    const qsizetype at = text.indexOf(QLatin1String("://"));
    const bool fileUrl = text.startsWith(QLatin1String("file:"), Qt::CaseInsensitive);
    if (at >= 2 && !fileUrl && isSchemeName(QStringView(text).left(at)))
        return text;
    if (fileUrl && at >= 0) {
        // "file:///tmp/a%20b.mkv" names "/tmp/a b.mkv"; QFileInfo alone would take the address as a file name.
        QUrl url(text);
        if (url.host().compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
            url.setHost(QString());
        if (url.isValid() && url.isLocalFile() && !url.toLocalFile().isEmpty())
            return QFileInfo(url.toLocalFile()).absoluteFilePath();
    }
    return QFileInfo(text).absoluteFilePath();
}

engine::TranscodeOptions conversionRequest(const QCommandLineParser& parser)
{
    engine::TranscodeOptions options;
    const QString to = parser.value(QStringLiteral("to"));
    options.input = QFileInfo(parser.value(QStringLiteral("convert"))).absoluteFilePath().toStdString();
    options.output = to.isEmpty() ? std::string() : QFileInfo(to).absoluteFilePath().toStdString();
    if (parser.isSet(QStringLiteral("container"))) {
        options.container = parser.value(QStringLiteral("container")).toStdString();
    } else {
        QString suffix = QFileInfo(to).suffix().toLower();
        if (suffix == QLatin1String("mka"))
            suffix = QStringLiteral("mkv");
        options.container = suffix.toStdString();
    }
    // A codec not asked for takes the container's first one where it refuses the default, so "--to out.webm"
    // and "--to out.mp3" work as they stand.
    if (parser.isSet(QStringLiteral("vcodec")))
        options.videoCodec = parser.value(QStringLiteral("vcodec")).toStdString();
    else if (const std::string first = firstVideoCodec(options.container); !first.empty())
        options.videoCodec = first;
    if (parser.isSet(QStringLiteral("acodec")))
        options.audioCodec = parser.value(QStringLiteral("acodec")).toStdString();
    else if (const std::string first = firstAudioCodec(options.container); !first.empty())
        options.audioCodec = first;
    if (parser.isSet(QStringLiteral("quality")))
        options.quality = parser.value(QStringLiteral("quality")).toInt();
    if (parser.isSet(QStringLiteral("height")))
        options.maxHeight = parser.value(QStringLiteral("height")).toInt();
    if (parser.isSet(QStringLiteral("bitrate"))) {
        options.videoKbps = parser.value(QStringLiteral("bitrate")).toInt();
        options.rateMode = 1;
    }
    if (parser.isSet(QStringLiteral("two-pass")))
        options.rateMode = 2;
    const QString subs = parser.value(QStringLiteral("subs"));
    if (subs == QLatin1String("copy"))
        options.subtitles = 1;
    else if (subs == QLatin1String("convert"))
        options.subtitles = 2;
    else if (subs == QLatin1String("burn"))
        options.subtitles = 3;
    else
        options.subtitles = 0;
    return options;
}

QString conversionOutputProblem(const QString& input, const QString& output)
{
    if (output.isEmpty())
        return QStringLiteral("output: no output file given (--to)");
    const QString in = QDir::cleanPath(QFileInfo(input).absoluteFilePath());
    const QString out = QDir::cleanPath(QFileInfo(output).absoluteFilePath());
    if (in == out || sameFile(in, out))
        return QStringLiteral("output: %1 is the input file").arg(QDir::toNativeSeparators(out));
    return {};
}

void printConvertProgress(const engine::TranscodeProgress& progress)
{
    // Truncated, never rounded: 0.425 is "42%". A broken report must not become undefined behaviour.
    const double percent = progress.fraction * 100.0;
    const long long whole = std::isfinite(percent) && std::fabs(percent) < 1e15 ? static_cast<long long>(percent) : 0;
    char line[128];
    engine::formatToBuffer(line, sizeof line, "convert: %lld%% speed %f", whole, progress.speed);
    traceLine(line);
}

int runConversion(const QCommandLineParser& parser)
{
    const engine::TranscodeOptions options = conversionRequest(parser);
    QString problem
        = conversionOutputProblem(QString::fromStdString(options.input), QString::fromStdString(options.output));
    if (problem.isEmpty() && options.container.empty())
        problem = QStringLiteral("output: cannot tell the container from the name %1 (add an extension or --container)")
                      .arg(QFileInfo(QString::fromStdString(options.output)).fileName());
    engine::TranscodeResult result;
    if (!problem.isEmpty()) {
        result.message = problem.toStdString();
    } else {
        const engine::TranscodeProgressCallback progress = &printConvertProgress;
        const CancelOnSignal cancelOnSignal;
        result = engine::Transcoder::transcode(options, &progress, &cancelRequested);
        if (!result.ok && result.outputOpened)
            removePartialOutput(options.output); // a file this run created or truncated, never the user's own
    }
    if (result.ok) {
        traceLine("convert: done");
        return 0;
    }
    traceLine(("convert: FAILED " + result.message).c_str());
    if (const int signal = stopSignal; signal != 0) {
        // Ended the way the signal ends a process, so the shell sees 130 or 143 as from any program.
        ::signal(signal, SIG_DFL);
        ::raise(signal);
        return 128 + signal;
    }
    return 2;
}

} // namespace kvr::app
