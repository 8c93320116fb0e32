#include "store/change_relay.h"

namespace pellox {
namespace {

// The code's bit in the latch; 0 for a code outside it.
std::uint32_t Bit(ChangeCode code) {
    const auto value = static_cast<std::int32_t>(code);
    return value >= 0 && value < 32 ? 1u << value : 0;
}

}  // namespace

void ChangeRelay::SetPoster(Poster poster) {
    std::lock_guard guard(posterLock_);
    poster_ = std::move(poster);
}

void ChangeRelay::Post(ChangeCode code, ContactPtr contact) {
    Poster poster;
    {
        std::lock_guard guard(posterLock_);
        poster = poster_;
    }
    if (poster) poster(code, std::move(contact));
}

void ChangeRelay::Latch(ChangeCode code) {
    {
        std::lock_guard guard(latchLock_);
        pending_ |= Bit(code);
    }
    latched_.notify_all();
}

bool ChangeRelay::Wait(ChangeCode code) {
    const std::uint32_t bit = Bit(code);
    if (bit == 0) return false;
    std::unique_lock guard(latchLock_);
    latched_.wait(guard, [&] { return stopped_ || (pending_ & bit) != 0; });
    if (stopped_) return false;
    pending_ &= ~bit;
    return true;
}

void ChangeRelay::Stop() {
    {
        std::lock_guard guard(latchLock_);
        stopped_ = true;
    }
    latched_.notify_all();
}

}  // namespace pellox
