#pragma once
#include <cstdint>

// Time source for everything that sleeps or measures intervals, so tests can
// run timed behaviour without waiting. The default sleeps for real.
class CClock
{
public:
    virtual ~CClock() = default;
    virtual void SleepMs(int ms);
    virtual void SleepUs(int us);
    // Monotonic milliseconds.
    virtual int64_t NowMs();
};

// The installed clock; never null.
CClock& Clock();
// Installs `p` (borrowed; null restores the real clock). Returns the previous one.
CClock* SetClock(CClock* p);
