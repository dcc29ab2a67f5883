#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace measure {

// The input as it arrives, kept for the last `capacity` frames: the device's
// thread writes, one other thread reads any stretch still held. Writing takes
// no lock and allocates nothing; a reader never holds the writer, and finds
// out when what it copied was overwritten meanwhile.
class InputRing
{
public:
    explicit InputRing(std::size_t capacity) : m_samples(std::max<std::size_t>(1, capacity)) {}

    std::size_t capacity() const { return m_samples.size(); }
    // Frames written since the start: the input's own clock.
    int64_t written() const { return m_written.load(std::memory_order_acquire); }

    // From the device's thread: channel `channel` of `frames` interleaved frames.
    void write(const float *interleaved, std::size_t frames, int channels, int channel) noexcept
    {
        int64_t at = m_written.load(std::memory_order_relaxed);
        const std::size_t size = m_samples.size();
        // Said before a sample of the block is written: a reader that copied
        // one of them then sees that the block was under way.
        m_writing.store(at + int64_t(frames), std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        for (std::size_t i = 0; i < frames; ++i, ++at)
            m_samples[std::size_t(at) % size] = interleaved[i * std::size_t(channels) + std::size_t(channel)];
        m_written.store(at, std::memory_order_release);
    }

    // Frames `from` to `to` (from the start, `to` at most written()); false
    // when some of them are no longer held.
    bool read(int64_t from, int64_t to, std::vector<float> &out) const
    {
        const int64_t size = int64_t(m_samples.size());
        if (from < 0 || to < from || to > written() || written() - from > size)
            return false;
        out.resize(std::size_t(to - from));
        for (int64_t at = from; at < to; ++at)
            out[std::size_t(at - from)] = m_samples[std::size_t(at % size)];
        // The writer may have lapped the start while we copied, its block
        // still under way: what it has begun to write counts.
        std::atomic_thread_fence(std::memory_order_acquire);
        return m_writing.load(std::memory_order_relaxed) - from <= size;
    }

private:
    std::vector<float> m_samples;
    std::atomic<int64_t> m_written{0};
    std::atomic<int64_t> m_writing{0}; // the end of the block being written, or of the last one
};

} // namespace measure
