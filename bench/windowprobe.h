#pragma once

// What the window benches share: a scratch home for settings and receipts,
// and a probe of the GUI thread's event loop.

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

/// Offscreen unless told otherwise, and settings and receipts in a scratch
/// folder, never the user's own. Made before the application object.
class BenchEnvironment {
public:
    BenchEnvironment()
    {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.path()));
    }

private:
    QTemporaryDir m_home;
};

/// Records the gaps between the ticks of a fast timer on this thread.
class Probe {
public:
    static constexpr int kIntervalMs = 5;

    /// Gaps longer than goalMs are counted.
    explicit Probe(double goalMs)
        : m_goalMs(goalMs)
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(kIntervalMs);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            note(m_clock.nsecsElapsed() / 1e6);
            ++m_ticks;
        });
    }

    void start()
    {
        m_longest = 0;
        m_longestAt = 0;
        m_ticks = 0;
        m_overGoal = 0;
        m_clock.start();
        m_last = 0;
        m_timer.start();
    }

    /// Returns the longest gap. The gap still open counts too: a stall at
    /// the very end is a stall.
    double stop()
    {
        note(m_clock.nsecsElapsed() / 1e6);
        m_timer.stop();
        return m_longest;
    }

    double longest() const { return m_longest; }
    /// When the longest gap began, in ms from start().
    double longestAt() const { return m_longestAt; }
    int ticks() const { return m_ticks; }
    int overGoal() const { return m_overGoal; }

private:
    void note(double now)
    {
        const double gap = now - m_last;
        if (gap > m_longest) {
            m_longest = gap;
            m_longestAt = m_last;
        }
        if (gap > m_goalMs)
            ++m_overGoal;
        m_last = now;
    }

    double m_goalMs;
    QTimer m_timer;
    QElapsedTimer m_clock;
    double m_last = 0;
    double m_longest = 0;
    double m_longestAt = 0;
    int m_ticks = 0;
    int m_overGoal = 0;
};

/// Runs the event loop for ms milliseconds.
inline void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
