#pragma once

// A device for the measurement's tests, the window's and the benchmarks: it
// hears what it played, one sample at a time, after a delay, paced in real
// time on a thread of its own.

#include "audiodevice/stream.h"
#include "measure/session.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class SimulatedDevice : public measure::DeviceStandIn, public std::enable_shared_from_this<SimulatedDevice>
{
public:
    // On the device's thread: what the input hears of a sample played.
    virtual float answer(float played) noexcept = 0;
    virtual int64_t loopFrames() const { return 2400; }
    // Set to make the device fail as a lost sound server does.
    std::atomic<bool> lost{false};
    // Set to report, before the next block, that the sound system fell behind.
    std::atomic<bool> droppedOut{false};
    // Set to stop the device's clock: nothing goes out or comes in until it is cleared.
    std::atomic<bool> stalled{false};

    std::unique_ptr<Running> start(audiodevice::Processor &processor, int rate) override
    {
        return std::make_unique<Stream>(shared_from_this(), processor, rate);
    }

private:
    // A block every block's time, the input answering the output after the device's delay.
    class Stream : public Running
    {
    public:
        Stream(std::shared_ptr<SimulatedDevice> device, audiodevice::Processor &processor, int rate)
            : m_device(std::move(device)), m_processor(processor), m_rate(rate),
              m_delay(std::size_t(std::max<int64_t>(1, m_device->loopFrames())), 0.0f),
              m_thread([this] { run(); })
        {
        }
        ~Stream() override
        {
            m_stop = true;
            m_thread.join();
        }
        std::string failure() const override
        {
            return m_failed ? "the simulated device was lost" : std::string();
        }

    private:
        static constexpr std::size_t kBlock = 1024;

        void run()
        {
            std::vector<float> in(kBlock), out(kBlock);
            auto next = std::chrono::steady_clock::now();
            while (!m_stop) {
                if (m_device->lost) {
                    m_failed = true;
                    return;
                }
                next += std::chrono::microseconds(kBlock * 1000000 / std::size_t(m_rate));
                if (m_device->stalled) {
                    std::this_thread::sleep_until(next);
                    continue;
                }
                if (m_device->droppedOut.exchange(false))
                    m_processor.dropout();
                m_processor.process(in.data(), out.data(), kBlock);
                for (std::size_t i = 0; i < kBlock; ++i) {
                    in[i] = m_delay[m_at];
                    m_delay[m_at] = m_device->answer(out[i]);
                    m_at = (m_at + 1) % m_delay.size();
                }
                std::this_thread::sleep_until(next);
            }
        }

        std::shared_ptr<SimulatedDevice> m_device;
        audiodevice::Processor &m_processor;
        int m_rate;
        std::vector<float> m_delay;
        std::size_t m_at = 0;
        std::atomic<bool> m_stop{false}, m_failed{false};
        std::thread m_thread;
    };
};
