#pragma once

#include "engine/convert/Transcoder.h"

#include <QString>
#include <QStringList>

class QCommandLineParser;

namespace kvr::app {

inline constexpr const char* kApplicationVersion = "1.0.2";

// True when the arguments ask for something that needs no display (help, version, conversion), so the process
// builds a QCoreApplication: a QGuiApplication aborts without a display.
bool needsOnlyCoreApplication(int argc, const char* const* argv);

// The arguments as the parser sees them once the application object has taken its own out ("-platform xcb",
// "-reverse", …), for a parse before any GUI object exists: a wrong option is refused without a display.
QStringList argumentsForParser(int argc, const char* const* argv);

// Description, help and version options, the "files" positional argument and the player's ten options.
void setUpParser(QCommandLineParser& parser);

// A positional argument as a playlist entry: a network address ("scheme://…", scheme of two characters or more)
// stays as typed; "file:" addresses become local paths; everything else becomes an absolute path.
QString toPathOrUrl(const QString& text);

// The conversion request of a parsed --convert command line.
engine::TranscodeOptions conversionRequest(const QCommandLineParser& parser);

// Why the output may not be written, as "output: …", or empty when it may: writing the input file (by name,
// link or a second name of the same file) would destroy it while it is being read.
QString conversionOutputProblem(const QString& input, const QString& output);

// Progress callback of the headless conversion: one trace line "convert: 42% speed 1.500000".
void printConvertProgress(const engine::TranscodeProgress& progress);

// The headless conversion: runs it, writes "convert: done" or "convert: FAILED <message>" and returns the exit
// code, 0 on success and 2 on failure.
int runConversion(const QCommandLineParser& parser);

} // namespace kvr::app
