// What the views show of the network session (the connection state and the reason
// of a refused login in the status line, the traffic counters under the clock), read through functions the
// application sets. The views never hold the session itself, so they can be shown
// and tested without one.
//
// The functions are called on the user-interface thread whenever a view paints or
// handles a state change; they must only read (the session's values are atomics).
#pragma once

#include <cstdint>
#include <functional>

#include "net/session.h"

namespace pellox::ui {

struct SessionProbe {
    std::function<int()> connectionState;         // a ConnState code
    std::function<std::int64_t()> bytesReceived;  // since the last connect
    std::function<std::int64_t()> bytesSent;
    std::function<int()> loginRefusal;           // NetSession::LoginRefusal

    // The values, 0 for a function that is not set.
    int State() const { return connectionState ? connectionState() : 0; }
    std::int64_t Received() const { return bytesReceived ? bytesReceived() : 0; }
    std::int64_t Sent() const { return bytesSent ? bytesSent() : 0; }
    int LoginRefusal() const { return loginRefusal ? loginRefusal() : 0; }

    // Reads the live counters of `session`, which must outlive the views.
    static SessionProbe Of(const NetSession& session) {
        return SessionProbe{
            [&session] { return static_cast<int>(session.State()); },
            [&session] { return static_cast<std::int64_t>(session.BytesReceived()); },
            [&session] { return static_cast<std::int64_t>(session.BytesSent()); },
            [&session] { return static_cast<int>(session.LoginRefusal()); },
        };
    }
};

}  // namespace pellox::ui
