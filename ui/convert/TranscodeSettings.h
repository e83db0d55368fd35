#pragma once

#include "engine/convert/Transcoder.h"

#include <QString>
#include <QVariantMap>

namespace kvr::ui {

// The output pattern a queue starts with, and what a blank pattern turns into.
inline constexpr const char* kDefaultFilenamePattern = "{name}_converted.{ext}";

// The engine's request for one job: the paths and what the conversion dialog put in the settings map, each key
// with its default and bounds.
engine::TranscodeOptions toTranscodeOptions(const QString& input, const QString& output, const QVariantMap& settings);

// The file extension of a container: its own name ("mkv", "ts", "mp4").
QString extensionForContainer(const QString& container);

// "fastest", "fast", "balanced" or "best" for a quality held to 0 .. 3.
QString qualityWord(int quality);

// A "file:" URL as its local file; any other text unchanged.
QString localPathOf(const QString& text);

} // namespace kvr::ui
