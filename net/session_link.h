// One TCP connection of a NetSession, shared by the session (while it is the
// current connection) and by the receive thread that reads it. The descriptor is
// closed when the last holder lets go, never earlier, so no thread can use a
// descriptor number that has been closed and handed out again.
#pragma once

#include "net/session.h"
#include "platform/socket.h"

namespace pellox {

struct NetSession::Link {
    explicit Link(platform::SocketHandle s) : socket(s) {}
    ~Link() { platform::CloseSocket(socket); }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Ends both directions: a blocked receive, send or connect returns at once.
    void Shutdown() const { platform::ShutdownSocket(socket); }

    const platform::SocketHandle socket;
};

}  // namespace pellox
