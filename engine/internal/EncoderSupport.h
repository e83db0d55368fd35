#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <string>
#include <vector>

namespace kvr::engine::internal {

// What an encoder says it accepts; an empty list means it gives none. The lists are read from the AVCodec
// fields, since this FFmpeg has no avcodec_get_supported_config. Channel layouts are the codec's own
// (shallow copies, nothing to free).
struct EncoderConfig {
    std::vector<AVPixelFormat> pixelFormats;
    std::vector<AVSampleFormat> sampleFormats;
    std::vector<int> sampleRates;
    std::vector<AVChannelLayout> channelLayouts;
};

EncoderConfig supportedConfig(const AVCodec* encoder);

// Options every open of this encoder needs: libx265 writes its own log lines straight to standard error
// unless told otherwise.
void addEncoderOpenOptions(const AVCodec* encoder, AVDictionary** options);

// A VA-API encoder: it takes hardware frames only, uploaded through a device of its own.
bool isVaapiEncoder(const AVCodec* encoder);
bool isVaapiEncoderName(const std::string& name);

} // namespace kvr::engine::internal
