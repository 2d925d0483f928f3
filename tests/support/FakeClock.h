#pragma once
#include "app/CClock.h"

#include <atomic>
#include <cstdint>

namespace tavrin_test
{
// A clock whose sleeps return at once and advance its time; installed for the
// lifetime of the object.
class CFakeClock : public CClock
{
public:
    CFakeClock();
    ~CFakeClock() override;
    void SleepMs(int ms) override;
    void SleepUs(int us) override;
    int64_t NowMs() override;
    void Advance(int64_t ms) { m_nowUs += ms * 1000; }
    int64_t SleptMs() const { return m_sleptUs / 1000; }

private:
    std::atomic<int64_t> m_nowUs{1000000};
    std::atomic<int64_t> m_sleptUs{0};
    CClock* m_prev;
};
}  // namespace tavrin_test
