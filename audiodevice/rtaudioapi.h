#pragma once

#include <RtAudio.h>

#include <string>
#include <vector>

namespace audiodevice {

// PulseAudio first (what a desktop runs, PipeWire's included), then ALSA's
// hardware, then JACK: each that this RtAudio was built with.
inline std::vector<RtAudio::Api> preferredApis()
{
    std::vector<RtAudio::Api> compiled;
    RtAudio::getCompiledApi(compiled);
    std::vector<RtAudio::Api> apis;
    for (const RtAudio::Api api : {RtAudio::LINUX_PULSE, RtAudio::LINUX_ALSA, RtAudio::UNIX_JACK})
        for (const RtAudio::Api have : compiled)
            if (have == api)
                apis.push_back(api);
    return apis;
}

} // namespace audiodevice
