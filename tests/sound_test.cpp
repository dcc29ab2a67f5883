#include "analysis/analyser.h"
#include "audiodevice/devices.h"
#include "sound/latestvalue.h"
#include "sound/tonegenerator.h"

#include <cmath>
#include <random>
#include <thread>

#include <gtest/gtest.h>

namespace {

constexpr double kRate = 48000;

tone::Tone startUpTone()
{
    return tone::Tone(); // 200 Hz, levels 1, 5, 1, 2, 1, 1, phases 0, 20, 0, 165, 0, 0
}

std::vector<float> renderInOnePiece(sound::ToneGenerator &generator, std::size_t count)
{
    std::vector<float> out(count);
    EXPECT_EQ(generator.render(out.data(), count), count);
    return out;
}

double largestStep(const std::vector<float> &samples, std::size_t from, std::size_t to)
{
    double largest = 0;
    for (std::size_t i = from + 1; i < to; ++i)
        largest = std::max(largest, std::fabs(double(samples[i]) - samples[i - 1]));
    return largest;
}

TEST(ToneGenerator, BuffersOfAnySizeMakeTheSameToneAsOnePiece)
{
    const std::size_t count = static_cast<std::size_t>(10 * kRate);
    sound::ToneGenerator whole(kRate, sound::settingsFor(startUpTone()));
    const std::vector<float> reference = renderInOnePiece(whole, count);

    sound::ToneGenerator pieces(kRate, sound::settingsFor(startUpTone()));
    std::vector<float> joined(count);
    std::mt19937 random(11);
    std::uniform_int_distribution<std::size_t> size(1, 5000);
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min(size(random), count - done);
        ASSERT_EQ(pieces.render(joined.data() + done, n), n);
        done += n;
    }
    for (std::size_t i = 0; i < count; ++i)
        ASSERT_NEAR(joined[i], reference[i], 1e-6) << i;
    // The fade at the start: silence first, the full tone after 10 ms.
    EXPECT_EQ(reference[0], 0.0f);
    EXPECT_LT(std::fabs(reference[10]), 1e-4);
    EXPECT_NEAR(*std::max_element(reference.begin() + 480, reference.end()), std::pow(10.0, -12.0 / 20),
                1e-4);
}

TEST(ToneGenerator, AControlChangeCrossFadesWithoutAClick)
{
    // The change comes where neither tone is near a zero crossing.
    constexpr std::size_t kChange = 9650, kAfter = 9600, kFade = 720; // 15 ms
    sound::ToneGenerator generator(kRate, sound::settingsFor(startUpTone()));
    std::vector<float> all = renderInOnePiece(generator, kChange);
    tone::Tone changed = startUpTone();
    changed.frequencyHz = 730; // a new frequency and phases: the waveform jumps unless faded
    changed.levels = {20, 0, 20, 0, 20, 0};
    changed.phases = {180, 0, 90, 0, 270, 0};
    generator.setSettings(sound::settingsFor(changed));
    const std::vector<float> after = renderInOnePiece(generator, kAfter);
    all.insert(all.end(), after.begin(), after.end());

    // The steepest step of either tone alone, then around the change.
    const double own =
        std::max(largestStep(all, 4800, kChange), largestStep(all, kChange + kFade, all.size()));
    EXPECT_LE(largestStep(all, kChange - 10, kChange + kFade), own * 1.05);
    // The new tone alone, from the end of the cross-fade on.
    sound::ToneGenerator fresh(kRate, sound::settingsFor(changed));
    const std::vector<float> alone = renderInOnePiece(fresh, kChange + kAfter);
    for (std::size_t i = kFade; i < kAfter; ++i)
        ASSERT_NEAR(after[i], alone[kChange + i], 1e-6) << i;
}

TEST(ToneGenerator, PlaysTheControlsFrequencyAndLevelsAndFadesAtTheStop)
{
    tone::Tone tone = startUpTone();
    tone.frequencyHz = 440;
    tone.levels = {3, 0, 12, 1, 0, 7};
    sound::ToneGenerator generator(kRate, sound::settingsFor(tone));
    std::vector<float> samples = renderInOnePiece(generator, static_cast<std::size_t>(2 * kRate));
    samples.erase(samples.begin(), samples.begin() + 4800); // past the fade
    const analysis::Analysis heard = analysis::analyse(samples, kRate, {});
    EXPECT_NEAR(heard.fundamentalHz, 440, 1e-3);
    for (int n = 2; n <= 7; ++n)
        EXPECT_NEAR(heard.levelPercent(n), tone.levels[n - 2], 0.01) << n;

    generator.requestStop();
    std::vector<float> tail(4800, 1.0f);
    const std::size_t wrote = generator.render(tail.data(), tail.size());
    EXPECT_EQ(wrote, 480u); // 10 ms of fade, then nothing
    EXPECT_TRUE(generator.finished());
    EXPECT_LT(std::fabs(tail[wrote - 1]), 1e-4);
    EXPECT_EQ(generator.render(tail.data(), tail.size()), 0u);
}

TEST(LatestValue, HandsOverWholeValuesAcrossThreadsWithoutALock)
{
    struct Pair
    {
        long a = 0, b = 0;
    };
    sound::LatestValue<Pair> latest;
    constexpr long kCount = 200000;
    std::thread writer([&] {
        for (long i = 1; i <= kCount; ++i)
            latest.publish({i, -i});
    });
    long last = 0;
    Pair seen;
    while (last < kCount) {
        if (latest.take(seen)) {
            ASSERT_EQ(seen.a, -seen.b); // never half written
            ASSERT_GT(seen.a, last);    // never older than the last one
            last = seen.a;
        }
    }
    writer.join();
    EXPECT_FALSE(latest.take(seen));
}

} // namespace

// Devices are chosen by index, by the server's name, by the listed name or
// its start, or as the default; what is missing is said in words.
TEST(Devices, AreChosenByIndexIdOrNameAndWhatIsMissingIsSaid)
{
    const auto device = [](int index, const char *id, const char *name, int out, int in) {
        audiodevice::Device made;
        made.index = index;
        made.id = id;
        made.name = name;
        made.outputChannels = out;
        made.inputChannels = in;
        made.rates = {44100, 48000};
        made.preferredRate = 44100;
        return made;
    };
    audiodevice::DeviceList list;
    list.api = "pulse";
    list.devices = {device(0, "cardA", "USB-Audio-Codec", 2, 0), device(1, "cardB", "USB-Audio-Codec (2)", 2, 0),
                    device(2, "cardB.monitor", "Monitor of USB-Audio-Codec (2)", 0, 2),
                    device(3, "mic", "Microphone", 0, 1)};
    list.devices[1].defaultOutput = true;
    list.devices[1].monitor = "cardB.monitor";
    list.devices[3].defaultInput = true;

    EXPECT_EQ(audiodevice::choose(list, "", true).id, "cardB");
    EXPECT_EQ(audiodevice::choose(list, "", false).id, "mic");
    EXPECT_EQ(audiodevice::choose(list, "cardA", true).id, "cardA");
    EXPECT_EQ(audiodevice::choose(list, "1", true).id, "cardB");
    EXPECT_EQ(audiodevice::choose(list, "USB-Audio-Codec", true).id, "cardA");
    EXPECT_EQ(audiodevice::choose(list, "USB-Audio-Codec (2)", true).id, "cardB");
    EXPECT_EQ(audiodevice::choose(list, "Micro", false).id, "mic");
    EXPECT_EQ(list.monitorOf(list.devices[1]), &list.devices[2]);
    EXPECT_EQ(list.monitorOf(list.devices[0]), nullptr);

    const auto refused = [&](const std::string &wanted, bool output) {
        try {
            audiodevice::choose(list, wanted, output);
        } catch (const audiodevice::DeviceError &error) {
            return std::string(error.what());
        }
        return std::string("chosen");
    };
    EXPECT_EQ(refused("mic", true), "\"Microphone\" has no output");
    EXPECT_EQ(refused("card\x1b", true), "there is no audio device \"card\\x1b\"");
    EXPECT_EQ(refused("9", false), "there is no audio device \"9\"");
    EXPECT_EQ(refused("", true), "chosen");
    EXPECT_EQ(refused("", true), refused("cardB", true));
    list.devices.clear();
    EXPECT_EQ(refused("", true), "there is no default audio output");
    list.api.clear();
    EXPECT_EQ(refused("", false), "no sound system answers: there is no audio device");

    const audiodevice::Device both = device(0, "a", "a", 2, 2), fixed = [&] {
        audiodevice::Device only = device(1, "b", "b", 2, 2);
        only.rates = {96000};
        only.preferredRate = 96000;
        return only;
    }();
    EXPECT_EQ(audiodevice::chooseRate(both, both, 48000), 48000);
    EXPECT_EQ(audiodevice::chooseRate(fixed, both, 48000), 96000);
    EXPECT_EQ(audiodevice::chooseRate(both, fixed, 48000), 44100);
}
