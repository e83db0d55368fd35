#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct AVFilterContext;
struct AVFilterGraph;
struct AVStream;

namespace kvr::engine::internal {

// FFmpeg's text for an error code (av_strerror).
std::string ffmpegErrorText(int code);

// Parses `description` between an already created source ("in") and sink ("out") of `graph`, then configures
// the graph. Returns FFmpeg's result code (< 0 on failure).
int linkFilterGraph(AVFilterGraph* graph, const std::string& description, AVFilterContext* source,
    AVFilterContext* sink);

// A stream's display matrix and its size in bytes; null when it has none.
const uint8_t* streamDisplayMatrix(const AVStream* stream, size_t& size);

// "Below normal" for the calling thread only: nice 10 (Linux applies setpriority to a thread id).
void lowerThreadPriority();

} // namespace kvr::engine::internal
