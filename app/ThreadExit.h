#pragma once

// A detached wxThread signals its end from its destructor, but the toolkit
// still runs code on that thread afterwards (thread-local clean-up, the
// pthread exit). Whoever lets the process end on that signal must also wait
// for the thread itself to be gone, or the toolkit's exit-time clean-up
// races the dying thread and may crash it.

// Kernel id of the calling thread.
long CurrentThreadTid();
// Waits until the thread of this process with kernel id `tid` has ended,
// polling through Clock(), for up to `timeoutMs`. True when it has ended.
// A `tid` of 0 or the caller's own id returns true at once (nothing to wait for).
bool WaitThreadGone(long tid, int timeoutMs);
