#include "engine/internal/FfmpegSupport.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <cerrno>
#include <sys/resource.h>
#include <unistd.h>

namespace kvr::engine::internal {

const uint8_t* streamDisplayMatrix(const AVStream* stream, size_t& size)
{
#if LIBAVFORMAT_VERSION_MAJOR >= 61
    const AVPacketSideData* sd = av_packet_side_data_get(
        stream->codecpar->coded_side_data, stream->codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
    size = sd ? sd->size : 0;
    return sd ? sd->data : nullptr;
#else
    size = 0;
    return av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
#endif
}

std::string ffmpegErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

int linkFilterGraph(AVFilterGraph* graph, const std::string& description, AVFilterContext* source,
    AVFilterContext* sink)
{
    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    int r = AVERROR(ENOMEM);
    if (outputs && inputs) {
        outputs->name = av_strdup("in");
        outputs->filter_ctx = source;
        outputs->pad_idx = 0;
        outputs->next = nullptr;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = sink;
        inputs->pad_idx = 0;
        inputs->next = nullptr;
        r = avfilter_graph_parse_ptr(graph, description.c_str(), &inputs, &outputs, nullptr);
    }
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (r >= 0)
        r = avfilter_graph_config(graph, nullptr);
    return r;
}

void lowerThreadPriority()
{
    const id_t tid = static_cast<id_t>(::gettid());
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, tid);
    if (errno == 0 && current < 10)
        ::setpriority(PRIO_PROCESS, tid, 10);
}

} // namespace kvr::engine::internal
