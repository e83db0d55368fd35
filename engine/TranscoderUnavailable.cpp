// Stand-in until the conversion engine is built: every request fails, so callers and their failure paths can
// already be exercised.
#include "engine/Transcoder.h"

namespace kvr::engine {

TranscodeResult Transcoder::transcode(
    const TranscodeOptions&, const TranscodeProgressCallback*, const std::atomic<bool>*)
{
    TranscodeResult result;
    result.ok = false;
    result.message = "transcoder: not available";
    return result;
}

} // namespace kvr::engine
