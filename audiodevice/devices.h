#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// The sound system's devices and streams: PulseAudio's sinks and sources
// through its own client library where a server runs, else ALSA's or JACK's
// devices through RtAudio. Plain data and a small API; no toolkit.
namespace audiodevice {

struct Device
{
    int index = 0; // as the listing numbers it
    // What a user reads: the description, e.g. "Built-in Audio Analog Stereo",
    // with " (2)", " (3)" after the second and later of the same description.
    std::string name;
    // The server's own name ("alsa_output.usb-...", "cardB.monitor"); empty
    // where the sound system has no names of its own.
    std::string id;
    std::string monitor; // an output's: the id of the input that hears it
    int outputChannels = 0;
    int inputChannels = 0;
    std::vector<int> rates; // the rates it takes, in Hz
    int preferredRate = 0;
    bool defaultOutput = false;
    bool defaultInput = false;
};

struct DeviceList
{
    std::string api; // "pulse", "alsa", "jack"; empty when no sound system answers
    std::vector<Device> devices;

    const Device *defaultOutput() const;
    const Device *defaultInput() const;
    // By its index or, failing that, by its id, its name, or the start of its
    // name (case matters).
    const Device *find(const std::string &indexOrName) const;
    // The input that hears `output`, where there is one.
    const Device *monitorOf(const Device &output) const;
};

// A device that is not there, or not of the kind asked for: what is missing.
class DeviceError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The output (or input) asked for by index, id or name, the default where
// `wanted` is empty. Throws DeviceError.
const Device &choose(const DeviceList &devices, const std::string &wanted, bool output);
// `wanted` where both devices take it, else the output's own rate.
int chooseRate(const Device &output, const Device &input, int wanted);

// A device's name for a message or a terminal: in double quotes, with control
// characters, quotes and backslashes escaped (\x1b, \", \\).
std::string quoted(const std::string &name);

// Asks the sound system; takes a few milliseconds where a server runs, and
// throws NoAnswer (askserver.h) where it does not answer within 5 s.
DeviceList listDevices();

} // namespace audiodevice
