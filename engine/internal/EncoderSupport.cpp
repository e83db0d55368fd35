#include "engine/internal/EncoderSupport.h"

extern "C" {
#include <libavutil/dict.h>
}

#include <cstring>

namespace kvr::engine::internal {

EncoderConfig supportedConfig(const AVCodec* encoder)
{
    EncoderConfig config;
    if (!encoder)
        return config;
    if (encoder->pix_fmts)
        for (const AVPixelFormat* f = encoder->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
            config.pixelFormats.push_back(*f);
    if (encoder->sample_fmts)
        for (const AVSampleFormat* f = encoder->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
            config.sampleFormats.push_back(*f);
    if (encoder->supported_samplerates)
        for (const int* r = encoder->supported_samplerates; *r != 0; ++r)
            config.sampleRates.push_back(*r);
    if (encoder->ch_layouts)
        for (const AVChannelLayout* l = encoder->ch_layouts; l->nb_channels != 0; ++l)
            config.channelLayouts.push_back(*l);
    return config;
}

void addEncoderOpenOptions(const AVCodec* encoder, AVDictionary** options)
{
    if (encoder && std::strcmp(encoder->name, "libx265") == 0)
        av_dict_set(options, "x265-params", "log-level=error", 0);
}

bool isVaapiEncoderName(const std::string& name)
{
    return name.size() > 6 && name.compare(name.size() - 6, 6, "_vaapi") == 0;
}

bool isVaapiEncoder(const AVCodec* encoder)
{
    return encoder && isVaapiEncoderName(encoder->name);
}

} // namespace kvr::engine::internal
