#pragma once

#include <string>
#include <vector>

// The sound system's devices and streams, through RtAudio: PulseAudio where a
// server runs (each sink and source is a device), else ALSA, else JACK. Plain
// data and a small API; no toolkit.
namespace audiodevice {

struct Device
{
    int index = 0;    // as the API numbers it
    std::string name; // e.g. "Built-in Audio Analog Stereo", "Monitor of Null Output"
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
    // By its index or, failing that, by its name or the start of it (case matters).
    const Device *find(const std::string &indexOrName) const;
};

// A device's name for a message or a terminal: in double quotes, with control
// characters, quotes and backslashes escaped (\x1b, \", \\).
std::string quoted(const std::string &name);

// Asks the sound system; takes a few milliseconds where a server runs, and
// throws NoAnswer (askserver.h) where it does not answer within 5 s.
DeviceList listDevices();

} // namespace audiodevice
