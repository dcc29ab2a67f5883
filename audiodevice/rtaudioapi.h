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

// Keeps what the sound libraries would print (ALSA's "ALSA lib ..." lines
// where no server runs) off standard error: the program says what went wrong
// in its own words. Once, before the first use of the sound system.
void quietSoundLibraries();

} // namespace audiodevice
