#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>

namespace pellox::platform {

bool SetCurrentThreadPriority(ThreadPriority priority) {
    const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
    switch (priority) {
        case ThreadPriority::Idle: {
            sched_param param{};
            if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &param) == 0) return true;
            return ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 19) == 0;
        }
        case ThreadPriority::BelowNormal:
            return ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 5) == 0;
        case ThreadPriority::Normal:
            return true;
    }
    return false;
}

std::thread StartThread(ThreadPriority priority, std::function<void()> body) {
    return std::thread([priority, body = std::move(body)] {
        SetCurrentThreadPriority(priority);
        body();
    });
}

void JoinOrDetach(std::thread& thread) {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
    } else {
        thread.join();
    }
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace pellox::platform
