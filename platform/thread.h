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

// Waits for the thread to end; a thread that is asked to wait for itself (its own
// shut-down running on it) is detached instead. Nothing for a thread not running.
void JoinOrDetach(std::thread& thread);

}  // namespace pellox::platform
