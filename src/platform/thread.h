// Threads that report a failure to start instead of aborting: start, join, lower priority.
// A Windows side would use CreateThread and THREAD_PRIORITY_BELOW_NORMAL.
#pragma once

struct PlatformThread;

// Starts fn(arg) on a new thread. 0 with *out set, or the system error with *out null.
unsigned long platform_thread_start(PlatformThread** out, void (*fn)(void*), void* arg);
// Waits for the thread to end and releases it. Null does nothing.
void platform_thread_join(PlatformThread* thread);
// Lowers the calling thread below normal priority (a nice value 5 above the process's here).
// 0 or the system error.
unsigned long platform_thread_lower_priority();
