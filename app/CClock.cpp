#include "CClock.h"

#include <atomic>
#include <chrono>
#include <thread>

void CClock::SleepMs(int ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void CClock::SleepUs(int us)
{
    if (us > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(us));
}

int64_t CClock::NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace
{
CClock g_RealClock;
std::atomic<CClock*> g_pClock{&g_RealClock};
}

CClock& Clock() { return *g_pClock.load(std::memory_order_acquire); }

CClock* SetClock(CClock* p)
{
    CClock* prev = g_pClock.exchange(p ? p : &g_RealClock, std::memory_order_acq_rel);
    return prev == &g_RealClock ? nullptr : prev;
}
