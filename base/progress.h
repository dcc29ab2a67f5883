#pragma once

#include <QFuture>
#include <QPromise>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>
#include <functional>

// Long work off the window's thread, over the toolkit's promise and future:
// the work reports how far it got and stops when the future is cancelled; the
// window follows both through a future watcher. Neither side waits on the other.
class Progress
{
public:
    // The promise's progress runs from 0 to this.
    static constexpr int kSteps = 1000;

    // Thrown by the working side when the user has cancelled.
    class Cancelled : public std::exception
    {
    public:
        const char *what() const noexcept override { return "cancelled"; }
    };

    // Reports nothing and is never cancelled.
    Progress() = default;
    // Reports to `promise` and is cancelled with its future.
    template <typename T>
    explicit Progress(QPromise<T> &promise)
        : m_cancelled([&promise] { return promise.isCanceled(); }),
          m_report([&promise](double done) { promise.setProgressValue(static_cast<int>(done * kSteps)); })
    {
        promise.setProgressRange(0, kSteps);
    }

    bool cancelled() const { return m_cancelled && m_cancelled(); }

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
    std::function<bool()> m_cancelled;
    std::function<void(double)> m_report;
};

// Runs work(progress) on the thread pool. The future's progress runs from 0 to
// Progress::kSteps; cancelling it stops the work at its next check, and a
// cancelled future holds no result.
template <typename T, typename Work> QFuture<T> runWithProgress(Work work)
{
    return QtConcurrent::run([work = std::move(work)](QPromise<T> &promise) {
        Progress progress(promise);
        try {
            promise.addResult(work(progress));
        } catch (const Progress::Cancelled &) {
        }
    });
}
