#pragma once

#include <atomic>

namespace sound {

// Hands the newest value from one thread to another without a lock or an
// allocation: a triple buffer. The writer never waits for the reader and the
// reader never sees a value half written; values written in between are
// skipped. One writer thread and one reader thread.
template <typename T> class LatestValue
{
public:
    // The writer's side.
    void publish(const T &value)
    {
        m_slots[m_back] = value;
        m_back = m_middle.exchange(m_back | kFresh, std::memory_order_acq_rel) & kSlot;
    }

    // The reader's side: true, with the value, when one came since the last take.
    bool take(T &value)
    {
        if (!(m_middle.load(std::memory_order_acquire) & kFresh))
            return false;
        m_front = m_middle.exchange(m_front, std::memory_order_acq_rel) & kSlot;
        value = m_slots[m_front];
        return true;
    }

private:
    static constexpr int kSlot = 3;
    static constexpr int kFresh = 4;

    T m_slots[3]{};
    int m_back = 0;  // the writer's
    int m_front = 1; // the reader's
    std::atomic<int> m_middle{2};
};

} // namespace sound
