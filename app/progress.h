#pragma once

#include <atomic>
#include <exception>
#include <functional>

// Long work off the window's thread: it reports how far it got and stops
// when asked to. Neither side waits on the other.
class Progress
{
public:
    // Thrown by the working side when the user has cancelled.
    class Cancelled : public std::exception
    {
    public:
        const char *what() const noexcept override { return "cancelled"; }
    };

    explicit Progress(std::function<void(double)> report = {}) : m_report(std::move(report)) {}

    void cancel() { m_cancelled.store(true, std::memory_order_relaxed); }
    bool cancelled() const { return m_cancelled.load(std::memory_order_relaxed); }

    // From the working thread: `done` in 0 to 1 of the current span. Throws
    // Cancelled once cancelled.
    void reach(double done) const
    {
        check();
        if (m_report)
            m_report(m_from + done * (m_to - m_from));
    }
    void check() const
    {
        if (cancelled())
            throw Cancelled();
    }
    // The part of the whole that the next reach() calls cover, for work in steps.
    void setSpan(double from, double to)
    {
        m_from = from;
        m_to = to;
    }

private:
    double m_from = 0;
    double m_to = 1;
    std::atomic<bool> m_cancelled{false};
    std::function<void(double)> m_report;
};
