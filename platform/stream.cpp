#include "platform/stream.h"

namespace pellox::platform {

Stream::~Stream() {
    CloseSocket(socket_);
}

void Stream::Shutdown() const {
    ShutdownSocket(socket_);
}

bool SocketStream::SendAll(const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        const long sent = SendSome(Handle(), p, n);
        if (sent <= 0) return false;
        p += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

long SocketStream::ReceiveSome(void* data, std::size_t n) {
    return platform::ReceiveSome(Handle(), data, n);
}

bool SocketStream::WaitReadable(int timeoutMs) {
    return platform::WaitReadable(Handle(), timeoutMs);
}

}  // namespace pellox::platform
