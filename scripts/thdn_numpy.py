#!/usr/bin/python3
"""THD+N of a mono WAV file the usual numpy way, to time quenlari-cli analyze against.

Blackman-Harris window, one rfft, a notch around the fundamental's peak (and
DC), irfft, and the RMS of what is left over the RMS of all.

    scripts/thdn_numpy.py tone.wav
"""
import sys
import wave

import numpy as np


def read_wav(name):
    with wave.open(name, "rb") as f:
        width, rate, count = f.getsampwidth(), f.getframerate(), f.getnframes()
        raw = np.frombuffer(f.readframes(count), dtype=np.uint8)
        channels = f.getnchannels()
    if width == 3:
        bytes3 = raw.reshape(-1, 3).astype(np.int32)
        ints = bytes3[:, 0] | (bytes3[:, 1] << 8) | (bytes3[:, 2] << 16)
        ints = np.where(ints >= 1 << 23, ints - (1 << 24), ints)
        samples = ints / float(1 << 23)
    elif width == 2:
        samples = raw.view("<i2") / 32768.0
    else:
        sys.exit(f"{name}: {8 * width}-bit samples are not handled here")
    return samples[::channels], rate


def blackman_harris(n):
    x = 2 * np.pi * np.arange(n) / (n - 1)
    return 0.35875 - 0.48829 * np.cos(x) + 0.14128 * np.cos(2 * x) - 0.01168 * np.cos(3 * x)


def main():
    samples, rate = read_wav(sys.argv[1])
    windowed = samples * blackman_harris(len(samples))
    spectrum = np.fft.rfft(windowed)
    magnitude = np.abs(spectrum)
    lowest = int(np.ceil(10 * len(samples) / rate))
    peak = lowest + int(np.argmax(magnitude[lowest:]))
    notched = spectrum.copy()
    width = 8  # the window's main lobe is 4 bins either side
    notched[max(0, peak - width):peak + width + 1] = 0
    notched[:width] = 0
    remainder = np.fft.irfft(notched, len(samples))
    thdn = np.sqrt(np.mean(remainder ** 2) / np.mean(windowed ** 2))
    print(f"fundamental {peak * rate / len(samples):.3f} Hz, THD+N {100 * thdn:.4f} % ({20 * np.log10(thdn):.2f} dB)")


if __name__ == "__main__":
    main()
