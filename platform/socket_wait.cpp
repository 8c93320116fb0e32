#include "platform/socket_wait.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <climits>

namespace pellox::platform {

int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    return left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
}

short PollSocket(SocketHandle socket, short events, int timeoutMs) {
    pollfd p{};
    p.fd = socket;
    p.events = events;
    // A wait cut short by a signal starts again with the full time: the callers
    // recompute their deadlines after every wake-up anyway.
    for (;;) {
        const int rc = ::poll(&p, 1, timeoutMs);
        if (rc > 0) return p.revents;
        if (rc == 0) return 0;
        if (errno != EINTR) return POLLNVAL;
    }
}

bool SetNonBlocking(SocketHandle socket, bool nonBlocking) {
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0) return false;
    const int wanted = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || ::fcntl(socket, F_SETFL, wanted) == 0;
}

}  // namespace pellox::platform
