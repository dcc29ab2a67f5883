#include "audiodevice/devices.h"

#include "audiodevice/askserver.h"
#include "audiodevice/pulse.h"
#include "audiodevice/rtaudioapi.h"

#include <RtAudio.h>
#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace audiodevice {

namespace {

void silent(const char *, int, const char *, int, const char *, ...) {}

} // namespace

std::string quoted(const std::string &name)
{
    std::string out = "\"";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + '"';
}

void quietSoundLibraries()
{
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&silent); });
}

const Device *DeviceList::defaultOutput() const
{
    for (const Device &device : devices)
        if (device.defaultOutput)
            return &device;
    for (const Device &device : devices)
        if (device.outputChannels > 0)
            return &device;
    return nullptr;
}

const Device *DeviceList::defaultInput() const
{
    for (const Device &device : devices)
        if (device.defaultInput)
            return &device;
    for (const Device &device : devices)
        if (device.inputChannels > 0)
            return &device;
    return nullptr;
}

const Device *DeviceList::find(const std::string &indexOrName) const
{
    if (!indexOrName.empty() && indexOrName.find_first_not_of("0123456789") == std::string::npos) {
        for (const Device &device : devices)
            if (std::to_string(device.index) == indexOrName)
                return &device;
        return nullptr;
    }
    for (const Device &device : devices)
        if (!device.id.empty() && device.id == indexOrName)
            return &device;
    for (const Device &device : devices)
        if (device.name == indexOrName)
            return &device;
    for (const Device &device : devices)
        if (!indexOrName.empty() && device.name.compare(0, indexOrName.size(), indexOrName) == 0)
            return &device;
    return nullptr;
}

const Device *DeviceList::monitorOf(const Device &output) const
{
    for (const Device &device : devices)
        if (!output.monitor.empty() && device.id == output.monitor && device.inputChannels > 0)
            return &device;
    return nullptr;
}

const Device &choose(const DeviceList &devices, const std::string &wanted, bool output)
{
    const char *kind = output ? "output" : "input";
    const Device *device =
        wanted.empty() ? (output ? devices.defaultOutput() : devices.defaultInput()) : devices.find(wanted);
    if (!device) {
        if (devices.api.empty())
            throw DeviceError("no sound system answers: there is no audio device");
        throw DeviceError(wanted.empty() ? std::string("there is no default audio ") + kind
                                         : "there is no audio device " + quoted(wanted));
    }
    if ((output ? device->outputChannels : device->inputChannels) < 1)
        throw DeviceError(quoted(device->name) + " has no " + kind);
    return *device;
}

int chooseRate(const Device &output, const Device &input, int wanted)
{
    const auto takes = [wanted](const Device &device) {
        return device.rates.empty() || std::find(device.rates.begin(), device.rates.end(), wanted) != device.rates.end();
    };
    return takes(output) && takes(input) ? wanted : output.preferredRate;
}

namespace {

DeviceList listNow()
{
    // One listing at a time: RtAudio's back ends keep what they found in
    // shared state, and two at once give each other's (or a stale) answer.
    static std::mutex listing;
    const std::lock_guard<std::mutex> lock(listing);
    if (std::optional<DeviceList> served = pulse::listDevices())
        return *served;
    DeviceList list;
    for (const RtAudio::Api api : preferredApis()) {
        if (api == RtAudio::LINUX_PULSE)
            continue; // no server answered above
        try {
            RtAudio audio(api);
            audio.showWarnings(false);
            const unsigned count = audio.getDeviceCount();
            if (count == 0)
                continue;
            list.api = RtAudio::getApiName(api);
            const unsigned defaultOutput = audio.getDefaultOutputDevice();
            const unsigned defaultInput = audio.getDefaultInputDevice();
            for (unsigned i = 0; i < count; ++i) {
                const RtAudio::DeviceInfo info = audio.getDeviceInfo(i);
                if (!info.probed)
                    continue;
                Device device;
                device.index = static_cast<int>(i);
                device.name = info.name;
                device.outputChannels = static_cast<int>(info.outputChannels);
                device.inputChannels = static_cast<int>(info.inputChannels);
                for (const unsigned rate : info.sampleRates)
                    device.rates.push_back(static_cast<int>(rate));
                device.preferredRate = static_cast<int>(info.preferredSampleRate);
                device.defaultOutput = i == defaultOutput && info.outputChannels > 0;
                device.defaultInput = i == defaultInput && info.inputChannels > 0;
                list.devices.push_back(device);
            }
            return list;
        } catch (const RtAudioError &) {
            continue; // this API has no working back end here: try the next
        }
    }
    return list;
}

} // namespace

DeviceList listDevices()
{
    quietSoundLibraries();
    return askServer<DeviceList>(&listNow, [](DeviceList) {});
}

} // namespace audiodevice
