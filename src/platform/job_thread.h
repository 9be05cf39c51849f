// Threads for the job workers: start, join, and a priority below normal for the analysis worker.
// A Windows side would use CreateThread and THREAD_PRIORITY_BELOW_NORMAL.
#pragma once

struct JobThread;

// Starts fn(arg) on a new thread. 0 with *out set, or the system error with *out null.
unsigned long job_thread_start(JobThread** out, void (*fn)(void*), void* arg);
// Waits for the thread to end and releases it. Null does nothing.
void job_thread_join(JobThread* thread);
// Lowers the calling thread below normal priority (a nice value 5 above the process's here).
// 0 or the system error.
unsigned long job_thread_lower_priority();
