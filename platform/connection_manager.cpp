#include "platform/connection_manager.h"

#include <atomic>

namespace pellox::platform {
namespace {
std::atomic<bool> g_failEstablish{false};
}

bool MapUrlToNetwork(const std::string& url, std::uint64_t& destination) {
    // One network: the Internet. The identifier only has to be stable.
    destination = url.empty() ? 0 : 1;
    return true;
}

bool EstablishConnection(const ConnectionRequest& request, int timeoutMs) {
    if (request.size != 64 || timeoutMs <= 0) return false;
    return !g_failEstablish.load();
}

void SetConnectionFailureForTesting(bool fail) { g_failEstablish.store(fail); }

}  // namespace pellox::platform
