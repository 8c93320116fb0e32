// Connecting again after a connection ended in ConnectionError, and the Connect
// command's work that both the user's command and a reconnect run.
#include <algorithm>
#include <cmath>

#include "net/session_impl.h"

namespace pellox {

int ReconnectDelayMs(const ReconnectTiming& timing, int attempt, double unit) {
    const double cap = std::max(0, timing.maxDelayMs);
    double delay = std::max(0, timing.firstDelayMs);
    for (int i = 0; i < attempt && delay < cap; ++i) delay *= 2;
    delay = std::min(delay, cap);
    const double spread = std::clamp(timing.spread, 0.0, 1.0);
    unit = std::clamp(unit, 0.0, 1.0);
    delay *= 1.0 + spread * (2.0 * unit - 1.0);
    return static_cast<int>(std::lround(std::clamp(delay, 0.0, cap)));
}

void SessionImpl::SetReconnectCheck(std::function<bool()> check) {
    std::lock_guard<std::mutex> guard(connectionLock_);
    reconnectCheck_ = std::move(check);
}

bool SessionImpl::ReconnectAllowed() const {
    std::function<bool()> check;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        check = reconnectCheck_;
    }
    return check && check();
}

void SessionImpl::SetReconnectTiming(const ReconnectTiming& timing,
                                     std::function<double()> random) {
    std::lock_guard<std::mutex> guard(connectionLock_);
    reconnectTiming_ = timing;
    reconnectRandom_ = std::move(random);
}

bool SessionImpl::ReconnectPending() const {
    std::lock_guard<std::mutex> guard(connectionLock_);
    return reconnectDue_.has_value();
}

void SessionImpl::PerformConnect(const ConnectTarget& target, Generation generation) {
    const Connection worker = CurrentConnection();
    ReportState(worker, ConnState::OpeningConnection);
    delegate_.OnContactsRefresh();
    // The connection left from before goes first (as the connect would close it),
    // so that any later close is known to be someone else's.
    bool open;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        open = connection_ != nullptr;
    }
    if (open) {
        CloseSession();
        ++generation;
    }
    if (!ConnectToLoginServer(target, generation)) {
        ReportState(worker, ConnState::ConnectionError);
        delegate_.OnContactsRefresh();
        // A connect that a close abandoned is not tried again.
        if (CurrentGeneration() == generation) MaybeScheduleReconnect(worker);
    }
}

void SessionImpl::MaybeScheduleReconnect(const Connection& from) {
    // A refused login, a sign-off by another client (state 1) and a close by the
    // user (state 0, later reports of its connection dropped) do not come back.
    if (!running_.load() || LoginRefused() || State() != ConnState::ConnectionError) return;
    if (!ReconnectAllowed()) return;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        // Reports of a connection that was closed meanwhile do not count either.
        if (IsStale(from) || !lastConnect_ ||
            state_.load() != static_cast<std::int32_t>(ConnState::ConnectionError)) {
            return;
        }
        const double unit = reconnectRandom_
                                ? reconnectRandom_()
                                : std::uniform_real_distribution<double>(0.0, 1.0)(reconnectGenerator_);
        const int delayMs = ReconnectDelayMs(reconnectTiming_, reconnectAttempts_, unit);
        ++reconnectAttempts_;
        reconnectDue_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
    }
    // The worker shortens its wait to the reconnect's time.
    wakeEvent_.Set();
}

std::optional<SessionImpl::ConnectTarget> SessionImpl::TakeDueReconnect(Generation& generation) {
    std::lock_guard<std::mutex> guard(connectionLock_);
    if (!reconnectDue_ || !lastConnect_ || std::chrono::steady_clock::now() < *reconnectDue_) {
        return std::nullopt;
    }
    reconnectDue_.reset();
    generation = generation_;
    return lastConnect_;
}

int SessionImpl::ReconnectDueInMs() const {
    std::lock_guard<std::mutex> guard(connectionLock_);
    if (!reconnectDue_) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        *reconnectDue_ - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

}  // namespace pellox
