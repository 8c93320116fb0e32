// Waiting on sockets, shared by the connect and stream code of this folder.
#pragma once

#include <chrono>

#include "platform/socket.h"

namespace pellox::platform {

// Milliseconds from now until the deadline: 0 once it has passed, at most INT_MAX.
int MillisecondsUntil(std::chrono::steady_clock::time_point deadline);

// Waits at most timeoutMs (negative: forever) for `events` (POLLIN, POLLOUT) on the
// socket, retrying interrupted waits: the events that occurred, 0 on time-out,
// POLLNVAL when the wait itself failed.
short PollSocket(SocketHandle socket, short events, int timeoutMs);

// Switches the socket between blocking and non-blocking operation.
bool SetNonBlocking(SocketHandle socket, bool nonBlocking);

}  // namespace pellox::platform
