#include "FakeClock.h"

namespace tavrin_test
{
CFakeClock::CFakeClock() : m_prev(SetClock(this)) {}
CFakeClock::~CFakeClock() { SetClock(m_prev); }

void CFakeClock::SleepMs(int ms) { SleepUs(ms * 1000); }

void CFakeClock::SleepUs(int us)
{
    if (us <= 0)
        return;
    m_nowUs += us;
    m_sleptUs += us;
}

int64_t CFakeClock::NowMs() { return m_nowUs / 1000; }
}  // namespace tavrin_test
