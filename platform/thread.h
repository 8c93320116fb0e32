// Threads with a scheduling priority (best effort: lowering a thread's priority
// needs no privilege on Linux; raising it may be refused and is then ignored).
#pragma once

#include <functional>
#include <thread>

namespace pellox::platform {

enum class ThreadPriority { Idle, BelowNormal, Normal };

// Applies the priority to the calling thread; false when the system refused it.
bool SetCurrentThreadPriority(ThreadPriority priority);

// Starts a thread that first sets its own priority and then runs body.
std::thread StartThread(ThreadPriority priority, std::function<void()> body);

void SleepMs(int ms);

}  // namespace pellox::platform
