#include "app/ThreadExit.h"

#include "app/CClock.h"

#include <cerrno>
#include <sys/syscall.h>
#include <unistd.h>

long CurrentThreadTid() { return static_cast<long>(syscall(SYS_gettid)); }

namespace
{
bool ThreadAlive(long tid)
{
    // Signal 0 only checks existence; an exited thread of this process is
    // reaped by the kernel at once, so ESRCH means it ran its last instruction.
    return syscall(SYS_tgkill, static_cast<long>(getpid()), tid, 0) == 0 || errno != ESRCH;
}
}  // namespace

bool WaitThreadGone(long tid, int timeoutMs)
{
    if (tid <= 0 || tid == CurrentThreadTid())
        return true;
    const int64_t deadline = Clock().NowMs() + timeoutMs;
    while (ThreadAlive(tid))
    {
        if (Clock().NowMs() >= deadline)
            return false;
        Clock().SleepUs(200);
    }
    return true;
}
