#include "platform/connection_manager.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace pellox::platform {
namespace {
std::atomic<bool> g_failEstablish{false};
std::atomic<int> g_establishDelayMs{0};
}

bool MapUrlToNetwork(const std::string& url, std::uint64_t& destination) {
    // One network: the Internet. The identifier only has to be stable.
    destination = url.empty() ? 0 : 1;
    return true;
}

bool EstablishConnection(const ConnectionRequest& request, int timeoutMs) {
    if (request.size != 64 || timeoutMs <= 0) return false;
    const int delay = g_establishDelayMs.load();
    if (delay > 0) {
        if (delay > timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    return !g_failEstablish.load();
}

void SetConnectionFailureForTesting(bool fail) { g_failEstablish.store(fail); }

void SetConnectionDelayForTesting(int delayMs) { g_establishDelayMs.store(delayMs); }

}  // namespace pellox::platform
