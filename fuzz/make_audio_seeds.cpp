// Writes the audio fuzzer's seed corpus: short tones in the containers and
// sample formats a user may hand the analyser.
//   make_audio_seeds FOLDER

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

bool write(const std::string &path, int format, int channels, int rate, double frequency, int frames)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        std::fprintf(stderr, "make_audio_seeds: %s: %s\n", path.c_str(), sf_strerror(nullptr));
        return false;
    }
    std::vector<double> samples(static_cast<std::size_t>(frames) * channels);
    for (int i = 0; i < frames; ++i) {
        const double angle = 2 * M_PI * frequency * i / rate;
        for (int c = 0; c < channels; ++c)
            samples[static_cast<std::size_t>(i) * channels + c] =
                0.5 * std::sin((c + 1) * angle) + 0.05 * std::sin(3 * angle + c);
    }
    sf_writef_double(file, samples.data(), frames);
    return sf_close(file) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_audio_seeds FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    struct Seed
    {
        const char *name;
        int format, channels, rate;
        double frequency;
        int frames;
    };
    const Seed seeds[] = {
        {"pcm16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, 440, 800},
        {"pcm24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, 48000, 1000, 2400},
        {"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 44100, 250, 1500},
        {"pcm8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, 11025, 300, 1100},
        {"tone.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, 16000, 500, 1600},
        {"stereo.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 2, 22050, 700, 1000},
        {"tone.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1, 8000, 200, 800},
        {"tone.au", SF_FORMAT_AU | SF_FORMAT_PCM_16, 1, 8000, 1200, 400},
    };
    bool ok = true;
    for (const Seed &seed : seeds)
        ok = write(folder + "/" + seed.name, seed.format, seed.channels, seed.rate, seed.frequency,
                   seed.frames) &&
             ok;
    return ok ? 0 : 1;
}
